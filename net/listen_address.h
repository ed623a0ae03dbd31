#ifndef NET_LISTEN_ADDRESS_H_
#define NET_LISTEN_ADDRESS_H_

#include <optional>
#include <string>

namespace daqnet {

// Where the HTTP server listens.
struct ListenAddress {
  std::string host = "127.0.0.1";  // an address or a host name, no brackets
  int port = 0;                    // 0: any free port
};

// Parses "PORT", "HOST:PORT" or "[IPV6]:PORT". A port alone listens on the
// loopback address 127.0.0.1; any other address must be named. PORT is a
// decimal from 0 to 65535 (0 picks a free one). Returns nullopt and sets
// `error` for anything else, an IPv6 address without brackets included.
std::optional<ListenAddress> parse_listen_address(const std::string& text, std::string* error);

// "http://HOST:PORT/", the host in brackets when it is an IPv6 address.
std::string url_of(const std::string& host, int port);

}  // namespace daqnet

#endif  // NET_LISTEN_ADDRESS_H_
