#include "tool/simulate/server_startup.h"

#include <cstdio>
#include <exception>
#include <string>

namespace daqevstat::tool {

std::unique_ptr<SimulatedServer> open_server(const char* command, const ServerOptions& options) {
  std::unique_ptr<SimulatedServer> server;
  try {
    server = std::make_unique<SimulatedServer>(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat %s: %s\n", command, e.what());
    return nullptr;
  }
  for (const std::string& warning : server->settings_warnings()) {
    std::fprintf(stderr, "daqevstat %s: warning: %s\n", command, warning.c_str());
  }
  return server;
}

bool open_listen(const char* command, const ListenOptions& options, SimulatedServer& server,
                 std::optional<HttpListen>& http) {
  try {
    http.emplace(options, server);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "daqevstat %s: %s\n", command, e.what());
    return false;
  }
  return true;
}

}  // namespace daqevstat::tool
