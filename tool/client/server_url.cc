#include "tool/client/server_url.h"

#include <cctype>

namespace daqevstat::tool::client {
namespace {

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

bool is_ipv6_char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<ServerUrl> refuse(std::string* error, const std::string& why) {
  *error = why;
  return std::nullopt;
}

}  // namespace

std::string ServerUrl::authority() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ServerUrl::text() const { return (tls ? "https://" : "http://") + authority() + "/"; }

std::optional<ServerUrl> parse_server_url(const std::string& text, std::string* error) {
  const std::string expected = " (expected http[s]://HOST[:PORT]/)";
  std::string rest = text;
  ServerUrl url;
  if (const std::size_t scheme_end = rest.find("://"); scheme_end != std::string::npos) {
    const std::string scheme = lower(rest.substr(0, scheme_end));
    if (scheme == "https") {
      url.tls = true;
      url.port = 443;
    } else if (scheme != "http") {
      return refuse(error, "unsupported scheme in " + text + expected);
    }
    rest = rest.substr(scheme_end + 3);
  }
  // The authority ends at the path; nothing may follow but one '/'.
  const std::size_t path = rest.find_first_of("/?#");
  if (path != std::string::npos) {
    if (rest.substr(path) != "/") {
      return refuse(error, "a server URL takes no path, query or fragment: " + text + expected);
    }
    rest.resize(path);
  }
  if (rest.find('@') != std::string::npos) {
    return refuse(error, "a server URL takes no user information: " + text + expected);
  }

  std::string port_text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return refuse(error, "unclosed '[' in " + text + expected);
    url.host = rest.substr(1, close - 1);
    if (url.host.empty() || url.host.find(':') == std::string::npos) {
      return refuse(error, "not an IPv6 address in brackets: " + text + expected);
    }
    for (char c : url.host) {
      if (!is_ipv6_char(c)) return refuse(error, "not an IPv6 address in brackets: " + text);
    }
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return refuse(error, "malformed server URL: " + text + expected);
      port_text = after.substr(1);
      if (port_text.empty()) return refuse(error, "empty port in " + text + expected);
    }
  } else {
    const std::size_t colon = rest.find(':');
    url.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = rest.substr(colon + 1);
      if (port_text.empty()) return refuse(error, "empty port in " + text + expected);
      if (port_text.find(':') != std::string::npos) {
        return refuse(error, "an IPv6 address needs brackets: " + text + expected);
      }
    }
    if (url.host.empty()) return refuse(error, "no host in " + text + expected);
    for (char c : url.host) {
      if (!is_name_char(c)) return refuse(error, "invalid host in " + text + expected);
    }
  }
  if (!port_text.empty()) {
    if (port_text.size() > 5) return refuse(error, "port out of range (1 to 65535) in " + text);
    int port = 0;
    for (char c : port_text) {
      if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
        return refuse(error, "port is not a number in " + text + expected);
      }
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
      return refuse(error, "port out of range (1 to 65535) in " + text);
    }
    url.port = port;
  }
  return url;
}

}  // namespace daqevstat::tool::client
