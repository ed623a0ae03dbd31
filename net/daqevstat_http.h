#ifndef NET_DAQEVSTAT_HTTP_H_
#define NET_DAQEVSTAT_HTTP_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The shared library hides its symbols by default; DAQNET_HTTP_EXPORT marks
// what a server embedding it may use.
#define DAQNET_HTTP_EXPORT __attribute__((visibility("default")))

class EqFct;

namespace daqnet {

struct HttpServerOptions {
  // The address to bind (an address or a host name, no brackets) and the
  // port; port 0 picks any free one (see HttpServer::port()).
  std::string host = "127.0.0.1";
  int port = 0;
  // Bearer token that writes need; empty: every write is refused. Holds no
  // blank or control character.
  std::string write_token;
  // Host header names served besides the loopback names (localhost,
  // 127.0.0.1, ::1) and the bound address, without port. Requests naming
  // any other host are refused, so that a page whose domain name is made to
  // point at this machine cannot read from it.
  std::vector<std::string> allowed_hosts;
  // Called on the serving thread before a write is made, with the
  // location's name and the property's name (for example to remember
  // settings a switch-off removes). May be empty.
  std::function<void(const std::string& location, const std::string& property)> before_write;

  // Open connections at most, in all and from one peer address. A new
  // connection past either bound takes the place of one (of the same peer
  // when its share is full) that has no request being answered: an idle
  // kept-alive one first, then the one that has waited longest for its
  // request to arrive whole. When every connection is answering one, the new
  // connection gets 503 and is closed.
  std::size_t max_connections = 512;
  std::size_t max_connections_per_peer = 384;
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
  // Room for the request line and headers.
  std::size_t max_header_bytes = 16384;
};

// Serves the properties of one or more locations over HTTP: JSON reads and
// token-guarded writes, Prometheus metrics of every location, and the
// dashboard page (see docs/http.md for the routes and statuses).
//
// Every property is reached through its location's remote calls by name, as
// any client reaches it; the server holds no lock of its own while one runs.
//
// Thread safety: start() and stop() are called from one controlling thread
// (stop() may be repeated); port() and url() from any thread once start()
// returned. Requests run on the server's own thread, which starts with
// SIGINT and SIGTERM blocked so they reach the controlling thread.
class DAQNET_HTTP_EXPORT HttpServer {
 public:
  // `locations` must not be empty, hold no null pointer, and outlive the
  // server (or at least its stop()); the first one is served at the
  // single-location paths. Throws std::invalid_argument otherwise.
  HttpServer(std::vector<EqFct*> locations, HttpServerOptions options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  // Stops the server.
  ~HttpServer();

  // Binds the address and starts serving. Throws std::runtime_error when
  // the address cannot be bound (or the token is unsound). Once only, and
  // not after stop(): std::logic_error then.
  void start();
  // Stops accepting, ends open connections and joins the server's threads.
  // Idempotent.
  void stop();

  // The bound port (the one picked when 0 was asked for); 0 before start().
  int port() const;
  // "http://HOST:PORT/", an IPv6 address in brackets.
  std::string url() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace daqnet

#endif  // NET_DAQEVSTAT_HTTP_H_
