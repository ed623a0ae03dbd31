#ifndef TOOL_SHELL_SHELL_H_
#define TOOL_SHELL_SHELL_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "tool/shell/command_shell.h"
#include "tool/shell/value_text.h"

namespace daqevstat::tool {

class SimulatedServer;

// `daqevstat shell`: the shell's commands (see CommandShell) against a
// running simulated server. get, set and list are remote calls on the
// location, made as a client makes them; clear, pause, resume, report and
// save act on the server directly.
//
//   set NAME VALUE  a value the property cannot hold (a text to a number, an
//                   integer beyond its range) is refused before the write,
//                   as an HTTP write of it is (daqnet::value_misfit); the
//                   report adds how many properties the write added or
//                   removed, and that events may have moved a value that
//                   changed while the source runs
//   clear [all]     vrel_daq_event_stat::clear(false / true) on every object
//   pause, resume   the event source
//   report          render_report of the server
//   save            the settings into the --config file
//
// Thread safety: one Shell is used by one thread at a time. It holds no lock
// of its own; the server's source and client threads may run meanwhile.
class Shell : private PropertyAccess, private LocalActions {
 public:
  // `server` and `out` must outlive the shell.
  Shell(SimulatedServer& server, std::ostream& out);
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell() override;

  // Runs one command line; false when it asks to quit.
  bool execute(const std::string& line) { return commands_.execute(line); }

  // What Tab completes (see CommandShell::completions).
  std::vector<std::string> completions(const std::string& before) {
    return commands_.completions(before);
  }

  // Whether a command of this shell switched statistics, cleared them or
  // paused the source, which the report's comparison with the injected
  // events cannot account for.
  bool interfered() const { return interfered_; }

  // The command list, ending in a newline.
  std::string help_text() const { return commands_.help_text(); }

  // The property names, for completion.
  std::vector<std::string> names() override;

 private:
  std::vector<std::pair<std::string, PropertyReading>> list() override;
  PropertyReading get(const std::string& name) override;
  WriteOutcome set(const std::string& name, const std::string& text) override;
  std::string clear(bool all) override;
  std::string pause() override;
  std::string resume() override;
  std::string report() override;
  std::string save() override;
  // "; statistics are off (SWITCH = 0)" for a property missing for that
  // reason; "" otherwise.
  std::string why_missing(const std::string& name);

  SimulatedServer& server_;
  bool interfered_ = false;
  CommandShell commands_;
};

}  // namespace daqevstat::tool

#endif  // TOOL_SHELL_SHELL_H_
