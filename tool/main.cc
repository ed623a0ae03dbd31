// daqevstat: replays recorded event streams through the event statistics.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tool/options.h"
#include "tool/replay.h"

int main(int argc, char** argv) {
  using daqevstat::tool::Command;
  const Command command =
      daqevstat::tool::parse_command(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.action) {
    case Command::Action::help:
      std::fputs(daqevstat::tool::usage_text().c_str(), stdout);
      return 0;
    case Command::Action::usage_error:
      std::fprintf(stderr, "daqevstat: %s\n%s", command.error.c_str(),
                   daqevstat::tool::usage_text().c_str());
      return 2;
    case Command::Action::replay:
      break;
  }
  bool ok = true;
  try {
    const std::string output = daqevstat::tool::run_replay(command.options);
    std::fwrite(output.data(), 1, output.size(), stdout);
    ok = std::fflush(stdout) == 0;
    if (!ok) std::fputs("daqevstat: error writing the output\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat: %s\n", e.what());
    ok = false;
  }
  return (ok ? 0 : 1);
}
