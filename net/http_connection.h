#ifndef NET_HTTP_CONNECTION_H_
#define NET_HTTP_CONNECTION_H_

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "net/http_router.h"

namespace daqnet::detail {

// Internal to the HTTP server; do not depend on it directly.

struct ConnectionLimits {
  std::chrono::milliseconds read_timeout;
  std::chrono::milliseconds write_timeout;
  std::chrono::milliseconds request_deadline;
  std::chrono::milliseconds keep_alive_timeout;
  std::size_t keep_alive_requests;
  std::size_t max_header_bytes;
  std::size_t max_body_bytes;
  std::chrono::milliseconds handshake_timeout;
};

// One client connection: reads requests one after another (pipelined ones
// in order), has the router answer each, and writes the answers. It holds
// no thread while it waits; every wait has a deadline:
//  - before a request's first byte: read_timeout on a new connection,
//    keep_alive_timeout between requests;
//  - a request must arrive whole within request_deadline of its first byte,
//    and each read must make progress within read_timeout;
//  - an answer must be taken within request_deadline of its first byte,
//    each write making progress within write_timeout.
// A request line and headers over max_header_bytes get 431, a body over
// max_body_bytes 413, and a malformed request 400, each followed by a
// close, as is every refusal of check_header(). A GET's body is read and
// dropped like any other. A client that sends "Expect: 100-continue" gets
// "100 Continue" once the header has passed check_header() and
// check_write(), before the body is read, or the refusal at once. After
// keep_alive_requests answers, or when the
// client asks, the connection closes. Before closing after an answer, the
// connection stops sending and reads (and drops) what the client still
// sends for a moment, so that the answer is not lost to a reset.
//
// Over TLS, the handshake comes first and must be done within
// handshake_timeout; a client that speaks plain HTTP instead (its first
// byte opens no TLS record) is told so in a plain 400 and the connection
// closes.
//
// Thread safety: none needed. A connection lives on the server's one I/O
// thread: its handlers and stop() run there only.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `router` must outlive the connection; `on_end` runs in its destructor.
  // With a `tls` context the connection speaks TLS.
  Connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<boost::asio::ssl::context> tls,
             Router& router, const ConnectionLimits& limits, Peer peer,
             std::function<void()> on_end);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  using Clock = std::chrono::steady_clock;
  using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

  // What the connection is doing, for a server that must make room:
  //  - idle: between requests of a kept-alive connection, or closing after
  //    its last answer;
  //  - waiting: no whole request yet (none of it, or part of it);
  //  - busy: a whole request is being answered.
  enum class Standing { idle, waiting, busy };

  void start();
  // Closes the socket: the pending operation ends and nothing follows.
  void stop();

  Standing standing() const { return standing_; }
  // When the connection took its standing.
  Clock::time_point standing_since() const { return standing_since_; }

 private:
  using Serializer = boost::beast::http::response_serializer<boost::beast::http::string_body>;

  // The TCP stream, under TLS or not.
  boost::beast::tcp_stream& tcp();
  // Calls `f` with the stream requests and answers travel on.
  template <class F>
  void on_stream(F&& f) {
    std::visit(std::forward<F>(f), stream_);
  }

  void handshake();
  void on_first_bytes(boost::beast::error_code error, std::size_t bytes);
  void on_handshake(boost::beast::error_code error, std::size_t used);
  void next_request();
  void read();
  void on_read(boost::beast::error_code error, std::size_t bytes);
  // Feeds what has arrived to the parser; refuses, answers or reads on.
  void parse();
  // "100 Continue" to a client that waits for it before sending the body.
  void send_continue();
  void on_continue(boost::beast::error_code error);
  void answer();
  void send(Response response, bool head, bool close);
  void write();
  // The answer goes out in pieces copied from the serializer into
  // `record_`, each written as one buffer. Over TLS a piece is up to
  // kRecordBytes and goes out as one full record (the head is not a record
  // of its own, as it would be if the stream were handed the serializer's
  // pieces). Over plain TCP a piece is what one send takes: the
  // serializer's buffer sequence is walked once to copy it, which costs
  // less than the socket's walks over it to gather it.
  template <typename Stream>
  void write_piece(Stream& stream);
  // Copies the next up to `piece` bytes of the answer into `record_`; 0 when
  // the serializer fails or gives nothing.
  std::size_t fill_piece(std::size_t piece);
  void on_write(boost::beast::error_code error, std::size_t bytes);
  void linger();
  void on_linger(boost::beast::error_code error, std::size_t bytes);
  void close();
  void stand(Standing standing);

  // Kept for as long as the stream that uses it.
  const std::shared_ptr<boost::asio::ssl::context> tls_;
  std::variant<boost::beast::tcp_stream, TlsStream> stream_;
  Router& router_;
  const ConnectionLimits limits_;
  const Peer peer_;
  const std::function<void()> on_end_;

  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  bool header_checked_ = false;
  bool request_started_ = false;
  Clock::time_point handshake_deadline_{};
  Clock::time_point request_deadline_{};
  std::size_t answered_ = 0;

  std::optional<Response> response_;
  std::optional<Serializer> serializer_;
  Clock::time_point answer_deadline_{};
  bool close_after_answer_ = false;
  // Made at the first answer, grown to the largest piece, reused for every
  // later one; the piece in it and how much of it has been sent.
  std::vector<char> record_;
  std::size_t piece_length_ = 0;
  std::size_t piece_sent_ = 0;

  std::array<char, 4096> drain_{};
  std::size_t drained_ = 0;
  bool stopped_ = false;
  Standing standing_ = Standing::waiting;
  Clock::time_point standing_since_ = Clock::now();
};

}  // namespace daqnet::detail

#endif  // NET_HTTP_CONNECTION_H_
