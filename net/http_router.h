#ifndef NET_HTTP_ROUTER_H_
#define NET_HTTP_ROUTER_H_

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daqevstat_http.h"
#include "net/host_check.h"
#include "net/metrics.h"
#include "net/write_access.h"
#include "net/write_throttle.h"

class EqFct;

namespace daqnet::detail {

// Internal to the HTTP server; do not depend on it directly.

using Request = boost::beast::http::request<boost::beast::http::string_body>;
using RequestHeader = boost::beast::http::request_header<>;
using Response = boost::beast::http::response<boost::beast::http::string_body>;

// Who sent a request: the peer's address, and the local address its
// connection reached (both as text, an IPv4-mapped address as IPv4).
struct Peer {
  std::string address;
  std::string local_address;
};

// What the server answers, by path and method (see docs/http.md). Knows
// nothing of connections: the caller hands it a request's header as soon
// as it has arrived, then the whole request, and sends what it returns.
//
// Thread safety: not thread-safe (the write throttle changes on every
// refused write); the server calls it from its one I/O thread only. The
// locations are reached through their remote calls, which are thread-safe.
class Router {
 public:
  // `locations` (not empty, no null) must outlive the router.
  Router(std::vector<EqFct*> locations, const HttpServerOptions& options);

  // A refusal of a request whose header has arrived, before any of its body
  // is read: a Host that is not served (421, 400 when HTTP/1.1 has none),
  // Transfer-Encoding with Content-Length or other than "chunked" (400), a
  // Content-Encoding (415), a method the path does not take (405). The
  // connection must close after it. nullopt when the body may be read.
  std::optional<Response> check_header(const RequestHeader& header, const Peer& peer) const;

  // Whether a PUT to a property may write as far as its header tells: the
  // server has a token, the peer is not throttled, and the token is right
  // (a wrong one counts against the peer). The refusal (403 or 429), or
  // nullopt; nullopt for every other request. Lets a client that asked to
  // hear before sending its body be refused before it sends it.
  std::optional<Response> check_write(const RequestHeader& header, const Peer& peer);

  // The answer to a whole request that check_header() let through.
  Response answer(const Request& request, const Peer& peer);

 private:
  Response write(const Request& request, EqFct& location, const std::string& name,
                 const Peer& peer);

  const std::vector<EqFct*> locations_;
  const HttpServerOptions& options_;
  const WriteAccess access_;
  const HostCheck host_check_;
  WriteThrottle throttle_;
};

// The format to answer a scrape of /metrics whose Accept header is
// `accept`: protobuf when it names the delimited MetricFamily protobuf
// exposition with a quality above 0 and at least that of every range it
// accepts text by (text/plain, text/*, */*); text otherwise (no header, or
// one that cannot be read, included).
MetricsFormat metrics_format_for(std::string_view accept);

// An answer with the headers every answer has: status, JSON or other body
// and content type, Cache-Control: no-store, X-Content-Type-Options: nosniff.
Response make_response(unsigned status, std::string body, const char* content_type);
// {"error": message} with `status`.
Response error_response(unsigned status, const std::string& message);

}  // namespace daqnet::detail

#endif  // NET_HTTP_ROUTER_H_
