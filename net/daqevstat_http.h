#ifndef NET_DAQEVSTAT_HTTP_H_
#define NET_DAQEVSTAT_HTTP_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The shared library hides its symbols by default; DAQNET_HTTP_EXPORT marks
// what a server embedding it may use.
#define DAQNET_HTTP_EXPORT __attribute__((visibility("default")))

class EqFct;

namespace daqnet {

// Which client certificates a TLS server asks for and accepts (the values
// of the exporters' client_auth_type, in the same order).
enum class ClientAuth {
  no_client_cert,                  // none asked for
  request_client_cert,             // asked for, not required, not verified
  require_any_client_cert,         // required, not verified
  verify_client_cert_if_given,     // not required; verified against the client CA if sent
  require_and_verify_client_cert,  // required and verified against the client CA
};

enum class TlsVersion { tls1_2, tls1_3 };

struct TlsOptions {
  // PEM files: the certificate chain (the server's own certificate first)
  // and its private key. Empty: the server speaks plain HTTP and the other
  // members are ignored.
  std::string cert_file;
  std::string key_file;
  // PEM file of the CAs that client certificates are verified against;
  // needed by the two verifying ClientAuth values.
  std::string client_ca_file;
  ClientAuth client_auth = ClientAuth::no_client_cert;
  TlsVersion min_version = TlsVersion::tls1_2;
  // TLS 1.2 cipher suites allowed, by their IANA names
  // ("TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"); empty: the library's
  // defaults. TLS 1.3 suites are not configurable.
  std::vector<std::string> cipher_suites;
  // A TLS handshake must be done within this time of the connection's
  // start.
  std::chrono::milliseconds handshake_timeout{5000};
};

// A user that may read (and, when may_write, write) once users are
// configured; the password is checked against a bcrypt hash ($2y$ or $2b$).
struct HttpUser {
  std::string name;
  std::string password_hash;
  bool may_write = false;
};

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
  // When not empty, every request must carry HTTP Basic credentials of one
  // of these users (401 otherwise), or the write token as a bearer token.
  // A write then needs the token or a user that may_write. Wrong passwords
  // count against the peer as wrong tokens do (see docs/http.md).
  std::vector<HttpUser> users;
  // Headers set on every answer (name, value), such as
  // Strict-Transport-Security.
  std::vector<std::pair<std::string, std::string>> response_headers;
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

  // TLS; off while tls.cert_file is empty. The files are looked at again
  // for each new connection: when one has changed, the new certificate and
  // key are served from then on (connections already open keep theirs), and
  // when they do not load the old ones stay, with one line to `log`.
  TlsOptions tls;
  // Gets the server's rare messages, one line each (without line end), on
  // the serving thread; empty: they go to stderr.
  std::function<void(const std::string& line)> log;
};

// Reads the web configuration file at `path` (the exporters' format: keys
// tls_server_config, http_server_config, basic_auth_users, and
// basic_auth_writers, the users that may write; see docs/http.md) into
// `options`, leaving what the file does not set as it is. Throws
// std::runtime_error naming the file (and line) when it cannot be read, is
// not YAML, or holds an unknown key or an unsound value; `options` is then
// unchanged.
DAQNET_HTTP_EXPORT void load_web_config(const std::string& path, HttpServerOptions& options);

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
  // single-location paths. Throws std::invalid_argument otherwise, and when
  // a user's name is empty, repeated or holds ':', or its hash is not bcrypt.
  HttpServer(std::vector<EqFct*> locations, HttpServerOptions options);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  // Stops the server.
  ~HttpServer();

  // Binds the address and starts serving. Throws std::runtime_error when
  // the address cannot be bound, the token is unsound, or a TLS file does
  // not load (the message names the file: unreadable, no certificate, an
  // expired or not yet valid one, a key that does not match it). Once only, and
  // not after stop(): std::logic_error then.
  void start();
  // Stops accepting, ends open connections and joins the server's threads.
  // Idempotent.
  void stop();

  // The bound port (the one picked when 0 was asked for); 0 before start().
  int port() const;
  // "http://HOST:PORT/" ("https://" with TLS), an IPv6 address in brackets.
  std::string url() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace daqnet

#endif  // NET_DAQEVSTAT_HTTP_H_
