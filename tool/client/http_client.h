#ifndef TOOL_CLIENT_HTTP_CLIENT_H_
#define TOOL_CLIENT_HTTP_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "tool/client/server_url.h"

namespace daqevstat::tool::client {

struct HttpRequest {
  std::string method = "GET";  // GET or PUT
  std::string target = "/";    // path, already percent-encoded
  std::string body;            // sent as application/json when not empty
  std::string bearer_token;    // the Authorization header, when not empty
};

struct HttpResponse {
  int status = 0;
  std::string body;
  std::string retry_after;  // the Retry-After header; empty without one
};

// How the client proves itself and checks the server, beyond the URL.
struct HttpSecurity {
  // PEM file of the CAs a https server's certificate must come from; empty:
  // the system's CAs. The certificate must also name the URL's host.
  std::string ca_file;
  // A client certificate and its key (PEM), for servers that require one.
  std::string cert_file;
  std::string key_file;
  // HTTP Basic credentials, sent when not empty (a request with a bearer
  // token sends the token instead).
  std::string user;
  std::string password;
};

struct HttpLimits {
  // Name resolution and connecting, together.
  std::chrono::milliseconds connect_timeout{5000};
  // Sending the request and receiving the whole answer, together.
  std::chrono::milliseconds answer_timeout{10000};
  // A larger answer is refused rather than held in memory.
  std::size_t max_body_bytes = 64u << 20;
  // Asked about ten times a second while a request runs; when it answers
  // true the request is abandoned (Ctrl-C). May be empty.
  std::function<bool()> interrupted;
  // TLS files and credentials (carried with the limits, as every request
  // of a command uses the same).
  HttpSecurity security;
};

// Sends one request on a connection of its own, closed after the answer,
// and waits for the answer within the limits. Any status counts as an
// answer. Throws ClientError (Kind::unreachable) with one line naming the
// server when the host cannot be resolved, the connection is refused or
// not made in time, the answer is missing, malformed, too large or late,
// or the request was interrupted; over https also when a TLS file does not
// load or the handshake fails (the line says why: a certificate from an
// unknown CA, for another name, expired; a refused client certificate).
//
// Thread safety: every call is independent; calls may run concurrently.
HttpResponse send_request(const ServerUrl& server, const HttpRequest& request,
                          const HttpLimits& limits);

// `text` with every byte but letters, digits and "-._~" written as %XX, so
// that a property or location name stays one path segment.
std::string path_segment(const std::string& text);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_HTTP_CLIENT_H_
