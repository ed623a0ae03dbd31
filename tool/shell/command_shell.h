#ifndef TOOL_SHELL_COMMAND_SHELL_H_
#define TOOL_SHELL_COMMAND_SHELL_H_

#include <deque>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace daqevstat::tool {

// A property's value as a shell shows it, or why it could not be read.
struct PropertyReading {
  std::string value;  // one line
  std::string error;  // one line; empty when the property was read

  bool ok() const { return error.empty(); }
};

// What a shell's `set` did. `error` set: the write was refused, before it
// was sent or by the property, and the other members mean nothing.
// Otherwise the value was sent and read back before and after.
struct WriteOutcome {
  std::string error;   // one line
  std::string sent;    // the value's type and text: "int 30", "text \"abc\""
  std::string reply;   // the write's answer
  std::string before;  // the value read before the write (or why it could not be)
  std::string after;   // and after it
  std::string notes;   // what else happened, each as "; ...": "; 10 properties removed"
  // Whether the value after the write holds the one sent; false when the
  // property ignored it (a counter, a period of 0), whatever else moved it.
  bool written = true;
};

// What the shell's list, get and set reach: the properties of one location.
// Implementations say which of their calls may throw; a std::exception from
// any of them becomes the line "error: COMMAND: what".
class PropertyAccess {
 public:
  virtual ~PropertyAccess() = default;

  // Every property that can be read, in the location's order.
  virtual std::vector<std::pair<std::string, PropertyReading>> list() = 0;
  virtual PropertyReading get(const std::string& name) = 0;
  // Writes `text`, read by its form (see value_from_text).
  virtual WriteOutcome set(const std::string& name, const std::string& text) = 0;
  // The names of the properties, for completion on a terminal.
  virtual std::vector<std::string> names() = 0;
};

// The commands that act on a server of the shell's own rather than on its
// published properties. Each returns what the command prints, whole lines.
class LocalActions {
 public:
  virtual ~LocalActions() = default;

  virtual std::string clear(bool all) = 0;
  virtual std::string pause() = 0;
  virtual std::string resume() = 0;
  virtual std::string report() = 0;
  virtual std::string save() = 0;
};

// What a shell's `help` says of itself: the first line, the lines of `set`
// and those of the local actions (whole lines with their indent; none
// without local actions).
struct ShellHelp {
  std::string heading;
  std::string set_lines;
  std::string local_lines;
};

// The commands both shells share, one line at a time:
//
//   list            every property, "NAME = VALUE" (or an error line)
//   get NAME        "NAME = VALUE"
//   set NAME VALUE  the rest of the line is the value; the report reads
//                   "NAME: sent int 0; reply 30; value unchanged (30)" or
//                   "...; value now 2 (was 30)", then the outcome's notes;
//                   a write the property ignored while events moved the
//                   value reads "value unchanged (31; events moved it from
//                   30)"
//   clear [all], pause, resume, report, save
//                   the local actions; without them, a line saying the
//                   command needs a local server
//   history         the command lines run so far (the last 1000), numbered
//                   from 1
//   help            the command list
//   quit, exit      execute returns false
//
// Every answer, errors included, goes to one stream, one line per reply
// (list, report and help write several), so a script's output reads in the
// order of its commands. Error lines start with "error: " and no error
// stops the shell. Blank lines and lines starting with '#' are ignored.
//
// Thread safety: one thread at a time; the shell holds no lock of its own.
class CommandShell {
 public:
  // `access`, `local` (may be null) and `out` must outlive the shell.
  CommandShell(PropertyAccess& access, LocalActions* local, ShellHelp help, std::ostream& out);
  CommandShell(const CommandShell&) = delete;
  CommandShell& operator=(const CommandShell&) = delete;

  // Runs one command line; false when it asks to quit.
  bool execute(const std::string& line);

  // The command list, ending in a newline.
  std::string help_text() const;

  // What Tab completes after `before` (the line up to the word under the
  // cursor): a command word first, a property name after get and set.
  std::vector<std::string> completions(const std::string& before);

  // The command words.
  static const std::vector<std::string>& command_words();

 private:
  void list();
  void get(const std::string& name);
  void set(const std::string& name, const std::string& text);

  PropertyAccess& access_;
  LocalActions* const local_;
  const ShellHelp help_;
  std::ostream& out_;
  // The last 1000 command lines run, blank ones and comments aside; the
  // first of them was number history_first_.
  std::deque<std::string> history_;
  std::size_t history_first_ = 1;
};

// For a property of a statistics object other than its switch, the
// switch's name ("<base>.STAT.ON"); empty for any other name.
std::string switch_of(const std::string& name);

// What a shell or the client adds to the refusal of a property that is
// missing because its statistics are off: "statistics are off (SWITCH = 0)".
std::string statistics_off(const std::string& switch_name);

// Whether a number property's value after a write holds the number sent:
// the same, its whole part (as an integer property keeps a fraction), or
// within a float's rounding of it.
bool holds_number(double sent, double value);

// A message from elsewhere (a property, an exception, a server) kept to one
// line, as scripts reading a shell's output count on.
std::string one_line(std::string text);

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_COMMAND_SHELL_H_
