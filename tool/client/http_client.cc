#include "tool/client/http_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
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

bool is_ip_address(const std::string& host) {
  beast::error_code error;
  asio::ip::make_address(host, error);
  return !error;
}

// The client's TLS context: the CAs, the host name (or address) the
// server's certificate must name, and a client certificate when given.
void prepare_tls(asio::ssl::context& context, const ServerUrl& server,
                 const HttpSecurity& security) {
  const std::string where = server.text();
  beast::error_code error;
  SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
  context.set_verify_mode(asio::ssl::verify_peer, error);
  if (security.ca_file.empty()) {
    context.set_default_verify_paths(error);
  } else {
    context.load_verify_file(security.ca_file, error);
    if (error) {
      throw ClientError(ClientError::Kind::unreachable,
                        "cannot load CA file " + security.ca_file + ": " + error.message());
    }
  }
  if (!security.cert_file.empty()) {
    context.use_certificate_chain_file(security.cert_file, error);
    if (error) {
      throw ClientError(
          ClientError::Kind::unreachable,
          "cannot load client certificate " + security.cert_file + ": " + error.message());
    }
    const std::string key = security.key_file.empty() ? security.cert_file : security.key_file;
    context.use_private_key_file(key, asio::ssl::context::pem, error);
    if (error) {
      throw ClientError(ClientError::Kind::unreachable,
                        "cannot load client key " + key + ": " + error.message());
    }
  }
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context.native_handle());
  if (is_ip_address(server.host)) {
    X509_VERIFY_PARAM_set1_ip_asc(param, server.host.c_str());
  } else {
    X509_VERIFY_PARAM_set1_host(param, server.host.c_str(), 0);
  }
}

// Why a TLS exchange failed, in words an operator can act on.
std::string tls_failure_text(const ServerUrl& server, SSL* ssl, const beast::error_code& error,
                             const HttpSecurity& security) {
  const std::string where = server.text();
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    std::string why = X509_verify_cert_error_string(verify);
    std::string hint;
    if (verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
        verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
        verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) {
      why = "its certificate is from an unknown CA (" + why + ")";
      hint = security.ca_file.empty() ? "; give the CA with --cacert FILE" : "";
    } else if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      why = "its certificate is not for " + server.host;
    } else if (verify == X509_V_ERR_CERT_HAS_EXPIRED) {
      why = "its certificate has expired";
    }
    return "cannot trust " + where + ": " + why + hint;
  }
  const std::string reason = error.message();
  if (reason.find("certificate required") != std::string::npos ||
      (reason.find("handshake failure") != std::string::npos && security.cert_file.empty())) {
    return "TLS handshake with " + where + " refused: " + reason +
           (security.cert_file.empty() ? " (the server may require --cert and --key)" : "");
  }
  return "TLS with " + where + " failed: " + reason;
}

// Writes the request and reads the answer on `stream`, plain or TLS.
template <class Stream>
void exchange(Stream& stream, http::request<http::string_body>& message, beast::flat_buffer& buffer,
              http::response_parser<http::string_body>& parser, std::string& step,
              beast::error_code& failure, bool& answered) {
  step = "send";
  http::async_write(stream, message, [&](const beast::error_code& error, std::size_t) {
    if (error) {
      failure = error;
      return;
    }
    step = "answer";
    http::async_read(stream, buffer, parser, [&](const beast::error_code& error, std::size_t) {
      if (error) {
        failure = error;
        return;
      }
      answered = true;
    });
  });
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
  const HttpSecurity& security = limits.security;
  if (!request.bearer_token.empty()) {
    message.set(http::field::authorization, "Bearer " + request.bearer_token);
  } else if (!security.user.empty()) {
    const std::string credentials = security.user + ":" + security.password;
    std::string encoded(beast::detail::base64::encoded_size(credentials.size()), '\0');
    encoded.resize(
        beast::detail::base64::encode(encoded.data(), credentials.data(), credentials.size()));
    message.set(http::field::authorization, "Basic " + encoded);
  }
  if (!request.body.empty()) {
    message.set(http::field::content_type, "application/json");
    message.body() = request.body;
  }
  message.prepare_payload();

  asio::io_context io;
  tcp::resolver resolver(io);
  asio::ssl::context tls_context(asio::ssl::context::tls_client);
  if (server.tls) prepare_tls(tls_context, server, security);
  beast::ssl_stream<beast::tcp_stream> tls_stream(io, tls_context);
  beast::tcp_stream& stream = tls_stream.next_layer();
  if (server.tls && !is_ip_address(server.host)) {
    SSL_set_tlsext_host_name(tls_stream.native_handle(), server.host.c_str());
  }
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
          stream.expires_after(limits.answer_timeout);
          if (!server.tls) {
            exchange(stream, message, buffer, parser, step, failure, answered);
            return;
          }
          step = "handshake";
          tls_stream.async_handshake(
              asio::ssl::stream_base::client, [&](const beast::error_code& error) {
                if (error) {
                  failure = error;
                  return;
                }
                exchange(tls_stream, message, buffer, parser, step, failure, answered);
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
    // A TLS failure shows at the handshake, or (a client certificate
    // refused under TLS 1.3) at the first read.
    const bool tls_failure =
        server.tls && failure != beast::error::timeout &&
        (step == "handshake" || failure.category() == asio::error::get_ssl_category() ||
         failure == asio::ssl::error::stream_truncated);
    // A server that refuses the client's certificate (or its absence) after
    // a TLS 1.3 handshake closes the connection while the request goes out.
    const bool refused_after_handshake =
        server.tls &&
        (failure == asio::error::broken_pipe || failure == asio::error::connection_reset ||
         failure == asio::error::eof || failure == http::error::end_of_stream);
    std::string message;
    if (tls_failure) {
      message = tls_failure_text(server, tls_stream.native_handle(), failure, security);
    } else if (refused_after_handshake) {
      message =
          "TLS with " + server.text() + " refused: the server closed the connection " +
          (security.cert_file.empty() ? "(it may require a client certificate: --cert and --key)"
                                      : "(is the client certificate from a CA the server trusts?)");
    } else {
      message = failure_text(server, step, failure, limits);
    }
    throw ClientError(ClientError::Kind::unreachable, message);
  }
  HttpResponse response;
  response.status = static_cast<int>(parser.get().result_int());
  response.body = std::move(parser.get().body());
  response.retry_after = std::string(parser.get()[http::field::retry_after]);
  return response;
}

}  // namespace daqevstat::tool::client
