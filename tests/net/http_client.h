#ifndef TESTS_NET_HTTP_CLIENT_H_
#define TESTS_NET_HTTP_CLIENT_H_

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace daqnet::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Reply {
  int status = 0;
  std::string body;
  Headers headers;
  bool keep_alive = false;

  // The first header of that name (any case); "" when there is none.
  std::string get_header_value(const std::string& name) const;
};

// nullopt when no answer came (refused, closed, timed out); `error` says why.
class Result {
 public:
  Result() = default;
  explicit Result(Reply reply) : reply_(std::move(reply)) {}
  explicit Result(std::string error) : error_(std::move(error)) {}
  explicit operator bool() const { return reply_.has_value(); }
  const Reply* operator->() const { return &*reply_; }
  const Reply& operator*() const { return *reply_; }
  const std::string& error() const { return error_; }

 private:
  std::optional<Reply> reply_;
  std::string error_ = "no request";
};

// A small blocking HTTP/1.1 client for the tests: one connection, kept
// alive between requests and opened again when the server closed it. Every
// connect, write and read is bounded by `timeout`. Host defaults to
// "HOST:PORT" of the server it talks to.
//
// Not thread-safe: one client per thread.
class HttpClient {
 public:
  HttpClient(std::string host, int port,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;
  ~HttpClient();

  // Sends "Connection: close" with every request when false.
  void set_keep_alive(bool keep_alive) { keep_alive_ = keep_alive; }
  // The Host header sent from now on.
  void set_host_header(std::string host) { host_header_ = std::move(host); }

  Result request(const std::string& method, const std::string& target, const Headers& headers = {},
                 const std::string& body = "");

  Result Get(const std::string& target, const Headers& headers = {}) {
    return request("GET", target, headers);
  }
  Result Head(const std::string& target) { return request("HEAD", target); }
  Result Put(const std::string& target, const Headers& headers, const std::string& body,
             const std::string& type) {
    return with_body("PUT", target, headers, body, type);
  }
  Result Put(const std::string& target, const std::string& body, const std::string& type) {
    return with_body("PUT", target, {}, body, type);
  }
  Result Post(const std::string& target, const std::string& body, const std::string& type) {
    return with_body("POST", target, {}, body, type);
  }
  Result Patch(const std::string& target, const std::string& body, const std::string& type) {
    return with_body("PATCH", target, {}, body, type);
  }
  Result Delete(const std::string& target) { return request("DELETE", target); }
  Result Options(const std::string& target) { return request("OPTIONS", target); }

 private:
  class Connection;
  Result with_body(const std::string& method, const std::string& target, Headers headers,
                   const std::string& body, const std::string& type) {
    headers.emplace_back("Content-Type", type);
    return request(method, target, headers, body);
  }

  const std::string host_;
  const int port_;
  const std::chrono::milliseconds timeout_;
  std::string host_header_;
  bool keep_alive_ = true;
  std::unique_ptr<Connection> connection_;
};

}  // namespace daqnet::testing

#endif  // TESTS_NET_HTTP_CLIENT_H_
