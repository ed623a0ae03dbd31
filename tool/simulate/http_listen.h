#ifndef TOOL_SIMULATE_HTTP_LISTEN_H_
#define TOOL_SIMULATE_HTTP_LISTEN_H_

#include <memory>
#include <string>
#include <vector>

#include "daqevstat_http.h"

namespace daqevstat::tool {

class SimulatedServer;

// Serving the simulated location over HTTP while it runs (--listen).
struct ListenOptions {
  std::string address;                     // --listen [ADDR:]PORT; empty: no HTTP server
  std::string write_token;                 // --write-token
  std::string write_token_file;            // --write-token-file: the token is its first line
  std::vector<std::string> allowed_hosts;  // --allowed-host, repeatable
  std::string web_config_file;             // --web-config-file: TLS, users, headers
};

// The simulated location served over HTTP for as long as this lives, as
// --listen asks (nothing without it). A write of a switch first remembers
// the settings, as the shell's does, so a switch-off keeps the period for
// the settings file.
//
// Thread safety: built, used and destroyed by the one controlling thread;
// requests run on the HTTP server's own threads.
class HttpListen {
 public:
  // Reads the token file and the web configuration, binds and starts
  // serving, then prints "listening on http[s]://ADDR:PORT/" on standard
  // error. Throws std::runtime_error (an unreadable token file, a web
  // configuration or TLS file that does not load, an address that cannot
  // be bound). `server` must outlive this object.
  HttpListen(const ListenOptions& options, SimulatedServer& server);
  HttpListen(const HttpListen&) = delete;
  HttpListen& operator=(const HttpListen&) = delete;
  // Stops serving and joins the server's threads.
  ~HttpListen();

  bool serving() const { return http_ != nullptr; }

 private:
  std::unique_ptr<daqnet::HttpServer> http_;
};

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_HTTP_LISTEN_H_
