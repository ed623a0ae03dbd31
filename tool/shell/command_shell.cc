#include "tool/shell/command_shell.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <map>

#include "stat_property_names.h"

namespace daqevstat::tool {
namespace {

constexpr const char* kBlanks = " \t\r\n";
constexpr std::size_t kHistoryLines = 1000;

struct Word {
  std::string text;
  std::size_t end = 0;  // offset just past the word in the line
};

std::vector<Word> split_words(const std::string& line) {
  std::vector<Word> words;
  std::size_t pos = line.find_first_not_of(kBlanks);
  while (pos != std::string::npos) {
    const std::size_t end = std::min(line.find_first_of(kBlanks, pos), line.size());
    words.push_back(Word{line.substr(pos, end - pos), end});
    pos = line.find_first_not_of(kBlanks, end);
  }
  return words;
}

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool is_local_action(const std::string& command) {
  return command == "clear" || command == "pause" || command == "resume" || command == "report" ||
         command == "save";
}

}  // namespace

std::string switch_of(const std::string& name) {
  const auto found = stat_property::find_statistic(name);
  if (!found || found->statistic == stat_property::Statistic::on) return "";
  return stat_property::client_name(found->base, stat_property::kOn);
}

std::string statistics_off(const std::string& switch_name) {
  return "statistics are off (" + switch_name + " = 0)";
}

bool holds_number(double sent, double value) {
  return value == sent || value == std::trunc(sent) ||
         std::fabs(value - sent) <= 1e-6 * std::max(std::fabs(value), std::fabs(sent));
}

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

CommandShell::CommandShell(PropertyAccess& access, LocalActions* local, ShellHelp help,
                           std::ostream& out)
    : access_(access), local_(local), help_(std::move(help)), out_(out) {}

const std::vector<std::string>& CommandShell::command_words() {
  static const std::vector<std::string> words = {"clear",   "exit",   "get",   "help",
                                                 "history", "list",   "pause", "quit",
                                                 "report",  "resume", "save",  "set"};
  return words;
}

std::vector<std::string> CommandShell::completions(const std::string& before) {
  const std::vector<Word> words = split_words(before);
  if (words.empty()) return command_words();
  if (words.size() == 1 && (words[0].text == "get" || words[0].text == "set")) {
    return access_.names();
  }
  return {};
}

std::string CommandShell::help_text() const {
  std::string text = help_.heading +
                     "  list            every property with its value\n"
                     "  get NAME        read the property NAME\n" +
                     help_.set_lines;
  if (local_ != nullptr) text += help_.local_lines;
  text +=
      "  history         the command lines entered so far, numbered\n"
      "  help            this list\n"
      "  quit, exit      leave the shell (end of input does the same)\n";
  if (local_ == nullptr) {
    text +=
        "clear, pause, resume, report and save act on a simulated server and need the\n"
        "local shell (daqevstat shell without --connect).\n";
  }
  return text +
         "Blank lines and lines starting with # are ignored. Errors are single lines starting\n"
         "with \"error: \"; the shell goes on after them.\n";
}

bool CommandShell::execute(const std::string& line) {
  const std::vector<Word> words = split_words(line);
  if (words.empty() || words[0].text[0] == '#') return true;
  const std::string& command = words[0].text;
  const std::size_t args = words.size() - 1;
  history_.push_back(trimmed(line));
  // A long script keeps only its recent lines, numbered as they ran.
  if (history_.size() > kHistoryLines) {
    history_.pop_front();
    ++history_first_;
  }
  bool keep_going = true;
  // A script must be able to go on after any failure, a server's absence
  // included, so nothing escapes.
  try {
    const auto usage = [this](const std::string& text) {
      out_ << "error: usage: " << text << "\n";
    };
    // The commands that take no argument.
    const std::map<std::string, std::function<void()>> plain = {
        {"quit", [&] { keep_going = false; }},
        {"exit", [&] { keep_going = false; }},
        {"help", [this] { out_ << help_text(); }},
        {"history",
         [this] {
           for (std::size_t i = 0; i < history_.size(); ++i) {
             out_ << "  " << history_first_ + i << "  " << history_[i] << "\n";
           }
         }},
        {"list", [this] { list(); }},
        {"pause", [this] { out_ << local_->pause(); }},
        {"resume", [this] { out_ << local_->resume(); }},
        {"report", [this] { out_ << local_->report(); }},
        {"save", [this] { out_ << local_->save(); }},
    };
    if (is_local_action(command) && local_ == nullptr) {
      out_ << "error: " << command << " needs a local server (daqevstat shell without --connect)\n";
    } else if (const auto found = plain.find(command); found != plain.end()) {
      if (args == 0) {
        found->second();
      } else {
        usage(command);
      }
    } else if (command == "get") {
      if (args == 1) {
        get(words[1].text);
      } else {
        usage("get NAME");
      }
    } else if (command == "set") {
      // The value is the rest of the line, so a text may hold blanks.
      if (args >= 2) {
        set(words[1].text, trimmed(line.substr(words[1].end)));
      } else {
        usage("set NAME VALUE");
      }
    } else if (command == "clear") {
      if (args == 0) {
        out_ << local_->clear(false);
      } else if (args == 1 && words[1].text == "all") {
        out_ << local_->clear(true);
      } else {
        usage("clear [all]");
      }
    } else {
      out_ << "error: unknown command '" << command << "' (try help)\n";
    }
  } catch (const std::exception& e) {
    out_ << "error: " << command << ": " << one_line(e.what()) << "\n";
  }
  out_.flush();
  return keep_going;
}

void CommandShell::list() {
  for (const auto& [name, reading] : access_.list()) {
    if (reading.ok()) {
      out_ << name << " = " << reading.value << "\n";
    } else {
      out_ << "error: " << name << ": " << reading.error << "\n";
    }
  }
}

void CommandShell::get(const std::string& name) {
  const PropertyReading reading = access_.get(name);
  if (reading.ok()) {
    out_ << name << " = " << reading.value << "\n";
  } else {
    out_ << "error: " << name << ": " << reading.error << "\n";
  }
}

// Whether a write stored its value cannot be told from its answer alone (a
// counter answers with its value, a plain value property with nothing), so
// the access reads the value before and after the write.
void CommandShell::set(const std::string& name, const std::string& text) {
  const WriteOutcome outcome = access_.set(name, text);
  if (!outcome.error.empty()) {
    out_ << "error: " << name << ": " << outcome.error << "\n";
    return;
  }
  std::string report = name + ": sent " + outcome.sent + "; reply " + outcome.reply + "; value ";
  if (outcome.after == outcome.before) {
    report += "unchanged (" + outcome.after + ")";
  } else if (!outcome.written) {
    report += "unchanged (" + outcome.after + "; events moved it from " + outcome.before + ")";
  } else {
    report += "now " + outcome.after + " (was " + outcome.before + ")";
  }
  out_ << report << outcome.notes << "\n";
}

}  // namespace daqevstat::tool
