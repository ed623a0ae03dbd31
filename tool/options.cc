#include "tool/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <utility>

#include "net/host_check.h"
#include "net/listen_address.h"
#include "net/write_access.h"

namespace daqevstat::tool {
namespace {

constexpr std::size_t kMaxBaseNameLength = 63;
constexpr int kMaxObjects = 64;
constexpr double kMaxRateHz = 1.0e6;

const char* const kSynopsis =
    "usage: daqevstat [simulate] [--rate HZ] [--duration S] [--ideal] [--loss P] [--reorder P]\n"
    "                 [--dup P] [--latency-ms MEAN] [--jitter-ms SD] [--seed N]\n"
    "                 [--feed header|block|tid]\n"
    "                 [--objects K] [--config FILE] [--svg FILE] [--csv DIR]\n"
    "                 [--listen [ADDR:]PORT [--write-token TOKEN | --write-token-file FILE]\n"
    "                  [--web-config-file FILE]]\n"
    "       daqevstat shell [server and listen options of simulate]\n"
    "       daqevstat shell --connect URL [--location NAME] [--token-file FILE]\n"
    "       daqevstat get [--server URL] [--location NAME] [--json] NAME...\n"
    "       daqevstat set [--server URL] [--location NAME] [--token-file FILE] NAME VALUE\n"
    "       daqevstat watch [--server URL] [--location NAME] [--interval S] [--count N] BASE\n"
    "       daqevstat replay [--base NAME] [--type N] [--period SEC]\n"
    "                        [--format csv|tid|header|block] [--json] [--svg FILE] [--csv DIR] "
    "FILE\n"
    "       daqevstat --help | --version | <command> --help\n";

// The lines of the synopsis for one command ("simulate" the default one),
// as "usage: ..." with their continuation lines: a command's help shows its
// own usage only.
std::string synopsis_of(const std::string& command) {
  const std::string start =
      command == "simulate" ? "daqevstat [simulate] " : "daqevstat " + command + " ";
  std::string text;
  bool inside = false;
  std::size_t pos = 0;
  const std::string all = kSynopsis;
  while (pos < all.size()) {
    const std::size_t end = all.find('\n', pos);
    const std::string line = all.substr(pos, end - pos);
    pos = end + 1;
    const std::string body = line.size() > 7 ? line.substr(7) : "";
    if (body.compare(0, start.size(), start) == 0) {
      inside = true;
      text += (text.empty() ? "usage: " : "       ") + body + "\n";
    } else if (inside && body.size() > 1 && body[0] == ' ') {
      text += line + "\n";
    } else {
      inside = false;
    }
  }
  return text;
}

std::string check_base_name(const std::string& name) {
  if (name.size() > kMaxBaseNameLength) {
    return "invalid base name (no blanks, at most 63 characters): \"" + name + "\"";
  }
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f) {
      return "invalid base name (no blanks, at most 63 characters): \"" + name + "\"";
    }
  }
  return "";
}

// A validator for a number within [low, high]; CLI11's Range prints both
// bounds, which reads badly for "above 0".
CLI::Validator at_least(double low, bool inclusive, double high, const std::string& what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0.0;
        if (!CLI::detail::lexical_cast(text, value)) return "not a number: " + text;
        const bool above = inclusive ? value >= low : value > low;
        if (!above || !(value <= high)) return what + ", got " + text;
        return "";
      },
      "");
}

// CLI11 reads an empty value as 0 for an integer; a value left out by
// mistake should not be taken as a setting.
CLI::Validator non_empty() {
  return CLI::Validator(
      [](std::string& text) -> std::string { return text.empty() ? "empty value" : ""; }, "");
}

CLI::Validator probability() { return at_least(0.0, true, 1.0, "a probability from 0 to 1"); }

// The choices of an option as words, "header|block|tid", in the order
// given.
template <typename Enum>
std::string choice_words(const std::vector<std::pair<std::string, Enum>>& names) {
  std::string words;
  for (const auto& [name, value] : names) words += (words.empty() ? "" : "|") + name;
  return words;
}

// A transform of one of `names` (any case) into its value; anything else
// is refused with the words, not the parser's table of values.
template <typename Enum>
CLI::Validator choice(const std::vector<std::pair<std::string, Enum>>& names) {
  return CLI::Validator(
      [names](std::string& text) -> std::string {
        std::string word = text;
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& [name, value] : names) {
          if (name == word) {
            text = std::to_string(static_cast<int>(value));
            return "";
          }
        }
        return "one of " + choice_words(names) + ", got " + text;
      },
      "");
}

// A whole number within [low, high].
CLI::Validator whole_number(long long low, long long high, const std::string& what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        long long value = 0;
        if (!CLI::detail::lexical_cast(text, value) || value < low || value > high) {
          return what + ", got " + text;
        }
        return "";
      },
      "");
}

// The server options of simulate and shell. The fault options start from
// the realistic mix; the returned options are those that --ideal resets
// when they are not given themselves.
std::vector<std::pair<CLI::Option*, double*>> add_server_options(CLI::App* command,
                                                                 ServerOptions* server) {
  FaultOptions* faults = &server->faults;
  *faults = kRealisticFaults;
  command->add_option("--rate", server->rate_hz, "events per second (default 1000)")
      ->check(at_least(0.0, false, kMaxRateHz, "events per second above 0, at most 1e6"));
  command->add_flag("--ideal",
                    "a perfect stream: no loss, reordering or duplicates and no latency "
                    "(fault options given as well still apply)");
  CLI::Option* loss =
      command
          ->add_option("--loss", faults->loss,
                       "probability that an event is never delivered (default 0.01)")
          ->check(probability());
  CLI::Option* reorder =
      command
          ->add_option("--reorder", faults->reorder,
                       "probability that an event is delivered a few events late (default 0.005)")
          ->check(probability());
  CLI::Option* duplicate =
      command
          ->add_option("--dup", faults->duplicate,
                       "probability that an event is delivered twice in a row (default 0.002)")
          ->check(probability());
  CLI::Option* latency =
      command
          ->add_option("--latency-ms", faults->latency_ms,
                       "mean distance of the event time behind its arrival, in ms (default 5)")
          ->check(at_least(0.0, true, 1.0e7, "milliseconds from 0 to 1e7"));
  CLI::Option* jitter = command
                            ->add_option("--jitter-ms", faults->jitter_ms,
                                         "standard deviation of that distance, in ms (default 2)")
                            ->check(at_least(0.0, true, 1.0e7, "milliseconds from 0 to 1e7"));
  command->add_option("--seed", faults->seed, "seed of the fault and latency generator (default 1)")
      ->check(non_empty());
  const std::vector<std::pair<std::string, FeedKind>> feeds = {
      {"header", FeedKind::header}, {"block", FeedKind::block}, {"tid", FeedKind::tid}};
  command
      ->add_option("--feed", server->feed, "record kind handed to the statistics (default header)")
      ->transform(choice(feeds))
      ->type_name(choice_words(feeds));
  command
      ->add_option("--objects", server->objects,
                   "statistics objects on the location: EVSTAT, EVSTAT2, ... (default 1, at "
                   "most 64)")
      ->check(whole_number(1, kMaxObjects, "a number of objects from 1 to 64"))
      ->type_name("K");
  command->add_option("--config", server->config_file,
                      "settings file: loaded at start, saved at exit and on 'save'");
  return {{loss, &faults->loss},
          {reorder, &faults->reorder},
          {duplicate, &faults->duplicate},
          {latency, &faults->latency_ms},
          {jitter, &faults->jitter_ms}};
}

// --ideal: every fault not given on the command line is none.
void apply_ideal(const CLI::App& command,
                 const std::vector<std::pair<CLI::Option*, double*>>& faults) {
  if (command.count("--ideal") == 0) return;
  for (const auto& [option, value] : faults) {
    if (option->count() == 0) *value = 0.0;
  }
}

void add_listen_options(CLI::App* command, ListenOptions* listen) {
  CLI::Option* address =
      command
          ->add_option("--listen", listen->address,
                       "serve the properties over HTTP at [ADDR:]PORT while running (ADDR "
                       "default 127.0.0.1, [::1] for IPv6; PORT 0 picks a free one)")
          ->check(CLI::Validator(
              [](std::string& text) -> std::string {
                std::string error;
                return daqnet::parse_listen_address(text, &error) ? "" : error;
              },
              ""));
  CLI::Option* token =
      command
          ->add_option("--write-token", listen->write_token,
                       "bearer token that HTTP writes must send (without one, writes are refused)")
          ->check(CLI::Validator([](std::string& text) { return daqnet::check_token(text); }, ""))
          ->needs(address);
  command
      ->add_option("--write-token-file", listen->write_token_file,
                   "read the write token from the first line of FILE")
      ->check(non_empty())
      ->needs(address)
      ->excludes(token);
  command
      ->add_option("--allowed-host", listen->allowed_hosts,
                   "also answer requests whose Host header names NAME (repeatable); loopback "
                   "names and the listening address are always answered")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return daqnet::canonical_host(text).empty() ? "not a host name or address: " + text
                                                        : "";
          },
          ""))
      ->needs(address);
  command
      ->add_option("--web-config-file", listen->web_config_file,
                   "read TLS, users and response headers from FILE (the exporters' web "
                   "configuration format, see docs/http.md)")
      ->check(non_empty())
      ->needs(address);
}

// The one-line usage of the command the error belongs to, or the synopsis.
std::string usage_for(const CLI::App& app, const CLI::App* command) {
  if (command == nullptr) return kSynopsis;
  const std::string name = app.get_name() + " " + command->get_name();
  CLI::Formatter formatter;
  formatter.label("Usage", "usage");
  return formatter.make_usage(command, name) + "Run '" + name + " --help' for the options.\n";
}

const CLI::App* selected(const CLI::App& app) {
  const auto commands = app.get_subcommands();
  return commands.empty() ? nullptr : commands.front();
}

}  // namespace

std::string version_text() {
#ifdef DAQEVSTAT_VERSION
  return std::string("daqevstat ") + DAQEVSTAT_VERSION + "\n";
#else
  return "daqevstat\n";
#endif
}

Command parse_command(const std::vector<std::string>& args) {
  Command command;
  // Without a command the options are simulate's.
  if (args.empty() || (args[0].size() > 1 && args[0][0] == '-' && args[0] != "--help" &&
                       args[0] != "-h" && args[0] != "--version")) {
    std::vector<std::string> with_command = args;
    with_command.insert(with_command.begin(), "simulate");
    return parse_command(with_command);
  }
  if (args[0] == "help") {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    rest.emplace_back("--help");
    return parse_command(rest);
  }

  CLI::App app(
      "Event statistics of a DAQ server: a simulated server, a shell on its "
      "properties, and replays of recorded streams.",
      "daqevstat");
  app.get_formatter()->label("Usage", "usage");
  app.set_version_flag("--version", version_text().substr(0, version_text().size() - 1));
  app.require_subcommand(0, 1);

  CLI::App* simulate = app.add_subcommand(
      "simulate",
      "run a simulated DAQ server and report its statistics (the default command); by default "
      "its stream loses 1 % of the events, delivers 0.5 % late and 0.2 % twice, with a latency "
      "of 5 ms +- 2 ms (seed 1), so every statistic has something to show");
  const auto simulate_faults = add_server_options(simulate, &command.simulate.server);
  simulate
      ->add_option("--duration", command.simulate.duration_sec,
                   "seconds to run (default 10; 0 runs until interrupted)")
      ->check(at_least(0.0, true, 1.0e7, "seconds from 0 to 1e7"));
  add_listen_options(simulate, &command.simulate.listen);
  simulate->add_option("--svg", command.simulate.svg_file,
                       "write the timing distributions as one SVG figure");
  simulate->add_option("--csv", command.simulate.csv_dir,
                       "write each distribution's non-zero bins as CSV into DIR");

  CLI::App* shell = app.add_subcommand(
      "shell", "run a simulated DAQ server and act on its properties from standard input");
  const auto shell_faults = add_server_options(shell, &command.shell.server);
  add_listen_options(shell, &command.shell.listen);
  const CLI::Option* connect = client::add_connect_options(shell, &command.shell.connect);

  const client::ClientCommands client_commands =
      client::add_client_commands(&app, &command.get, &command.set, &command.watch);

  ReplayOptions& replay_options = command.options;
  CLI::App* replay = app.add_subcommand(
      "replay",
      "feed the events of FILE, in order, to one statistics object published under "
      "NAME (default EVSTAT) and print its statistics");
  replay->add_option("--base", replay_options.base_name, "base name of the published properties")
      ->check(CLI::Validator(check_base_name, ""));
  int event_type = 0;
  int period_sec = 0;
  CLI::Option* type_option =
      replay->add_option("--type", event_type, "event type that labels the current-event record")
          ->check(non_empty());
  CLI::Option* period_option = replay
                                   ->add_option("--period", period_sec,
                                                "length of the lost-events period in seconds "
                                                "(default 15; 0 or less keeps the default)")
                                   ->check(non_empty());
  const std::vector<std::pair<std::string, RecordFormat>> formats = {
      {"csv", RecordFormat::csv},
      {"tid", RecordFormat::tid},
      {"header", RecordFormat::header},
      {"block", RecordFormat::block}};
  replay
      ->add_option("--format", replay_options.format,
                   "csv (default): event_number,timeup,timelow[,arrival_sec,arrival_usec] per "
                   "line, '#' starts a comment line; tid, header, block: raw records of 12, 36 "
                   "or 284 bytes")
      ->transform(choice(formats))
      ->type_name(choice_words(formats));
  replay->add_flag("--json", replay_options.json,
                   "print every published property as one JSON object");
  replay->add_option("--svg", replay_options.svg_file,
                     "write the timing distributions as one SVG figure");
  replay->add_option("--csv", replay_options.csv_dir,
                     "write each distribution's non-zero bins as CSV into DIR");
  replay->add_option("FILE", replay_options.file, "the recorded events")->required();

  // Each command's help ends with its own usage; the overview with all of
  // them (set after the commands, which would otherwise inherit it).
  for (CLI::App* command :
       {simulate, shell, replay, client_commands.get, client_commands.set, client_commands.watch}) {
    command->footer("\n" + synopsis_of(command->get_name()));
  }
  app.footer(std::string("\n") + kSynopsis);

  // CLI11 reads an empty value as no value and keeps the default; every
  // option's value here means something, so an empty one is refused.
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string& name = args[i];
    if (args[i + 1].empty() && name.size() > 2 && name.compare(0, 2, "--") == 0 &&
        name.find('=') == std::string::npos) {
      command.action = Command::Action::usage_error;
      command.error = name + ": empty value";
      const CLI::App* named = nullptr;
      for (const CLI::App* candidate : {simulate, shell, replay, client_commands.get,
                                        client_commands.set, client_commands.watch}) {
        if (candidate->get_name() == args[0]) named = candidate;
      }
      command.text = usage_for(app, named);
      if (named != nullptr) command.name = named->get_name();
      return command;
    }
  }

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    command.action = Command::Action::help;
    command.text = app.help();
    return command;
  } catch (const CLI::CallForVersion&) {
    command.action = Command::Action::version;
    command.text = version_text();
    return command;
  } catch (const CLI::ParseError& e) {
    command.action = Command::Action::usage_error;
    command.error = e.what();
    std::replace(command.error.begin(), command.error.end(), '\n', ' ');
    // CLI11 says "--rate: 1 required FLOAT missing" for a value left out.
    if (const auto colon = command.error.find(": 1 required ");
        colon != std::string::npos && command.error.size() > 8 &&
        command.error.compare(command.error.size() - 8, 8, " missing") == 0) {
      command.error = command.error.substr(0, colon) + ": a value is required";
    }
    command.text = usage_for(app, selected(app));
    if (const CLI::App* named = selected(app)) command.name = named->get_name();
    return command;
  }
  if (const CLI::App* named = selected(app)) command.name = named->get_name();
  if (command.name.empty()) command.name = "simulate";

  if (replay->parsed()) {
    command.action = Command::Action::replay;
    if (type_option->count() > 0) replay_options.event_type = event_type;
    if (period_option->count() > 0) replay_options.period_sec = period_sec;
  } else if (shell->parsed()) {
    command.action = Command::Action::shell;
    // A connected shell has no simulated server to configure.
    if (connect->count() > 0) {
      for (const CLI::Option* option : shell->get_options()) {
        const std::string name = option->get_name();
        if (option->count() > 0 && name != "--connect" && name != "--location" &&
            name != "--token-file") {
          command.action = Command::Action::usage_error;
          command.error = name + " acts on a simulated server; it cannot go with --connect";
          command.text = usage_for(app, shell);
          return command;
        }
      }
    }
    apply_ideal(*shell, shell_faults);
  } else if (client_commands.get->parsed()) {
    command.action = Command::Action::get;
  } else if (client_commands.set->parsed()) {
    command.action = Command::Action::set;
  } else if (client_commands.watch->parsed()) {
    command.action = Command::Action::watch;
  } else {
    command.action = Command::Action::simulate;
    apply_ideal(*simulate, simulate_faults);
  }
  return command;
}

}  // namespace daqevstat::tool
