#include "net/host_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace daqnet {
namespace {

bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The host part, without brackets and port; false when malformed.
bool split_host(std::string_view value, std::string_view* host) {
  if (value.empty()) return false;
  if (value.front() == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view rest = value.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !all_digits(rest.substr(1)))) return false;
    *host = value.substr(1, close - 1);
    return true;
  }
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) {
    *host = value;
    return true;
  }
  // A bare IPv6 address is not a valid Host, but a literal given in an
  // option (allowed_hosts, the bound address) is one.
  if (value.find(':', colon + 1) != std::string_view::npos) {
    *host = value;
    return true;
  }
  if (!all_digits(value.substr(colon + 1))) return false;
  *host = value.substr(0, colon);
  return true;
}

bool is_loopback(const std::string& canonical) {
  in_addr v4{};
  if (::inet_pton(AF_INET, canonical.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  return canonical == "::1" || canonical == "localhost";
}

}  // namespace

std::string canonical_host(std::string_view host_header) {
  std::string_view host;
  if (!split_host(host_header, &host) || host.empty()) return "";
  std::string text(host);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    char out[INET6_ADDRSTRLEN];
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      in_addr v4{};
      std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
      return ::inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : "";
    }
    return ::inet_ntop(AF_INET6, &v6, out, sizeof out) != nullptr ? out : "";
  }
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '.' && c != '-' && c != '_') return "";
    c = static_cast<char>(std::tolower(u));
  }
  if (text.back() == '.') text.pop_back();
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    char out[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : "";
  }
  return text;
}

HostCheck::HostCheck(const std::string& bound_host, const std::vector<std::string>& extra_names) {
  const std::string bound = canonical_host(bound_host);
  // A wildcard address is no name a client could send.
  if (!bound.empty() && bound != "0.0.0.0" && bound != "::") names_.push_back(bound);
  for (const std::string& name : extra_names) {
    const std::string canonical = canonical_host(name);
    if (!canonical.empty()) names_.push_back(canonical);
  }
}

bool HostCheck::allows(std::string_view host_header, std::string_view local_address) const {
  const std::string host = canonical_host(host_header);
  if (host.empty()) return false;
  if (is_loopback(host)) return true;
  if (std::find(names_.begin(), names_.end(), host) != names_.end()) return true;
  return !local_address.empty() && host == canonical_host(local_address);
}

}  // namespace daqnet
