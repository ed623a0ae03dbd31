#include "tool/client/remote_shell.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

#include "tool/client/client_error.h"
#include "tool/client/client_setup.h"
#include "tool/client/remote_location.h"
#include "tool/client/value_json.h"
#include "tool/shell/command_lines.h"

namespace daqevstat::tool::client {
namespace {

constexpr const char* kBlanks = " \t\r\n";

// The words of a line, and where the second word ends (the value of a set
// is the rest of the line after it).
struct Words {
  std::vector<std::string> words;
  std::size_t after_second = std::string::npos;
};

Words split(const std::string& line) {
  Words result;
  std::size_t pos = line.find_first_not_of(kBlanks);
  while (pos != std::string::npos) {
    const std::size_t end = std::min(line.find_first_of(kBlanks, pos), line.size());
    result.words.push_back(line.substr(pos, end - pos));
    if (result.words.size() == 2) result.after_second = end;
    pos = line.find_first_not_of(kBlanks, end);
  }
  return result;
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

bool local_only(const std::string& command) {
  return command == "clear" || command == "pause" || command == "resume" || command == "report" ||
         command == "save";
}

// What a read shows in a set's report: the value, or the refusal.
std::string shown(const PropertyAnswer& answer) {
  return answer.ok() ? value_text(answer.value) : "error: " + answer.error;
}

}  // namespace

RemoteShell::RemoteShell(RemoteLocation& location, std::ostream& out)
    : location_(location), out_(out) {}

std::string RemoteShell::help_text() {
  return "commands (on the connected server's location, as any client reads and writes):\n"
         "  list            every property with its value\n"
         "  get NAME        read the property NAME\n"
         "  set NAME VALUE  write VALUE to NAME with the write token; shows the answer and\n"
         "                  the value before and after\n"
         "                  VALUE by its form: 30 or -5 an integer (64-bit beyond 32 bits),\n"
         "                  2.9 or 1e3 a number (2.9f a float), anything else a text\n"
         "                  (\"30\" in double quotes is the text 30)\n"
         "  help            this list\n"
         "  quit, exit      leave the shell (end of input does the same)\n"
         "clear, pause, resume, report and save act on a simulated server and need the\n"
         "local shell (daqevstat shell without --connect).\n"
         "Blank lines and lines starting with # are ignored. Errors are single lines "
         "starting\n"
         "with \"error: \"; the shell goes on after them.\n";
}

bool RemoteShell::execute(const std::string& line) {
  const Words split_line = split(line);
  const std::vector<std::string>& words = split_line.words;
  if (words.empty() || words[0][0] == '#') return true;
  const std::string& command = words[0];
  const std::size_t args = words.size() - 1;
  bool keep_going = true;
  // A script must be able to go on after any failure, the server's absence
  // included.
  try {
    if ((command == "quit" || command == "exit") && args == 0) {
      keep_going = false;
    } else if (command == "help" && args == 0) {
      out_ << help_text();
    } else if (command == "list" && args == 0) {
      list();
    } else if (command == "get" && args == 1) {
      get(words[1]);
    } else if (command == "set" && args >= 2) {
      set(words[1], trimmed(line.substr(split_line.after_second)));
    } else if (command == "get") {
      out_ << "error: usage: get NAME\n";
    } else if (command == "set") {
      out_ << "error: usage: set NAME VALUE\n";
    } else if (command == "quit" || command == "exit" || command == "help" || command == "list") {
      out_ << "error: usage: " << command << "\n";
    } else if (local_only(command)) {
      out_ << "error: " << command << " needs a local server (daqevstat shell without --connect)\n";
    } else {
      out_ << "error: unknown command '" << command << "' (try help)\n";
    }
  } catch (const std::exception& e) {
    out_ << "error: " << command << ": " << one_line(e.what()) << "\n";
  }
  out_.flush();
  return keep_going;
}

void RemoteShell::list() {
  const PropertyAnswer answer = location_.get_all();
  if (!answer.ok()) {
    out_ << "error: list: " << answer.error << "\n";
    return;
  }
  for (const auto& [name, value] : answer.value.items()) {
    out_ << name << " = " << value_text(value) << "\n";
  }
}

void RemoteShell::get(const std::string& name) {
  const PropertyAnswer answer = location_.get(name);
  if (!answer.ok()) {
    out_ << "error: " << name << ": " << answer.error << "\n";
  } else {
    out_ << name << " = " << value_text(answer.value) << "\n";
  }
}

// As in the local shell, the value is read before and after the write: a
// write's answer alone does not tell whether the value changed.
void RemoteShell::set(const std::string& name, const std::string& text) {
  std::string error;
  const std::optional<Json> value = value_json(text, &error);
  if (!value) {
    out_ << "error: " << name << ": " << error << "\n";
    return;
  }
  const std::string before = shown(location_.get(name));
  const PropertyAnswer answer = location_.put(name, *value);
  if (!answer.ok()) {
    out_ << "error: " << name << ": refused: " << answer.error << "\n";
    return;
  }
  const std::string after = shown(location_.get(name));
  std::string report =
      name + ": sent " + sent_text(text) + "; reply " + value_text(answer.value) + "; value ";
  report +=
      after != before ? "now " + after + " (was " + before + ")" : "unchanged (" + after + ")";
  out_ << report << "\n";
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
  read_command_lines("connected to " + where +
                         "; 'help' lists the commands, 'quit' or Ctrl-D "
                         "leaves",
                     [&shell](const std::string& line) { return shell.execute(line); });
  if (!std::cout.flush()) {
    std::fputs("daqevstat: error writing the output\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace daqevstat::tool::client
