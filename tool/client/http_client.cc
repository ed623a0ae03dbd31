#include "tool/client/http_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <cstdio>

#include "tool/client/client_error.h"

namespace daqevstat::tool::client {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollStep{100};

std::string seconds_text(std::chrono::milliseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(time.count()) / 1000.0);
  return text;
}

// What went wrong, at which step, in words for the one error line.
std::string failure_text(const ServerUrl& server, const std::string& step,
                         const beast::error_code& error, const HttpLimits& limits) {
  const std::string where = server.text();
  if (step == "resolve") return "cannot resolve " + server.host + ": " + error.message();
  if (step == "connect") {
    if (error == beast::error::timeout) {
      return "cannot reach " + where + ": no connection within " +
             seconds_text(limits.connect_timeout);
    }
    return "cannot reach " + where + ": " + error.message();
  }
  if (error == beast::error::timeout) {
    return "no answer from " + where + " within " + seconds_text(limits.answer_timeout);
  }
  if (error == http::error::body_limit) return "the answer from " + where + " is too large";
  if (error == http::error::end_of_stream || error == asio::error::eof) {
    return "no answer from " + where + ": the connection was closed";
  }
  return "no answer from " + where + ": " + error.message();
}

}  // namespace

std::string path_segment(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

HttpResponse send_request(const ServerUrl& server, const HttpRequest& request,
                          const HttpLimits& limits) {
  http::request<http::string_body> message{http::string_to_verb(request.method), request.target,
                                           11};
  message.set(http::field::host, server.authority());
  message.set(http::field::user_agent, "daqevstat");
  message.set(http::field::accept, "application/json");
  message.keep_alive(false);
  if (!request.bearer_token.empty()) {
    message.set(http::field::authorization, "Bearer " + request.bearer_token);
  }
  if (!request.body.empty()) {
    message.set(http::field::content_type, "application/json");
    message.body() = request.body;
  }
  message.prepare_payload();

  asio::io_context io;
  tcp::resolver resolver(io);
  beast::tcp_stream stream(io);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(limits.max_body_bytes);

  // One chain of steps; each records where it failed. The stream's expiry
  // bounds the connection and the exchange, a deadline checked below the
  // name resolution (which the stream does not cover).
  std::string step = "resolve";
  beast::error_code failure;
  bool answered = false;
  const auto resolve_deadline = Clock::now() + limits.connect_timeout;
  resolver.async_resolve(
      server.host, std::to_string(server.port),
      [&](const beast::error_code& error, const tcp::resolver::results_type& endpoints) {
        if (error) {
          failure = error;
          return;
        }
        step = "connect";
        stream.expires_after(limits.connect_timeout);
        stream.async_connect(endpoints, [&](const beast::error_code& error, const tcp::endpoint&) {
          if (error) {
            failure = error;
            return;
          }
          step = "send";
          stream.expires_after(limits.answer_timeout);
          http::async_write(stream, message, [&](const beast::error_code& error, std::size_t) {
            if (error) {
              failure = error;
              return;
            }
            step = "answer";
            http::async_read(stream, buffer, parser,
                             [&](const beast::error_code& error, std::size_t) {
                               if (error) {
                                 failure = error;
                                 return;
                               }
                               answered = true;
                             });
          });
        });
      });

  bool interrupted = false;
  bool resolve_expired = false;
  while (!io.stopped()) {
    io.run_for(kPollStep);
    if (!interrupted && limits.interrupted && limits.interrupted()) {
      interrupted = true;
      resolver.cancel();
      beast::error_code ignored;
      stream.socket().cancel(ignored);
      stream.socket().close(ignored);
    }
    if (step == "resolve" && !resolve_expired && Clock::now() > resolve_deadline) {
      resolve_expired = true;
      resolver.cancel();
    }
  }
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);

  if (interrupted) throw ClientError(ClientError::Kind::unreachable, "interrupted");
  if (resolve_expired && !answered && step == "resolve") {
    throw ClientError(ClientError::Kind::unreachable, "cannot resolve " + server.host +
                                                          ": no answer within " +
                                                          seconds_text(limits.connect_timeout));
  }
  if (!answered) {
    throw ClientError(ClientError::Kind::unreachable, failure_text(server, step, failure, limits));
  }
  HttpResponse response;
  response.status = static_cast<int>(parser.get().result_int());
  response.body = std::move(parser.get().body());
  response.retry_after = std::string(parser.get()[http::field::retry_after]);
  return response;
}

}  // namespace daqevstat::tool::client
