#include "tool/shell/shell.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "eq_errors.h"
#include "eq_fct.h"
#include "net/write_value.h"
#include "stat_property_names.h"
#include "tool/output/property_text.h"
#include "tool/simulate/settings_file.h"
#include "tool/simulate/simulate_report.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {
namespace {

constexpr const char* kBlanks = " \t\r\n";

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
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Position after an optional sign.
std::size_t after_sign(const std::string& text) {
  return !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
}

// Position after a run of digits starting at `pos`.
std::size_t after_digits(const std::string& text, std::size_t pos) {
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  return pos;
}

bool is_integer_form(const std::string& text) {
  const std::size_t start = after_sign(text);
  return start < text.size() && after_digits(text, start) == text.size();
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], with a
// point or an exponent (without either it is an integer).
bool is_decimal_form(const std::string& text) {
  std::size_t pos = after_sign(text);
  const std::size_t int_end = after_digits(text, pos);
  bool digits = int_end > pos;
  bool point_or_exponent = false;
  pos = int_end;
  if (pos < text.size() && text[pos] == '.') {
    point_or_exponent = true;
    const std::size_t frac_end = after_digits(text, pos + 1);
    digits = digits || frac_end > pos + 1;
    pos = frac_end;
  }
  if (!digits) return false;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    point_or_exponent = true;
    std::size_t exp = pos + 1;
    if (exp < text.size() && (text[exp] == '+' || text[exp] == '-')) ++exp;
    const std::size_t exp_end = after_digits(text, exp);
    if (exp_end == exp) return false;
    pos = exp_end;
  }
  return point_or_exponent && pos == text.size();
}

bool is_special_real(const std::string& text) {
  std::string word = text.substr(after_sign(text));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word == "nan" || word == "inf" || word == "infinity";
}

bool is_real_form(const std::string& text) {
  return is_decimal_form(text) || is_special_real(text);
}

// The written value as the user should read it: its type and content.
std::string sent_text(const EqData& value) {
  switch (value.type()) {
    case DATA_INT:
      return "int " + value.get_string();
    case DATA_LONG:
      return "long " + value.get_string();
    case DATA_FLOAT:
      return "float " + reply_text(value);
    case DATA_DOUBLE:
      return "double " + reply_text(value);
    default:
      return "text " + reply_text(value);
  }
}

// A message from elsewhere (a property, an exception) kept to one line, as
// scripts reading the output count on.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::string error_line(const std::string& name, const EqData& reply) {
  return "error: " + name + ": " + one_line(reply.error_text()) + " (error " +
         std::to_string(reply.error()) + ")\n";
}

std::string count_of(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

EqData value_from_text(const std::string& text) {
  EqData value;
  if (is_integer_form(text)) {
    errno = 0;
    const long long number = std::strtoll(text.c_str(), nullptr, 10);
    if (errno != ERANGE) {
      if (number >= INT_MIN && number <= INT_MAX) {
        value.set(static_cast<int>(number));
      } else {
        value.set(number);
      }
      return value;
    }
    // Beyond 64 bits: still a number, so it goes as one.
    value.set(std::strtod(text.c_str(), nullptr));
    return value;
  }
  if (is_real_form(text)) {
    value.set(std::strtod(text.c_str(), nullptr));
    return value;
  }
  if (text.size() > 1 && (text.back() == 'f' || text.back() == 'F') &&
      (is_integer_form(text.substr(0, text.size() - 1)) ||
       is_real_form(text.substr(0, text.size() - 1)))) {
    // strtof rounds as a float itself, overflow to infinity included, which
    // a cast from double would not guarantee.
    value.set(std::strtof(text.c_str(), nullptr));
    return value;
  }
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    value.set(text.substr(1, text.size() - 2));
    return value;
  }
  value.set(text);
  return value;
}

Shell::Shell(SimulatedServer& server, std::ostream& out) : server_(server), out_(out) {}

std::string Shell::help_text() {
  return "commands (get, set and list are remote calls on the location, as a client makes "
         "them):\n"
         "  list            every property with its value\n"
         "  get NAME        read the property NAME\n"
         "  set NAME VALUE  write VALUE to NAME; shows the reply and the value before and "
         "after\n"
         "                  VALUE by its form: 30 or -5 an integer (64-bit beyond 32 bits),\n"
         "                  2.9, 1e3, nan or inf a double (2.9f a float), anything else a "
         "text\n"
         "                  (\"30\" in double quotes is the text 30)\n"
         "  clear [all]     zero every object's counters and distributions (all: also the\n"
         "                  event-number difference and the lost percentages); a direct "
         "call\n"
         "                  on the statistics objects, not a remote call\n"
         "  pause, resume   stop and restart the event source (event numbers go on without "
         "a gap)\n"
         "  report          the report: every property, the distributions, injected events\n"
         "                  against counted ones\n"
         "  save            save the settings into the --config file\n"
         "  help            this list\n"
         "  quit, exit      leave the shell (end of input does the same)\n"
         "Blank lines and lines starting with # are ignored. Errors are single lines "
         "starting\n"
         "with \"error: \"; the shell goes on after them.\n";
}

bool Shell::execute(const std::string& line) {
  const std::vector<Word> words = split_words(line);
  if (words.empty() || words[0].text[0] == '#') return true;
  const std::string& command = words[0].text;
  const std::size_t args = words.size() - 1;
  bool keep_going = true;
  // A script must be able to go on after any failure, so nothing escapes.
  try {
    const auto usage = [this](const std::string& text) {
      out_ << "error: usage: " << text << "\n";
    };
    // The commands that take no argument.
    const std::map<std::string, std::function<void()>> plain = {
        {"quit", [&] { keep_going = false; }},
        {"exit", [&] { keep_going = false; }},
        {"help", [this] { out_ << help_text(); }},
        {"list", [this] { list(); }},
        {"pause", [this] { pause(); }},
        {"resume", [this] { resume(); }},
        {"report", [this] { out_ << render_report(server_, interfered_); }},
        {"save", [this] { save(); }},
    };
    if (const auto found = plain.find(command); found != plain.end()) {
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
        clear(false);
      } else if (args == 1 && words[1].text == "all") {
        clear(true);
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

void Shell::list() {
  EqFct& location = server_.location();
  for (const std::string& name : location.property_names()) {
    const EqData reply = remote_read(location, name);
    if (reply.error() == unknown_property) continue;  // removed since the listing
    if (reply.error() != 0) {
      out_ << error_line(name, reply);
    } else {
      out_ << name << " = " << reply_text(reply) << "\n";
    }
  }
}

void Shell::get(const std::string& name) {
  const EqData reply = remote_read(server_.location(), name);
  if (reply.error() != 0) {
    out_ << error_line(name, reply);
  } else {
    out_ << name << " = " << reply_text(reply) << "\n";
  }
}

// Whether a write stored its value cannot be told from the reply alone (a
// counter answers with its value, a plain value property with nothing), so
// the value is read before and after the write.
void Shell::set(const std::string& name, const std::string& text) {
  EqFct& location = server_.location();
  const EqData value = value_from_text(text);
  const std::size_t count_before = location.property_names().size();
  const EqData current = remote_read(location, name);
  // Refused as an HTTP write of the same value is: the conversions of the
  // remote call would store some other value.
  if (current.error() == 0) {
    if (const std::string misfit = daqnet::value_misfit(value, current); !misfit.empty()) {
      out_ << "error: " << name << ": refused: " << misfit << "\n";
      return;
    }
  }
  const std::string before = reply_text(current);
  // A switch-off removes the period property; its setting is to survive in
  // the settings file all the same.
  if (ends_with(name, std::string(stat_property::kOn.suffix))) server_.remember_settings();
  const EqData reply = remote_write(location, name, value);
  if (reply.error() != 0) {
    out_ << error_line(name, reply);
    return;
  }
  const std::string after = reply_text(remote_read(location, name));
  const std::size_t count_after = location.property_names().size();
  const std::string answer = reply_text(reply);

  std::string line = name + ": sent " + sent_text(value) + "; reply " + answer + "; value ";
  const bool changed = after != before;
  line += changed ? "now " + after + " (was " + before + ")" : "unchanged (" + after + ")";
  if (count_after < count_before) {
    line += "; " + count_of(count_before - count_after, "property", "properties") + " removed";
  } else if (count_after > count_before) {
    line += "; " + count_of(count_after - count_before, "property", "properties") + " added";
  }
  if (changed && answer != after && !server_.paused()) {
    line += "; events arriving meanwhile may have changed it too (pause for a still view)";
  }
  out_ << line << "\n";
  if (count_after != count_before ||
      (changed && ends_with(name, std::string(stat_property::kOn.suffix)))) {
    interfered_ = true;
  }
}

void Shell::clear(bool all) {
  const std::size_t objects = server_.object_count();
  interfered_ = true;
  for (std::size_t i = 0; i < objects; ++i) server_.stat(i).clear(all);
  out_ << "cleared " << count_of(objects, "object", "objects")
       << (all ? ": counters, distributions, event-number difference and lost percentages\n"
               : ": counters and distributions\n");
}

void Shell::pause() {
  if (server_.paused()) {
    out_ << "already paused\n";
    return;
  }
  server_.pause();
  interfered_ = true;
  out_ << "paused: no events until resume\n";
}

void Shell::resume() {
  if (!server_.paused()) {
    out_ << "not paused\n";
    return;
  }
  server_.resume();
  out_ << "resumed\n";
}

void Shell::save() {
  try {
    if (server_.save()) {
      out_ << "saved to " << server_.options().config_file << "\n";
    } else {
      out_ << "error: no --config file given\n";
    }
  } catch (const SettingsError& e) {
    out_ << "error: save: " << one_line(e.what()) << "\n";
  }
}

}  // namespace daqevstat::tool
