// daqevstat: a simulated DAQ server with live event statistics, a shell on
// its published properties, and replays of recorded event streams.

#include <cstdio>
#include <string>
#include <vector>

#include "tool/options.h"
#include "tool/replay/replay.h"
#include "tool/shell_command.h"
#include "tool/simulate_command.h"

int main(int argc, char** argv) {
  using daqevstat::tool::Command;
  const Command command =
      daqevstat::tool::parse_command(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.action) {
    case Command::Action::help:
    case Command::Action::version:
      std::fputs(command.text.c_str(), stdout);
      return 0;
    case Command::Action::usage_error:
      std::fprintf(stderr, "daqevstat: %s\n%s", command.error.c_str(), command.text.c_str());
      return 2;
    case Command::Action::replay:
      return daqevstat::tool::run_replay_command(command.options);
    case Command::Action::simulate:
      return daqevstat::tool::run_simulate(command.simulate);
    case Command::Action::shell:
      return daqevstat::tool::run_shell(command.shell);
  }
  return 2;
}
