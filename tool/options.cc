#include "tool/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace daqevstat::tool {
namespace {

constexpr std::size_t kMaxBaseNameLength = 63;

Command usage_error(std::string error) {
  Command command;
  command.action = Command::Action::usage_error;
  command.error = std::move(error);
  return command;
}

bool parse_int(const std::string& text, int* value) {
  if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

bool parse_format(const std::string& text, RecordFormat* format) {
  if (text == "csv") {
    *format = RecordFormat::csv;
  } else if (text == "tid") {
    *format = RecordFormat::tid;
  } else if (text == "header") {
    *format = RecordFormat::header;
  } else if (text == "block") {
    *format = RecordFormat::block;
  } else {
    return false;
  }
  return true;
}

bool valid_base_name(const std::string& name) {
  if (name.size() > kMaxBaseNameLength) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

Command parse_command(const std::vector<std::string>& args) {
  if (args.empty()) return usage_error("missing command");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    Command command;
    command.action = Command::Action::help;
    return command;
  }
  if (args[0] != "replay") return usage_error("unknown command: " + args[0]);

  Command command;
  command.action = Command::Action::replay;
  ReplayOptions& options = command.options;
  bool have_file = false;
  bool options_done = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (!options_done && arg.size() > 1 && arg[0] == '-') {
        return usage_error("unknown option: " + arg);
      }
      if (have_file) return usage_error("more than one FILE: " + arg);
      options.file = arg;
      have_file = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help") {
      Command help;
      help.action = Command::Action::help;
      return help;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }

    std::string name = arg;
    std::string value;
    bool have_value = false;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      have_value = true;
    }
    if (name != "--base" && name != "--type" && name != "--period" && name != "--format") {
      return usage_error("unknown option: " + arg);
    }
    if (!have_value) {
      if (i + 1 >= args.size()) return usage_error("option " + name + " needs a value");
      value = args[++i];
    }

    if (name == "--base") {
      if (!valid_base_name(value)) {
        return usage_error("invalid base name (no blanks, at most 63 characters): \"" + value +
                           "\"");
      }
      options.base_name = value;
    } else if (name == "--type") {
      int type = 0;
      if (!parse_int(value, &type)) return usage_error("invalid event type: " + value);
      options.event_type = type;
    } else if (name == "--period") {
      int period = 0;
      if (!parse_int(value, &period)) return usage_error("invalid period: " + value);
      options.period_sec = period;
    } else {
      if (!parse_format(value, &options.format)) {
        return usage_error("unknown format: " + value + " (csv, tid, header or block)");
      }
    }
  }
  if (!have_file) return usage_error("missing FILE");
  return command;
}

std::string usage_text() {
  return "usage: daqevstat replay [--base NAME] [--type N] [--period SEC]\n"
         "                        [--format csv|tid|header|block] [--json] FILE\n"
         "       daqevstat --help\n"
         "\n"
         "Feeds the events of FILE, in order, to one statistics object published\n"
         "under NAME (default EVSTAT) and prints its statistics.\n"
         "\n"
         "  --base NAME    base name of the published properties\n"
         "  --type N       event type that labels the current-event record\n"
         "  --period SEC   length of the lost-events period in seconds\n"
         "                 (default 15; 0 or less keeps the default)\n"
         "  --format F     csv (default): event_number,timeup,timelow[,arrival_sec,\n"
         "                 arrival_usec] per line, '#' starts a comment line;\n"
         "                 tid, header, block: raw records of 12, 36 or 284 bytes\n"
         "  --json         print every published property as one JSON object\n";
}

}  // namespace daqevstat::tool
