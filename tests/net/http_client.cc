#include "http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace daqnet::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::string authority(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

std::string Reply::get_header_value(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(key, name)) return value;
  }
  return "";
}

// The socket, its buffer and the context its operations run on. Each
// operation is started asynchronously and the context run until it ends,
// so that the stream's deadline bounds it.
class HttpClient::Connection {
 public:
  Connection(const std::string& host, int port, std::chrono::milliseconds timeout,
             beast::error_code* error)
      : stream_(io_) {
    tcp::resolver resolver(io_);
    const auto endpoints = resolver.resolve(host, std::to_string(port), *error);
    if (*error) return;
    stream_.expires_after(timeout);
    stream_.async_connect(endpoints,
                          [error](beast::error_code e, const tcp::endpoint&) { *error = e; });
    run();
  }

  // Writes the request and reads one answer; `error` set when either failed.
  Reply exchange(const http::request<http::string_body>& request, std::chrono::milliseconds timeout,
                 beast::error_code* error) {
    stream_.expires_after(timeout);
    http::async_write(stream_, request, [error](beast::error_code e, std::size_t) { *error = e; });
    run();
    Reply reply;
    if (*error) return reply;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    parser.skip(request.method() == http::verb::head);
    stream_.expires_after(timeout);
    http::async_read(stream_, buffer_, parser,
                     [error](beast::error_code e, std::size_t) { *error = e; });
    run();
    if (*error) return reply;
    const auto& response = parser.get();
    reply.status = static_cast<int>(response.result_int());
    reply.body = response.body();
    reply.keep_alive = response.keep_alive();
    for (const auto& field : response) {
      reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    return reply;
  }

 private:
  void run() {
    io_.restart();
    io_.run();
  }

  asio::io_context io_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
};

HttpClient::HttpClient(std::string host, int port, std::chrono::milliseconds timeout)
    : host_(std::move(host)),
      port_(port),
      timeout_(timeout),
      host_header_(authority(host_, port)) {}

HttpClient::~HttpClient() = default;

Result HttpClient::request(const std::string& method, const std::string& target,
                           const Headers& headers, const std::string& body) {
  http::request<http::string_body> request;
  request.method_string(method);
  request.target(target);
  request.version(11);
  request.set(http::field::host, host_header_);
  for (const auto& [name, value] : headers) request.insert(name, value);
  if (!keep_alive_) request.set(http::field::connection, "close");
  request.body() = body;
  if (!body.empty() || method == "PUT" || method == "POST" || method == "PATCH") {
    request.prepare_payload();
  }
  // A kept connection the server has closed meanwhile fails at once: one
  // more try on a new connection.
  const bool reused = connection_ != nullptr;
  for (int attempt = 0; attempt < (reused ? 2 : 1); ++attempt) {
    beast::error_code error;
    if (connection_ == nullptr) {
      connection_ = std::make_unique<Connection>(host_, port_, timeout_, &error);
      if (error) {
        connection_.reset();
        return Result("connect: " + error.message());
      }
    }
    Reply reply = connection_->exchange(request, timeout_, &error);
    if (error) {
      connection_.reset();
      if (attempt == 0 && reused && error != beast::error::timeout) continue;
      return Result(error.message());
    }
    if (!reply.keep_alive || !keep_alive_) connection_.reset();
    return Result(std::move(reply));
  }
  return Result("no answer");
}

}  // namespace daqnet::testing
