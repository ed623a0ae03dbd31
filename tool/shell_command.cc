#include "tool/shell_command.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "tool/shell/command_lines.h"
#include "tool/shell/shell.h"
#include "tool/simulate/http_listen.h"
#include "tool/simulate/server_startup.h"
#include "tool/simulate/settings_file.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {

int run_shell(const ShellOptions& options) {
  const std::unique_ptr<SimulatedServer> server = open_server("shell", options.server);
  if (server == nullptr) return 1;
  std::optional<HttpListen> http;
  if (!open_listen("shell", options.listen, *server, http)) return 1;
  server->start();
  {
    Shell shell(*server, std::cout);
    read_command_lines(
        std::string("simulated DAQ server ") + kSimulatedLocation +
            " running; 'help' lists the commands, 'quit' or Ctrl-D leaves",
        [&shell](const std::string& line) { return shell.execute(line); },
        [&shell](const std::string& before) { return shell.completions(before); });
  }
  http.reset();
  server->stop();

  int status = 0;
  try {
    server->save();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat shell: %s\n", e.what());
    status = 1;
  }
  if (!std::cout.flush()) {
    std::fputs("daqevstat shell: error writing the output\n", stderr);
    status = 1;
  }
  return status;
}

}  // namespace daqevstat::tool
