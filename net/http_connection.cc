#include "net/http_connection.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>
#include <exception>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace daqnet::detail {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// After the last answer, what the client still sends is read and dropped
// for at most this long and this much, so that closing with unread bytes
// does not reset the connection before the client has read the answer.
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr std::size_t kLingerBytes = 64 * 1024;

// One read takes at most this much.
constexpr std::size_t kReadBytes = 16 * 1024;

// The most plaintext one TLS record carries.
constexpr std::size_t kRecordBytes = 16 * 1024;

// The most of an answer one send over plain TCP takes, and the room a
// piece leaves for the head beside the body (a larger head only makes the
// answer take one send more).
constexpr std::size_t kPlainPieceBytes = 64 * 1024;
constexpr std::size_t kPlainHeadRoom = 1024;

// The time `wait` after `now`, or the end of time where that would not fit
// the clock (a limit of milliseconds::max() means no limit, not one long
// past).
std::chrono::steady_clock::time_point after(std::chrono::steady_clock::time_point now,
                                            std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  return wait >= room ? Clock::time_point::max() : now + wait;
}

// "Expect: 100-continue" from an HTTP/1.1 client (an HTTP/1.0 one's is
// ignored, as it may not understand an interim answer).
bool expects_continue(const RequestHeader& header) {
  if (header.version() < 11) return false;
  const auto [first, last] = header.equal_range(http::field::expect);
  for (auto it = first; it != last; ++it) {
    if (beast::iequals(it->value(), "100-continue")) return true;
  }
  return false;
}

std::size_t saturating_sum(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                         : a + b;
}

}  // namespace

static std::variant<beast::tcp_stream, Connection::TlsStream> make_stream(
    boost::asio::ip::tcp::socket socket, boost::asio::ssl::context* tls) {
  if (tls == nullptr) {
    return std::variant<beast::tcp_stream, Connection::TlsStream>(std::in_place_index<0>,
                                                                  std::move(socket));
  }
  return std::variant<beast::tcp_stream, Connection::TlsStream>(std::in_place_index<1>,
                                                                std::move(socket), *tls);
}

Connection::Connection(boost::asio::ip::tcp::socket socket,
                       std::shared_ptr<boost::asio::ssl::context> tls, Router& router,
                       const ConnectionLimits& limits, Peer peer, std::function<void()> on_end)
    : tls_(std::move(tls)),
      stream_(make_stream(std::move(socket), tls_.get())),
      router_(router),
      limits_(limits),
      peer_(std::move(peer)),
      on_end_(std::move(on_end)),
      // Room for a whole header and some of the body; a header larger than
      // the parser allows fails in the parser first.
      buffer_(
          saturating_sum(saturating_sum(limits.max_header_bytes, limits.max_body_bytes), 8192)) {}

Connection::~Connection() {
  if (on_end_) on_end_();
}

beast::tcp_stream& Connection::tcp() {
  if (auto* plain = std::get_if<beast::tcp_stream>(&stream_)) return *plain;
  return std::get<TlsStream>(stream_).next_layer();
}

void Connection::start() {
  if (tls_ == nullptr) {
    next_request();
  } else {
    handshake();
  }
}

void Connection::handshake() {
  // The first bytes are looked at before the handshake sees them: plain
  // HTTP gets a word of explanation rather than a TLS alert.
  tcp().expires_at(after(Clock::now(), std::min(limits_.handshake_timeout, limits_.read_timeout)));
  handshake_deadline_ = after(Clock::now(), limits_.handshake_timeout);
  tcp().async_read_some(buffer_.prepare(kReadBytes),
                        [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                          self->on_first_bytes(error, bytes);
                        });
}

void Connection::on_first_bytes(beast::error_code error, std::size_t bytes) {
  if (stopped_) return;
  buffer_.commit(bytes);
  if (error) {
    close();
    return;
  }
  // A TLS connection opens with a handshake record (content type 22).
  if (static_cast<const unsigned char*>(buffer_.data().data())[0] != 22) {
    // In plain HTTP, as every other refusal is written.
    static constexpr std::string_view kPlainToTls =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\n"
        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n"
        "Content-Length: 53\r\n\r\n{\"error\": \"this port speaks TLS: use https:// URLs\"}\n";
    stand(Standing::busy);
    tcp().expires_after(limits_.write_timeout);
    boost::asio::async_write(tcp(), boost::asio::buffer(kPlainToTls.data(), kPlainToTls.size()),
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                               if (self->stopped_) return;
                               if (error) {
                                 self->close();
                               } else {
                                 self->linger();
                               }
                             });
    return;
  }
  tcp().expires_at(handshake_deadline_);
  std::get<TlsStream>(stream_).async_handshake(
      boost::asio::ssl::stream_base::server, buffer_.data(),
      [self = shared_from_this()](beast::error_code error, std::size_t used) {
        self->on_handshake(error, used);
      });
}

void Connection::on_handshake(beast::error_code error, std::size_t used) {
  if (stopped_) return;
  if (error) {
    // A refused or broken handshake (the client has had its alert) or the
    // deadline: nothing more to say.
    close();
    return;
  }
  buffer_.consume(used);
  next_request();
}

void Connection::stop() {
  stopped_ = true;
  close();
}

void Connection::close() {
  beast::error_code ignored;
  tcp().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  tcp().close();
}

void Connection::stand(Standing standing) {
  standing_ = standing;
  standing_since_ = Clock::now();
}

void Connection::next_request() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(
      std::min<std::size_t>(limits_.max_header_bytes, std::numeric_limits<std::uint32_t>::max())));
  parser_->body_limit(limits_.max_body_bytes);
  header_checked_ = false;
  // Pipelined bytes already here start the next request now.
  request_started_ = buffer_.size() > 0;
  if (answered_ > 0) stand(request_started_ ? Standing::waiting : Standing::idle);
  if (request_started_) {
    request_deadline_ = after(Clock::now(), limits_.request_deadline);
    parse();
  } else {
    read();
  }
}

void Connection::read() {
  const auto now = Clock::now();
  if (request_started_) {
    tcp().expires_at(std::min(after(now, limits_.read_timeout), request_deadline_));
  } else {
    tcp().expires_at(
        after(now, answered_ == 0 ? limits_.read_timeout : limits_.keep_alive_timeout));
  }
  // Plain reads, each with its own deadline, and the parser fed here: a
  // request that trickles in byte by byte meets the read timeout per byte
  // and the request deadline in all.
  const std::size_t room = std::min<std::size_t>(kReadBytes, buffer_.max_size() - buffer_.size());
  on_stream([this, room](auto& stream) {
    stream.async_read_some(buffer_.prepare(room),
                           [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                             self->on_read(error, bytes);
                           });
  });
}

void Connection::on_read(beast::error_code error, std::size_t bytes) {
  if (stopped_) return;
  buffer_.commit(bytes);
  if (error) {
    // The client went away, or a deadline passed (the stream is closed).
    close();
    return;
  }
  if (!request_started_) {
    request_started_ = true;
    request_deadline_ = after(Clock::now(), limits_.request_deadline);
    if (standing_ == Standing::idle) stand(Standing::waiting);
  }
  parse();
}

void Connection::parse() {
  beast::error_code error;
  while (buffer_.size() > 0 && !parser_->is_done()) {
    const std::size_t used = parser_->put(buffer_.data(), error);
    buffer_.consume(used);
    if (error == http::error::need_more) {
      error = {};
      break;
    }
    if (error) break;
    if (!header_checked_ && parser_->is_header_done()) {
      header_checked_ = true;
      const RequestHeader& header = parser_->get().base();
      std::optional<Response> refusal = router_.check_header(header, peer_);
      // A client waiting to hear before it sends the body learns now
      // whether its write would be taken, and nothing of the body is read
      // when it would not.
      const bool wants_continue = !refusal && !parser_->is_done() && expects_continue(header);
      if (wants_continue) refusal = router_.check_write(header, peer_);
      if (refusal) {
        send(std::move(*refusal), header.method() == http::verb::head, true);
        return;
      }
      if (wants_continue) {
        send_continue();
        return;
      }
    }
    if (used == 0) break;
  }
  if (error == http::error::header_limit) {
    send(error_response(431, "request line and headers too large"), false, true);
  } else if (error == http::error::body_limit) {
    send(error_response(413, "request body too large"), false, true);
  } else if (error) {
    send(error_response(400, "malformed request"), false, true);
  } else if (!parser_->is_done()) {
    if (buffer_.size() < buffer_.max_size()) {
      read();
    } else if (!parser_->is_header_done()) {
      send(error_response(431, "request line and headers too large"), false, true);
    } else {
      send(error_response(413, "request body too large"), false, true);
    }
  } else {
    answer();
  }
}

void Connection::send_continue() {
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  // Within the request's deadline, which the body must meet too.
  tcp().expires_at(std::min(after(Clock::now(), limits_.write_timeout), request_deadline_));
  on_stream([this](auto& stream) {
    boost::asio::async_write(stream, boost::asio::buffer(kContinue.data(), kContinue.size()),
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                               self->on_continue(error);
                             });
  });
}

void Connection::on_continue(beast::error_code error) {
  if (stopped_) return;
  if (error) {
    close();
    return;
  }
  parse();
}

void Connection::answer() {
  Request request = parser_->release();
  parser_.reset();
  ++answered_;
  bool close = !request.keep_alive() || answered_ >= limits_.keep_alive_requests;
  Response response;
  try {
    response = router_.answer(request, peer_);
  } catch (const std::exception&) {
    // A failure outside the remote calls (which answer their own): the
    // embedding server's before_write, or memory running out while an
    // answer is built. It ends this request, not the serving thread.
    response = error_response(500, "internal error");
    close = true;
  }
  // Answered as HTTP/1.1 always; an HTTP/1.0 client that asked to keep
  // the connection is told it stays.
  if (!close && request.version() < 11) response.set(http::field::connection, "keep-alive");
  send(std::move(response), request.method() == http::verb::head, close);
}

void Connection::send(Response response, bool head, bool close) {
  router_.finish(response);
  if (close) response.keep_alive(false);
  response.prepare_payload();
  if (head) {
    // HEAD: the headers of the GET, its length included, and no body.
    const std::size_t length = response.body().size();
    response.body().clear();
    response.content_length(length);
  }
  close_after_answer_ = close;
  stand(Standing::busy);
  response_.emplace(std::move(response));
  serializer_.emplace(*response_);
  answer_deadline_ = after(Clock::now(), limits_.request_deadline);
  write();
}

void Connection::write() {
  tcp().expires_at(std::min(after(Clock::now(), limits_.write_timeout), answer_deadline_));
  on_stream([this](auto& stream) { write_piece(stream); });
}

template <typename Stream>
void Connection::write_piece(Stream& stream) {
  constexpr bool over_tls = std::is_same_v<Stream, TlsStream>;
  if (piece_sent_ == piece_length_) {
    piece_sent_ = 0;
    piece_length_ = fill_piece(
        over_tls ? kRecordBytes
                 : std::min(kPlainPieceBytes, response_->body().size() + kPlainHeadRoom));
    // A serializer that neither finished nor gave a byte would loop here
    // for ever; end the connection instead.
    if (piece_length_ == 0) {
      close();
      return;
    }
  }
  const auto rest = boost::asio::buffer(record_.data() + piece_sent_, piece_length_ - piece_sent_);
  auto done = [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
    self->on_write(error, bytes);
  };
  // A record goes out whole; over plain TCP each send that makes progress
  // counts as one, so a slow reader is held to the write timeout per send.
  if constexpr (over_tls) {
    boost::asio::async_write(stream, rest, std::move(done));
  } else {
    stream.async_write_some(rest, std::move(done));
  }
}

std::size_t Connection::fill_piece(std::size_t piece) {
  if (record_.size() < piece) record_.resize(piece);
  std::size_t filled = 0;
  beast::error_code error;
  while (filled < piece && !serializer_->is_done()) {
    std::size_t copied = 0;
    serializer_->next(error, [&](beast::error_code&, const auto& buffers) {
      copied = boost::asio::buffer_copy(
          boost::asio::buffer(record_.data() + filled, piece - filled), buffers);
    });
    if (error) return 0;
    if (copied == 0) break;
    serializer_->consume(copied);
    filled += copied;
  }
  return filled;
}

void Connection::on_write(beast::error_code error, std::size_t bytes) {
  if (stopped_) return;
  if (error) {
    close();
    return;
  }
  piece_sent_ += bytes;
  if (piece_sent_ < piece_length_ || !serializer_->is_done()) {
    write();
    return;
  }
  piece_sent_ = 0;
  piece_length_ = 0;
  serializer_.reset();
  response_.reset();
  if (close_after_answer_) {
    linger();
  } else {
    next_request();
  }
}

void Connection::linger() {
  stand(Standing::idle);
  beast::error_code ignored;
  // This close is orderly: the answer goes out before the end.
  // Over TLS too the end is TCP's alone: the answer said how long it was.
  tcp().socket().set_option(boost::asio::socket_base::linger(false, 0), ignored);
  tcp().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  buffer_.consume(buffer_.size());
  tcp().expires_after(kLingerTime);
  tcp().async_read_some(boost::asio::buffer(drain_),
                        [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                          self->on_linger(error, bytes);
                        });
}

void Connection::on_linger(beast::error_code error, std::size_t bytes) {
  if (stopped_) return;
  drained_ += bytes;
  if (error || drained_ >= kLingerBytes) {
    close();
    return;
  }
  tcp().async_read_some(boost::asio::buffer(drain_),
                        [self = shared_from_this()](beast::error_code error, std::size_t bytes) {
                          self->on_linger(error, bytes);
                        });
}

}  // namespace daqnet::detail
