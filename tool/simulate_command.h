#ifndef TOOL_SIMULATE_COMMAND_H_
#define TOOL_SIMULATE_COMMAND_H_

#include <string>

#include "tool/simulate/http_listen.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {

// What `daqevstat simulate` was asked to do.
struct SimulateOptions {
  ServerOptions server;
  ListenOptions listen;
  double duration_sec = 10.0;  // 0: until interrupted
  std::string svg_file;
  std::string csv_dir;
};

// `daqevstat simulate`: runs a simulated server for the duration or until
// SIGINT or SIGTERM, with a status line while it runs, then prints the
// report, writes the pictures asked for and saves the settings. Returns the
// exit status: 0, or 1 when the settings cannot be loaded or saved or a
// picture cannot be written (the message is on standard error).
int run_simulate(const SimulateOptions& options);

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_COMMAND_H_
