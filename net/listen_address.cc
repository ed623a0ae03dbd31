#include "net/listen_address.h"

#include <cctype>

namespace daqnet {
namespace {

std::optional<int> parse_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

bool plain_host(const std::string& host) {
  if (host.empty()) return false;
  for (unsigned char c : host) {
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

bool ipv6_host(const std::string& host) {
  if (host.empty() || host.find(':') == std::string::npos) return false;
  for (unsigned char c : host) {
    if (!std::isxdigit(c) && c != ':' && c != '.') return false;
  }
  return true;
}

}  // namespace

std::optional<ListenAddress> parse_listen_address(const std::string& text, std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<ListenAddress> {
    if (error != nullptr) *error = why + ": \"" + text + "\"";
    return std::nullopt;
  };
  ListenAddress address;
  std::string port_text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return fail("expected [IPV6]:PORT");
    }
    address.host = text.substr(1, close - 1);
    if (!ipv6_host(address.host)) return fail("not an IPv6 address");
    port_text = text.substr(close + 2);
  } else if (const std::size_t colon = text.find(':'); colon != std::string::npos) {
    if (text.find(':', colon + 1) != std::string::npos) {
      return fail("an IPv6 address goes in brackets, as [::1]:PORT");
    }
    address.host = text.substr(0, colon);
    if (!plain_host(address.host)) return fail("not a host name or address");
    port_text = text.substr(colon + 1);
  } else {
    port_text = text;
  }
  const std::optional<int> port = parse_port(port_text);
  if (!port) return fail("expected a port from 0 to 65535");
  address.port = *port;
  return address;
}

std::string url_of(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

}  // namespace daqnet
