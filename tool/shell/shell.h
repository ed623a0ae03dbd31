#ifndef TOOL_SHELL_SHELL_H_
#define TOOL_SHELL_SHELL_H_

#include <cstddef>
#include <ostream>
#include <string>

#include "eq_data.h"

namespace daqevstat::tool {

class SimulatedServer;

// The commands of `daqevstat shell`, one line at a time, against a running
// simulated server. Every answer, errors included, is written to one stream,
// one line per reply (list and report write several): a script's output then
// reads in the order of its commands. Error lines start with "error: ", and
// no error stops the shell.
//
//   list            every property of the location, "NAME = VALUE"
//   get NAME        "NAME = VALUE"
//   set NAME VALUE  writes VALUE (see value_from_text; the rest of the line)
//                   and tells what was sent, the reply, and the value read
//                   back before and after: "NAME: sent int 0; reply 30; value
//                   unchanged (30)" or "...; value now 2 (was 30)", plus how
//                   many properties the write added or removed
//   clear [all]     vrel_daq_event_stat::clear(false / true) on every object
//   pause, resume   the event source
//   report          render_report of the server
//   save            the settings into the --config file
//   help            the command list
//   quit, exit      execute returns false
// Blank lines and lines starting with '#' are ignored.
//
// get, set and list are remote calls on the location, made as a client does;
// clear, pause, resume and save act on the server directly.
//
// Thread safety: one Shell is used by one thread at a time. It holds no lock
// of its own; the server's source and client threads may run meanwhile.
class Shell {
 public:
  // `server` and `out` must outlive the shell.
  Shell(SimulatedServer& server, std::ostream& out);
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Runs one command line; false when it asks to quit.
  bool execute(const std::string& line);

  // Whether a command of this shell switched statistics, cleared them or
  // paused the source, which the report's comparison with the injected
  // events cannot account for.
  bool interfered() const { return interfered_; }

  // The command list, ending in a newline.
  static std::string help_text();

 private:
  void list();
  void get(const std::string& name);
  void set(const std::string& name, const std::string& value);
  void clear(bool all);
  void pause();
  void resume();
  void save();

  SimulatedServer& server_;
  std::ostream& out_;
  bool interfered_ = false;
};

// The value a `set` writes, by the form of its text:
//  - an optional sign and decimal digits: an integer, DATA_INT within 32
//    bits, DATA_LONG beyond, a double beyond 64 bits;
//  - a decimal with a point or an exponent, or nan, inf, infinity (any
//    case, optional sign): DATA_DOUBLE;
//  - either number form followed by 'f' or 'F': DATA_FLOAT;
//  - a text in double quotes: that text without the quotes (so "30" is the
//    text 30);
//  - anything else: the text as it is (DATA_STRING).
// A double keeps what was typed to 15 digits, so a property's conversion of
// it shows, not one made by the shell; the 'f' form tries a 32-bit float.
EqData value_from_text(const std::string& text);

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_SHELL_H_
