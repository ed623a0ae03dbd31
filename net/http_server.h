#ifndef NET_HTTP_SERVER_H_
#define NET_HTTP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/listen_address.h"

class EqFct;

namespace daqnet {

struct HttpServerOptions {
  ListenAddress address;  // 127.0.0.1 unless another address is named
  // Bearer token that writes need; empty: every write is refused.
  std::string write_token;
  // Called on the serving thread before a write is made, with the
  // property's name (for example to remember settings a switch-off
  // removes). May be empty.
  std::function<void(const std::string&)> before_write;

  // Requests are served by this many threads; further connections wait.
  std::size_t threads = 4;
  // One read or write that makes no progress for this long ends its
  // connection.
  std::chrono::milliseconds read_timeout{5000};
  std::chrono::milliseconds write_timeout{5000};
  // A request must have arrived whole within this time of its first byte,
  // and its answer must have been taken within this time of its first byte.
  std::chrono::milliseconds request_deadline{10000};
  // An idle connection is closed after this long, and after this many
  // requests.
  std::chrono::milliseconds keep_alive_timeout{2000};
  std::size_t keep_alive_requests = 100;
  // Largest request body (a write is a small JSON object); larger: 413.
  std::size_t max_body_bytes = 4096;
  // Room for the request line and headers: a request may be at most
  // max_header_bytes + max_body_bytes long in all.
  std::size_t max_header_bytes = 16384;
};

// Serves one location's properties over HTTP (see docs/http.md):
//
//   GET  /                          the dashboard page
//   GET  /api/v1/properties         every property, as `replay --json` writes them
//   GET  /api/v1/properties/NAME    {"name": NAME, "value": VALUE}
//   PUT  /api/v1/properties/NAME    body {"value": V}; a remote write, with
//                                   the bearer token; answered like a GET
//                                   with the reply's value
//   GET  /metrics                   Prometheus text (render_metrics)
//
// Every property is reached through the location's remote calls by name,
// as any client reaches it. Errors are JSON objects {"error": "..."}.
//
// Thread safety: start and stop are called from one controlling thread;
// port() and url() from any thread once start returned. Requests run on the
// server's own worker threads and touch nothing but the location (which is
// thread-safe) and this object's constant state. mutex_ guards started_
// and stopped_.
class HttpServer {
 public:
  // `location` must outlive the server (or at least its stop()).
  HttpServer(EqFct& location, HttpServerOptions options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  // Stops the server.
  ~HttpServer();

  // Binds the address and starts serving on a thread of its own. Throws
  // std::runtime_error when the address cannot be bound. Once only.
  void start();
  // Stops accepting, ends open connections within a tenth of a second
  // (a request being answered finishes first) and joins every thread.
  // Idempotent.
  void stop();

  // The bound port (the one picked when 0 was asked for).
  int port() const { return port_; }
  // "http://HOST:PORT/".
  std::string url() const;

 private:
  class Impl;

  const HttpServerOptions options_;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;

  std::mutex mutex_;
  bool started_ = false;  // guarded by mutex_
  bool stopped_ = false;  // guarded by mutex_
  std::thread listener_;
};

}  // namespace daqnet

#endif  // NET_HTTP_SERVER_H_
