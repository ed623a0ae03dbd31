#include "tool/client/remote_shell.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "tool/client/client_commands.h"
#include "tool/client/client_error.h"
#include "tool/client/client_setup.h"
#include "tool/client/remote_location.h"
#include "tool/client/value_json.h"
#include "tool/shell/command_lines.h"

namespace daqevstat::tool::client {
namespace {

ShellHelp remote_help() {
  return ShellHelp{
      "commands (on the connected server's location, as any client reads and writes):\n",
      "  set NAME VALUE  write VALUE to NAME with the write token; shows the answer and\n"
      "                  the value before and after\n"
      "                  VALUE by its form: 30 or -5 an integer (64-bit beyond 32 bits),\n"
      "                  2.9 or 1e3 a number (2.9f a float), anything else a text\n"
      "                  (\"30\" in double quotes is the text 30)\n",
      ""};
}

// What a read shows in a set's report: the value, or the refusal.
std::string shown(const PropertyAnswer& answer) {
  return answer.ok() ? value_text(answer.value) : "error: " + answer.error;
}

}  // namespace

RemoteShell::RemoteShell(RemoteLocation& location, std::ostream& out)
    : location_(location), commands_(*this, nullptr, remote_help(), out) {}

RemoteShell::~RemoteShell() = default;

std::vector<std::string> RemoteShell::names() {
  std::vector<std::string> names;
  try {
    const PropertyAnswer answer = location_.get_all();
    if (answer.ok()) {
      for (const auto& item : answer.value.items()) names.push_back(item.key());
    }
  } catch (const ClientError&) {
    // Nothing to complete from a server that cannot be reached.
  }
  return names;
}

std::vector<std::pair<std::string, PropertyReading>> RemoteShell::list() {
  const PropertyAnswer answer = location_.get_all();
  if (!answer.ok()) throw std::runtime_error(answer.error);
  std::vector<std::pair<std::string, PropertyReading>> readings;
  for (const auto& [name, value] : answer.value.items()) {
    readings.emplace_back(name, PropertyReading{value_text(value), ""});
  }
  return readings;
}

PropertyReading RemoteShell::get(const std::string& name) {
  const PropertyAnswer answer = location_.get(name);
  if (answer.status == 404) return PropertyReading{"", answer.error + location_.why_missing(name)};
  if (!answer.ok()) return PropertyReading{"", answer.error};
  return PropertyReading{value_text(answer.value), ""};
}

WriteOutcome RemoteShell::set(const std::string& name, const std::string& text) {
  WriteOutcome outcome;
  const std::optional<Json> value = value_json(text, &outcome.error);
  if (!value) return outcome;
  outcome.before = shown(location_.get(name));
  const PropertyAnswer answer = location_.put(name, *value);
  if (!answer.ok()) {
    outcome.error = "refused: " + answer.error;
    if (answer.status == 404) outcome.error += location_.why_missing(name);
    return outcome;
  }
  const PropertyAnswer after = location_.get(name);
  outcome.after = shown(after);
  outcome.written = !after.ok() || holds_sent(*value, after.value);
  outcome.sent = sent_text(text);
  outcome.reply = value_text(answer.value);
  return outcome;
}

int run_remote_shell(const ClientOptions& options) {
  int status = 0;
  // Ctrl-C abandons a request under way as it ends the shell.
  HttpLimits limits;
  limits.interrupted = command_lines_interrupted;
  const std::unique_ptr<RemoteLocation> location =
      open_location("shell", options, true, limits, &status);
  if (location == nullptr) return status;
  try {
    location->resolve();
  } catch (const ClientError& e) {
    std::fprintf(stderr, "daqevstat shell: %s\n", e.what());
    return e.exit_status();
  }
  RemoteShell shell(*location, std::cout);
  const std::string where = location->location().empty() ? location->server().text()
                                                         : "location " + location->location() +
                                                               " at " + location->server().text();
  read_command_lines(
      "connected to " + where +
          "; 'help' lists the commands, 'quit' or Ctrl-D "
          "leaves",
      [&shell](const std::string& line) { return shell.execute(line); },
      [&shell](const std::string& before) { return shell.completions(before); });
  if (!std::cout.flush()) {
    std::fputs("daqevstat shell: error writing the output\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace daqevstat::tool::client
