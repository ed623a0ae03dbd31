#ifndef TOOL_SIMULATE_SERVER_STARTUP_H_
#define TOOL_SIMULATE_SERVER_STARTUP_H_

#include <memory>
#include <optional>

#include "tool/simulate/http_listen.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {

// The first steps shared by the commands that run the simulated server. A
// failure is printed as one line "daqevstat COMMAND: ..." on standard
// error, for the command to end with status 1.

// The server built from `options`, after printing the settings file's
// warnings; null when it cannot be built.
std::unique_ptr<SimulatedServer> open_server(const char* command, const ServerOptions& options);

// Serves `server` over HTTP into `http` as `options` ask (nothing when they
// name no address); false when it cannot.
bool open_listen(const char* command, const ListenOptions& options, SimulatedServer& server,
                 std::optional<HttpListen>& http);

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_SERVER_STARTUP_H_
