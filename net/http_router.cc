#include "net/http_router.h"

#include <algorithm>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/beast/http/verb.hpp>
#include <chrono>
#include <utility>

#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"
#include "net/dashboard/dashboard_page.h"
#include "net/exposition.h"
#include "net/metrics.h"
#include "net/property_json.h"
#include "net/write_value.h"

namespace daqnet::detail {
namespace {

namespace http = boost::beast::http;
using boost::beast::iequals;

constexpr const char* kJson = "application/json";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kPageType = "text/html; charset=utf-8";

// The page loads nothing from elsewhere and may only talk to this server.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

constexpr std::string_view kLocations = "/api/v1/locations";
constexpr std::string_view kProperties = "/api/v1/properties";

enum class Kind { none, page, metrics, locations, properties, property, malformed };

// A request target taken apart. `location` is empty for the paths of the
// first location.
struct Target {
  Kind kind = Kind::none;
  bool named_location = false;
  std::string location;
  std::string property;
};

Target target_of(Kind kind) {
  Target target;
  target.kind = kind;
  return target;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of one path part; false when an escape is malformed.
bool decode(std::string_view text, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = hex_digit(text[i + 1]);
    const int low = hex_digit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}

bool starts_with(std::string_view text, std::string_view head) {
  return text.substr(0, head.size()) == head;
}

// ".../properties" or ".../properties/NAME" after a location's prefix.
Target properties_target(std::string_view rest, Target target) {
  if (rest.empty()) {
    target.kind = Kind::properties;
    return target;
  }
  if (rest.front() != '/' || rest.size() == 1) return Target{};
  target.kind = decode(rest.substr(1), &target.property) ? Kind::property : Kind::malformed;
  return target;
}

Target parse_target(std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  if (path == "/") return target_of(Kind::page);
  if (path == "/metrics") return target_of(Kind::metrics);
  if (path == kLocations) return target_of(Kind::locations);
  if (starts_with(path, kProperties)) return properties_target(path.substr(kProperties.size()), {});
  if (!starts_with(path, std::string(kLocations) + "/")) return Target{};
  path.remove_prefix(kLocations.size() + 1);
  const std::size_t slash = path.find('/');
  if (slash == std::string_view::npos || slash == 0) return Target{};
  Target named;
  named.named_location = true;
  if (!decode(path.substr(0, slash), &named.location)) return target_of(Kind::malformed);
  path.remove_prefix(slash);
  constexpr std::string_view kPropertiesPart = "/properties";
  if (!starts_with(path, kPropertiesPart)) return Target{};
  return properties_target(path.substr(kPropertiesPart.size()), std::move(named));
}

const char* allowed_methods(Kind kind) {
  return kind == Kind::property ? "GET, HEAD, PUT" : "GET, HEAD";
}

Response json_response(unsigned status, const Json& body) {
  return make_response(status, body.dump(-1, ' ', false, Json::error_handler_t::replace), kJson);
}

// The HTTP status of a reply that carries an error.
unsigned status_of(int code) {
  switch (code) {
    case unknown_property:
      return 404;
    case ill_parameter:
    case out_of_range:
      return 400;
    case read_only:
    case not_implemented:
      return 405;
    default:
      return 500;
  }
}

Response reply_error(const EqData& reply) {
  Json body = Json::object();
  body["error"] = reply.error_text().empty() ? get_error_string(reply.error()) : reply.error_text();
  body["code"] = reply.error();
  return json_response(status_of(reply.error()), body);
}

Response property_response(const std::string& name, const EqData& reply) {
  if (reply.error() != 0) return reply_error(reply);
  Json body = Json::object();
  body["name"] = name;
  body["value"] = reply_json(reply);
  return json_response(200, body);
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A quality value (RFC 9110: 0 to 1, up to three decimals); -1 when it is
// not one.
double quality(std::string_view text) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return -1.0;
  if (text.size() > 5 || (text.size() > 1 && text[1] != '.')) return -1.0;
  double value = text[0] - '0';
  double scale = 0.1;
  for (std::size_t i = 2; i < text.size(); ++i, scale /= 10) {
    if (text[i] < '0' || text[i] > '9') return -1.0;
    value += (text[i] - '0') * scale;
  }
  return value > 1.0 ? -1.0 : value;
}

}  // namespace

MetricsFormat metrics_format_for(std::string_view accept) {
  double protobuf = 0.0;
  double text = 0.0;
  // Media ranges are separated by commas outside quoted parameter values.
  std::size_t begin = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= accept.size(); ++i) {
    if (i < accept.size()) {
      if (accept[i] == '"') quoted = !quoted;
      if (accept[i] == '\\' && quoted) ++i;
      if (quoted || i >= accept.size() || accept[i] != ',') continue;
    }
    const std::string_view range = accept.substr(begin, i - begin);
    begin = i + 1;
    const std::size_t semicolon = range.find(';');
    const std::string_view type = trimmed(range.substr(0, semicolon));
    double q = 1.0;
    bool is_message = false;
    bool is_delimited = false;
    if (semicolon != std::string_view::npos) {
      const std::string_view params = range.substr(semicolon);
      for (const auto& param : http::param_list{{params.data(), params.size()}}) {
        if (iequals(param.first, "q")) {
          q = quality({param.second.data(), param.second.size()});
        } else if (iequals(param.first, "proto")) {
          is_message = param.second == "io.prometheus.client.MetricFamily";
        } else if (iequals(param.first, "encoding")) {
          is_delimited = iequals(param.second, "delimited");
        }
      }
    }
    if (q < 0.0) continue;  // a range that cannot be read counts for nothing
    if (iequals(type, "application/vnd.google.protobuf")) {
      if (is_message && is_delimited) protobuf = std::max(protobuf, q);
    } else if (iequals(type, "text/plain") || iequals(type, "text/*") || iequals(type, "*/*")) {
      text = std::max(text, q);
    }
  }
  return protobuf > 0.0 && protobuf >= text ? MetricsFormat::protobuf : MetricsFormat::text;
}

Response make_response(unsigned status, std::string body, const char* content_type) {
  Response response{static_cast<http::status>(status), 11};
  response.set(http::field::content_type, content_type);
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  response.body() = std::move(body);
  return response;
}

Response error_response(unsigned status, const std::string& message) {
  Json body = Json::object();
  body["error"] = message;
  return json_response(status, body);
}

Router::Router(std::vector<EqFct*> locations, const HttpServerOptions& options)
    : locations_(std::move(locations)),
      options_(options),
      access_(options.write_token),
      host_check_(options.host, options.allowed_hosts) {}

std::optional<Response> Router::check_header(const RequestHeader& header, const Peer& peer) const {
  const auto hosts = header.count(http::field::host);
  if (hosts > 1 || (hosts == 0 && header.version() >= 11)) {
    return error_response(400, "a request needs exactly one Host header");
  }
  if (hosts == 1 && !host_check_.allows(header[http::field::host], peer.local_address)) {
    return error_response(421, "this server does not answer for that Host name");
  }
  if (header.count(http::field::transfer_encoding) > 0 &&
      (header.count(http::field::content_length) > 0 ||
       header.count(http::field::transfer_encoding) > 1 ||
       !iequals(header[http::field::transfer_encoding], "chunked"))) {
    return error_response(400,
                          "Transfer-Encoding must be \"chunked\" alone, without Content-Length");
  }
  if (header.count(http::field::content_encoding) > 0) {
    Response refusal = error_response(415, "request bodies are taken without Content-Encoding");
    refusal.set(http::field::accept_encoding, "identity");
    return refusal;
  }
  const Kind kind = parse_target(header.target()).kind;
  if (kind == Kind::none || kind == Kind::malformed) return std::nullopt;  // answered whole
  const http::verb method = header.method();
  if (method == http::verb::get || method == http::verb::head ||
      (method == http::verb::put && kind == Kind::property)) {
    return std::nullopt;
  }
  Response refusal = error_response(405, "method not allowed");
  refusal.set(http::field::allow, allowed_methods(kind));
  return refusal;
}

Response Router::answer(const Request& request, const Peer& peer) {
  const Target target = parse_target(request.target());
  if (target.kind == Kind::none) return error_response(404, "no such resource");
  if (target.kind == Kind::malformed) return error_response(400, "malformed percent-encoding");
  EqFct* location = locations_.front();
  if (target.named_location) {
    location = nullptr;
    for (EqFct* candidate : locations_) {
      if (candidate->name() == target.location) {
        location = candidate;
        break;
      }
    }
    if (location == nullptr) return error_response(404, "no such location");
  }
  switch (target.kind) {
    case Kind::page: {
      Response page = make_response(200, dashboard_page(), kPageType);
      page.set("Content-Security-Policy", kPagePolicy);
      page.set("X-Frame-Options", "DENY");
      page.set("Referrer-Policy", "no-referrer");
      return page;
    }
    case Kind::metrics: {
      const MetricsFormat format = metrics_format_for(request[http::field::accept]);
      Response metrics = make_response(
          200, render_metrics(locations_, format),
          format == MetricsFormat::protobuf ? exposition::kProtobufContentType : kMetricsType);
      metrics.set(http::field::vary, "Accept");
      return metrics;
    }
    case Kind::locations: {
      Json names = Json::array();
      for (EqFct* each : locations_) names.push_back(each->name());
      Json body = Json::object();
      body["locations"] = std::move(names);
      return make_response(200, json_text(body), kJson);
    }
    case Kind::properties:
      return make_response(200, json_text(properties_json(*location)), kJson);
    case Kind::property: {
      if (request.method() == http::verb::put)
        return write(request, *location, target.property, peer);
      EqData in;
      EqData out;
      location->remote_get(target.property, &in, &out);
      return property_response(target.property, out);
    }
    default:
      return error_response(404, "no such resource");
  }
}

std::optional<Response> Router::check_write(const RequestHeader& header, const Peer& peer) {
  if (header.method() != http::verb::put || parse_target(header.target()).kind != Kind::property) {
    return std::nullopt;
  }
  if (!access_.has_token()) {
    return error_response(403, "writing is disabled: the server has no write token");
  }
  const auto now = WriteThrottle::Clock::now();
  const auto wait = throttle_.blocked_for(peer.address, now);
  if (wait > WriteThrottle::Clock::duration::zero()) {
    Response refusal = error_response(429, "too many writes with a wrong token; try again later");
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    refusal.set(http::field::retry_after, std::to_string(seconds));
    return refusal;
  }
  if (!access_.allows(header[http::field::authorization])) {
    throttle_.failed(peer.address, now);
    return error_response(403, "writing needs the write token (Authorization: Bearer)");
  }
  return std::nullopt;
}

Response Router::write(const Request& request, EqFct& location, const std::string& name,
                       const Peer& peer) {
  if (std::optional<Response> refusal = check_write(request.base(), peer))
    return std::move(*refusal);
  // The property's current reply tells its type, which the value must fit.
  EqData query;
  EqData current;
  location.remote_get(name, &query, &current);
  if (current.error() != 0) return reply_error(current);
  EqData in;
  std::string error;
  if (!write_value(request.body(), current, &in, &error)) return error_response(400, error);
  if (options_.before_write) options_.before_write(location.name(), name);
  EqData out;
  location.remote_set(name, &in, &out);
  return property_response(name, out);
}

}  // namespace daqnet::detail
