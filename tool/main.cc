// daqevstat: a simulated DAQ server with live event statistics, a shell on
// its published properties, replays of recorded event streams, and a client
// of running servers.

#include <cstdio>
#include <string>
#include <vector>

#include "tool/client/client_commands.h"
#include "tool/client/remote_shell.h"
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
      // "daqevstat COMMAND: ...", as every other error line of a command.
      std::fprintf(stderr, "daqevstat%s%s: %s\n%s", command.name.empty() ? "" : " ",
                   command.name.c_str(), command.error.c_str(), command.text.c_str());
      return 2;
    case Command::Action::replay:
      return daqevstat::tool::run_replay_command(command.options);
    case Command::Action::simulate:
      return daqevstat::tool::run_simulate(command.simulate);
    case Command::Action::shell:
      if (!command.shell.connect.server.empty()) {
        return daqevstat::tool::client::run_remote_shell(command.shell.connect);
      }
      return daqevstat::tool::run_shell(command.shell);
    case Command::Action::get:
      return daqevstat::tool::client::run_get(command.get);
    case Command::Action::set:
      return daqevstat::tool::client::run_set(command.set);
    case Command::Action::watch:
      return daqevstat::tool::client::run_watch(command.watch);
  }
  return 2;
}
