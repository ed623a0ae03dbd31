#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "daqevstat_http.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"
#include "net/connection_stream.h"
#include "net/dashboard/dashboard_page.h"
#include "net/listen_address.h"
#include "net/metrics.h"
#include "net/property_json.h"
#include "net/write_access.h"

namespace daqnet {
namespace {

constexpr const char* kJson = "application/json";
constexpr const char* kPropertiesPath = "/api/v1/properties";
constexpr const char* kPropertyPrefix = "/api/v1/properties/";
constexpr const char* kPropertyPattern = R"(/api/v1/properties/(.+))";

// The page loads nothing from elsewhere and may only talk to this server.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

void send_json(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), kJson);
}

void send_error(httplib::Response& res, int status, const std::string& message) {
  Json body = Json::object();
  body["error"] = message;
  send_json(res, status, body);
}

// The HTTP status of a reply that carries an error.
int status_of(int code) {
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

void send_reply_error(httplib::Response& res, const EqData& reply) {
  Json body = Json::object();
  body["error"] = reply.error_text().empty() ? get_error_string(reply.error()) : reply.error_text();
  body["code"] = reply.error();
  send_json(res, status_of(reply.error()), body);
}

void send_property(httplib::Response& res, const std::string& name, const EqData& reply) {
  if (reply.error() != 0) {
    send_reply_error(res, reply);
    return;
  }
  Json body = Json::object();
  body["name"] = name;
  body["value"] = reply_json(reply);
  send_json(res, 200, body);
}

// The value a write sends, from the body {"value": V}: an integer as
// DATA_INT within 32 bits and DATA_LONG beyond, a number with a fraction or
// exponent as DATA_DOUBLE, a text as DATA_STRING; the properties convert
// it as they do for any client. Sets `error` for anything else.
bool value_from_body(const std::string& body, EqData* value, std::string* error) {
  const Json document = Json::parse(body, nullptr, false);
  if (document.is_discarded()) {
    *error = "the body is not JSON";
    return false;
  }
  if (!document.is_object() || !document.contains("value") || document.size() != 1) {
    *error = "the body must be an object with the one member \"value\"";
    return false;
  }
  const Json& v = document.at("value");
  if (v.is_number_unsigned()) {
    const auto number = v.get<std::uint64_t>();
    if (number <= static_cast<std::uint64_t>(INT_MAX)) {
      value->set(static_cast<int>(number));
    } else if (number <= static_cast<std::uint64_t>(LLONG_MAX)) {
      value->set(static_cast<long long>(number));
    } else {
      value->set(static_cast<double>(number));
    }
  } else if (v.is_number_integer()) {
    const auto number = v.get<std::int64_t>();
    if (number >= INT_MIN && number <= INT_MAX) {
      value->set(static_cast<int>(number));
    } else {
      value->set(static_cast<long long>(number));
    }
  } else if (v.is_number_float()) {
    value->set(v.get<double>());
  } else if (v.is_string()) {
    value->set(v.get<std::string>());
  } else {
    *error = "\"value\" must be a number or a text";
    return false;
  }
  return true;
}

const char* reason_of(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 408:
      return "request timeout";
    case 413:
      return "request body too large";
    case 414:
      return "request target too long";
    case 416:
      return "range not satisfiable";
    case 431:
      return "request header fields too large";
    case 500:
      return "internal error";
    default:
      return "error";
  }
}

enum class Route { none, page, properties, property, metrics };

Route route_of(const std::string& path) {
  if (path == "/") return Route::page;
  if (path == "/metrics") return Route::metrics;
  if (path == kPropertiesPath) return Route::properties;
  if (path.compare(0, std::string(kPropertyPrefix).size(), kPropertyPrefix) == 0) {
    return Route::property;
  }
  return Route::none;
}

// The first location over the packaged HTTP layer.
class Layer : public httplib::Server {
 public:
  Layer(EqFct& location, const HttpServerOptions& options)
      : location_(location),
        options_(options),
        access_(options.write_token),
        limits_{options.read_timeout, options.write_timeout, options.request_deadline,
                options.max_header_bytes + options.max_body_bytes} {
    const std::size_t threads = 4;
    new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // The layer's default also sets SO_REUSEPORT, which lets a second
    // server bind the same port and take a share of its requests unseen.
    set_socket_options([](socket_t sock) {
      int yes = 1;
      ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    set_payload_max_length(options.max_body_bytes);
    set_keep_alive_max_count(options.keep_alive_requests > 0 ? options.keep_alive_requests : 1);
    // Only announced in the Keep-Alive header; the connection loop below
    // keeps the exact time.
    set_keep_alive_timeout(static_cast<time_t>((options.keep_alive_timeout.count() + 999) / 1000));
    set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return check(req, res); });
    set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty()) send_error(res, res.status, reason_of(res.status));
    });
    set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
      send_error(res, 500, "internal error");
    });
    Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(dashboard_page(), "text/html; charset=utf-8");
      res.set_header("Content-Security-Policy", kPagePolicy);
      res.set_header("X-Frame-Options", "DENY");
      res.set_header("Referrer-Policy", "no-referrer");
    });
    Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(render_metrics({&location_}), "text/plain; version=0.0.4; charset=utf-8");
    });
    Get(kPropertiesPath, [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(json_text(properties_json(location_)), kJson);
    });
    Get(kPropertyPattern, [this](const httplib::Request& req, httplib::Response& res) {
      const std::string name = req.matches[1];
      EqData in;
      EqData out;
      location_.remote_get(name, &in, &out);
      send_property(res, name, out);
    });
    Put(kPropertyPattern,
        [this](const httplib::Request& req, httplib::Response& res) { write(req, res); });
  }

  // Set before the listener is stopped: open connections end soon after.
  std::atomic<bool> stopping{false};

 private:
  // Unknown paths and methods a path does not take are answered here,
  // before any body is read.
  HandlerResponse check(const httplib::Request& req, httplib::Response& res) {
    const Route route = route_of(req.path);
    if (route == Route::none) {
      send_error(res, 404, "no such resource");
      return HandlerResponse::Handled;
    }
    const bool read = req.method == "GET" || req.method == "HEAD";
    if (read || (route == Route::property && req.method == "PUT")) {
      return HandlerResponse::Unhandled;
    }
    send_error(res, 405, "method not allowed");
    res.set_header("Allow", route == Route::property ? "GET, HEAD, PUT" : "GET, HEAD");
    // The body, if any, is not read: the connection cannot go on.
    res.set_header("Connection", "close");
    return HandlerResponse::Handled;
  }

  void write(const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.matches[1];
    if (!access_.allows(req.get_header_value("Authorization"))) {
      send_error(res, 403,
                 access_.has_token() ? "writing needs the write token (Authorization: Bearer)"
                                     : "writing is disabled: the server has no write token");
      return;
    }
    EqData in;
    std::string error;
    if (!value_from_body(req.body, &in, &error)) {
      send_error(res, 400, error);
      return;
    }
    if (options_.before_write) options_.before_write(location_.name(), name);
    EqData out;
    location_.remote_set(name, &in, &out);
    send_property(res, name, out);
  }

  // The connection loop of the HTTP layer, over a stream that bounds each
  // request in bytes and time (see ConnectionStream).
  bool process_and_close_socket(socket_t sock) override {
    bool ok = false;
    {
      detail::ConnectionStream stream(sock, limits_, stopping);
      const std::size_t requests = keep_alive_max_count_;
      for (std::size_t count = 0; count < requests; ++count) {
        const auto idle = count == 0 ? options_.read_timeout : options_.keep_alive_timeout;
        if (!stream.next_request(idle)) break;
        const bool close_connection = count + 1 == requests || stopping.load();
        bool connection_closed = false;
        ok = process_request(stream, close_connection, connection_closed, [](httplib::Request&) {});
        if (!ok || connection_closed) break;
      }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }

  EqFct& location_;
  const HttpServerOptions& options_;
  const WriteAccess access_;
  const detail::ConnectionStream::Limits limits_;
};

}  // namespace

class HttpServer::Impl {
 public:
  Impl(std::vector<EqFct*> locations, HttpServerOptions options)
      : locations(std::move(locations)), options(std::move(options)) {
    if (this->locations.empty()) throw std::invalid_argument("HTTP server without a location");
    for (EqFct* location : this->locations) {
      if (location == nullptr) throw std::invalid_argument("HTTP server given a null location");
    }
    layer = std::make_unique<Layer>(*this->locations.front(), this->options);
  }

  const std::vector<EqFct*> locations;
  const HttpServerOptions options;
  std::unique_ptr<Layer> layer;
  int port = 0;
  std::mutex mutex;
  bool started = false;  // guarded by mutex
  bool stopped = false;  // guarded by mutex
  std::thread listener;
};

HttpServer::HttpServer(std::vector<EqFct*> locations, HttpServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(locations), std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->started) throw std::logic_error("HTTP server started twice");
    impl_->started = true;
  }
  const std::string& host = impl_->options.host;
  int port = impl_->options.port;
  if (port == 0) {
    port = impl_->layer->bind_to_any_port(host);
    if (port <= 0) port = 0;
  } else if (!impl_->layer->bind_to_port(host, port)) {
    port = 0;
  }
  if (port == 0) {
    throw std::runtime_error("cannot listen on " + url_of(host, impl_->options.port) +
                             " (address in use or not available)");
  }
  impl_->port = port;
  Layer& layer = *impl_->layer;
  impl_->listener = std::thread([&layer] { layer.listen_after_bind(); });
  // The layer's stop() only acts on a server that runs; returning before
  // it does would let an early stop() miss it and its join never end.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!layer.is_running() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void HttpServer::stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
  }
  impl_->layer->stopping.store(true);
  impl_->layer->stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

int HttpServer::port() const { return impl_->port; }

std::string HttpServer::url() const { return url_of(impl_->options.host, impl_->port); }

}  // namespace daqnet
