#ifndef NET_HOST_CHECK_H_
#define NET_HOST_CHECK_H_

#include <string>
#include <string_view>
#include <vector>

namespace daqnet {

// Which names a request's Host header may give. A page served from another
// domain can make its own name point at this machine (DNS rebinding); the
// browser then sends that name, which this check refuses, so the page cannot
// read or write anything here.
//
// Allowed: "localhost", any loopback address (127.0.0.0/8, ::1), the address
// the server was bound to, the local address the connection reached (an
// address literal cannot be rebound), and the extra names given; each with
// or without a port, names in any case, a trailing dot ignored.
//
// Immutable after construction; every member may be called concurrently.
class HostCheck {
 public:
  HostCheck(const std::string& bound_host, const std::vector<std::string>& extra_names);

  bool allows(std::string_view host_header, std::string_view local_address) const;

 private:
  std::vector<std::string> names_;  // canonical forms (see canonical_host)
};

// The host part of a Host header value in canonical form: an IP address as
// its standard text (an IPv4-mapped IPv6 address as the IPv4 one), a name in
// lower case without a trailing dot. "" when the value is malformed.
std::string canonical_host(std::string_view host_header);

}  // namespace daqnet

#endif  // NET_HOST_CHECK_H_
