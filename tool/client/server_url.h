#ifndef TOOL_CLIENT_SERVER_URL_H_
#define TOOL_CLIENT_SERVER_URL_H_

#include <optional>
#include <string>

namespace daqevstat::tool::client {

// Where a running server answers: a host name or address and a port.
struct ServerUrl {
  std::string host;  // without brackets, also for an IPv6 address
  int port = 80;
  bool tls = false;  // https

  // "http[s]://HOST:PORT/", an IPv6 host in brackets.
  std::string text() const;
  // The Host header: "HOST:PORT", an IPv6 host in brackets.
  std::string authority() const;
};

// Parses "http[s]://HOST[:PORT][/]"; the scheme may be left out (http).
// HOST is a name of letters, digits, '-', '_' and '.', an IPv4 address, or
// an IPv6 address in brackets; PORT a decimal from 1 to 65535 (default 80,
// 443 for https). A path other than "/", a query, a fragment or user
// information is refused. Returns nullopt and sets `error` (one line) for
// anything refused.
std::optional<ServerUrl> parse_server_url(const std::string& text, std::string* error);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_SERVER_URL_H_
