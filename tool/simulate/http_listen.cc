#include "tool/simulate/http_listen.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include "net/listen_address.h"
#include "net/write_access.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {

HttpListen::HttpListen(const ListenOptions& options, SimulatedServer& server) {
  if (options.address.empty()) return;
  std::string error;
  const std::optional<daqnet::ListenAddress> address =
      daqnet::parse_listen_address(options.address, &error);
  if (!address) throw std::runtime_error("--listen: " + error);
  daqnet::HttpServerOptions http;
  http.host = address->host;
  http.port = address->port;
  http.write_token = options.write_token_file.empty()
                         ? options.write_token
                         : daqnet::read_token_file(options.write_token_file);
  http.allowed_hosts = options.allowed_hosts;
  if (!options.web_config_file.empty()) daqnet::load_web_config(options.web_config_file, http);
  http.before_write = [&server](const std::string&, const std::string& name) {
    server.before_write(name);
  };
  http_ = std::make_unique<daqnet::HttpServer>(std::vector<EqFct*>{&server.location()},
                                               std::move(http));
  // The server's thread starts with SIGINT and SIGTERM blocked (the HTTP
  // library does that itself), so they reach the controlling thread.
  http_->start();
  std::fprintf(stderr, "listening on %s\n", http_->url().c_str());
  std::fflush(stderr);
}

HttpListen::~HttpListen() {
  if (http_ != nullptr) http_->stop();
}

}  // namespace daqevstat::tool
