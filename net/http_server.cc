#include <pthread.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "daqevstat_http.h"
#include "net/http_connection.h"
#include "net/http_router.h"
#include "net/listen_address.h"
#include "net/tls_context.h"
#include "net/write_access.h"
#include "thread_annotations.h"

namespace daqnet {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// How long to wait before accepting again when the process is out of file
// descriptors (or the kernel of memory): the pending connections stay
// queued meanwhile.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

// Room in the kernel for answers a client has not yet read (the kernel
// doubles it); enough for the largest answer, a metrics scrape of many
// locations.
constexpr int kSendBufferBytes = 256 * 1024;

std::string address_text(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::vector<EqFct*> checked(std::vector<EqFct*> locations) {
  if (locations.empty()) throw std::invalid_argument("HTTP server without a location");
  for (EqFct* location : locations) {
    if (location == nullptr) throw std::invalid_argument("HTTP server given a null location");
  }
  return locations;
}

}  // namespace

// Everything runs on one I/O thread: the accept loop, every connection, and
// the router (which calls into the locations). Nothing there needs a lock;
// the controlling thread only posts stop() to it and joins it.
class HttpServer::Impl {
 public:
  Impl(std::vector<EqFct*> locations, HttpServerOptions options)
      : options_(std::move(options)),
        router_(checked(std::move(locations)), options_),
        limits_{options_.read_timeout,        options_.write_timeout,
                options_.request_deadline,    options_.keep_alive_timeout,
                options_.keep_alive_requests, options_.max_header_bytes,
                options_.max_body_bytes,      options_.tls.handshake_timeout} {
    if (limits_.keep_alive_requests == 0) limits_.keep_alive_requests = 1;
  }

  void start() EXCLUDES(mutex_) {
    {
      quelmar::MutexLock lock(mutex_);
      if (started_) throw std::logic_error("HTTP server started twice");
      // A stop() before start() is final: a thread started now would be
      // left running by every later stop(), the destructor's included.
      if (stopped_) throw std::logic_error("HTTP server started after stop()");
      started_ = true;
    }
    if (!options_.write_token.empty()) {
      const std::string problem = check_token(options_.write_token);
      if (!problem.empty()) throw std::runtime_error(problem);
    }
    if (!options_.tls.cert_file.empty()) {
      tls_ = std::make_unique<detail::TlsContexts>(options_.tls, [this](const std::string& line) {
        if (options_.log) {
          options_.log(line);
        } else {
          std::fprintf(stderr, "%s\n", line.c_str());
        }
      });
    }
    bind();
    accept();
    // The thread starts with SIGINT and SIGTERM blocked: the controlling
    // thread must be the one to see them.
    sigset_t stop_signals;
    sigset_t old_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  }

  void stop() EXCLUDES(mutex_) {
    {
      quelmar::MutexLock lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    if (!thread_.joinable()) return;
    asio::post(io_, [this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      retry_.cancel();
      // Each stop() ends its connection's pending operation; the
      // connections then go, and with the last of them the thread's work.
      const auto open = connections_;
      for (const auto& [id, entry] : open) {
        if (auto connection = entry.connection.lock()) connection->stop();
      }
    });
    thread_.join();
  }

  int port() const { return port_; }
  const HttpServerOptions& options() const { return options_; }

 private:
  // An exception out of a handler ends only what that handler served: the
  // connection it held goes as the exception unwinds, and the loop runs on
  // until no work is left.
  void run() {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
      }
    }
  }

  void bind() {
    tcp::endpoint endpoint;
    try {
      tcp::resolver resolver(io_);
      const auto results =
          resolver.resolve(options_.host, std::to_string(options_.port),
                           tcp::resolver::passive | tcp::resolver::numeric_service);
      endpoint = results.begin()->endpoint();
      acceptor_.open(endpoint.protocol());
      // No SO_REUSEPORT: a second server must not take a share of this
      // one's port unseen.
      acceptor_.set_option(tcp::acceptor::reuse_address(true));
      acceptor_.bind(endpoint);
      acceptor_.listen(asio::socket_base::max_listen_connections);
    } catch (const boost::system::system_error& e) {
      throw std::runtime_error("cannot listen on " + url_of(options_.host, options_.port) + " (" +
                               e.code().message() + ")");
    }
    port_ = acceptor_.local_endpoint().port();
  }

  void accept() {
    acceptor_.async_accept([this](boost::system::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
      if (error) {
        // Out of descriptors (the process's or the system's) or memory: try again a little later
        // rather than spin; other errors concern that one connection only.
        if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
            error == asio::error::no_memory ||
            error == boost::system::error_code(ENFILE, boost::system::system_category())) {
          retry_.expires_after(kAcceptBackoff);
          retry_.async_wait([this](boost::system::error_code wait_error) {
            if (!wait_error) accept();
          });
          return;
        }
      } else {
        try {
          admit(std::move(socket));
        } catch (...) {
          // Out of memory for this connection: it is dropped, the next one
          // may fare better; accepting must go on either way.
        }
      }
      accept();
    });
  }

  void admit(tcp::socket socket) {
    boost::system::error_code error;
    const tcp::endpoint remote = socket.remote_endpoint(error);
    if (error) return;
    const tcp::endpoint local = socket.local_endpoint(error);
    if (error) return;
    detail::Peer peer{address_text(remote.address()), address_text(local.address())};
    // Past a bound, the new connection takes the place of one that holds
    // its slot without a request to answer: within the peer's share when
    // that is full, else anywhere.
    const auto found = per_peer_.find(peer.address);
    const std::size_t from_peer = found == per_peer_.end() ? 0 : found->second;
    if ((from_peer >= options_.max_connections_per_peer && !displace(&peer.address)) ||
        (connections_.size() >= options_.max_connections && !displace(nullptr))) {
      refuse(std::move(socket));
      return;
    }
    ++per_peer_[peer.address];
    socket.set_option(tcp::no_delay(true), error);
    // A client that stops reading holds at most this much of the kernel's
    // memory, and its answer's deadline starts to count once that is full.
    socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), error);
    // A connection ended by a deadline, an error or stop() is reset, and
    // what it could not send is dropped; only the close after a last answer
    // is orderly (see Connection).
    socket.set_option(asio::socket_base::linger(true, 0), error);
    const std::uint64_t id = next_id_++;
    std::shared_ptr<detail::Connection> connection;
    try {
      connection = std::make_shared<detail::Connection>(
          std::move(socket), tls_ != nullptr ? tls_->current() : nullptr, router_, limits_, peer,
          // Runs on the I/O thread, in the connection's destructor.
          [this, id] { release(id); });
    } catch (...) {
      // No connection, so no destructor to give the peer's count back.
      release_peer(peer.address);
      throw;
    }
    // From here on the connection's destructor releases it, also when
    // this throws.
    connections_.emplace(id, Open{connection, peer.address});
    connection->start();
  }

  // Ends the connection that has least to lose, of the peer `address` when
  // given: an idle one before one still waiting for its request, the one
  // that has been so longest first. One whose request is being answered is
  // never chosen, so a client that sends its request at once is answered
  // however many others trickle theirs. False when there is none.
  bool displace(const std::string* address) {
    using Standing = detail::Connection::Standing;
    auto chosen = connections_.end();
    std::shared_ptr<detail::Connection> victim;
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      if (address != nullptr && it->second.address != *address) continue;
      auto connection = it->second.connection.lock();
      if (connection == nullptr || connection->standing() == Standing::busy) continue;
      if (victim == nullptr || before(*connection, it->first, *victim, chosen->first)) {
        chosen = it;
        victim = std::move(connection);
      }
    }
    if (victim == nullptr) return false;
    // Its slot is free at once; its destructor, which comes when the
    // pending operation has ended, finds nothing more to release.
    release(chosen->first);
    victim->stop();
    return true;
  }

  static bool before(const detail::Connection& a, std::uint64_t a_id, const detail::Connection& b,
                     std::uint64_t b_id) {
    if (a.standing() != b.standing()) return a.standing() < b.standing();
    if (a.standing_since() != b.standing_since()) return a.standing_since() < b.standing_since();
    return a_id < b_id;
  }

  void release(std::uint64_t id) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    const std::string address = std::move(found->second.address);
    connections_.erase(found);
    release_peer(address);
  }

  void release_peer(const std::string& address) {
    const auto found = per_peer_.find(address);
    if (found != per_peer_.end() && --found->second == 0) per_peer_.erase(found);
  }

  // Past a bound: a short answer the socket buffer takes at once, what the
  // client already sent read and dropped (so the close sends no reset that
  // could destroy the answer), and the connection closed. Nothing waits.
  static void refuse(tcp::socket socket) {
    static const std::string kBusy =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
        "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nRetry-After: 1\r\n"
        "Connection: close\r\nContent-Length: 34\r\n\r\n{\"error\": \"too many connections\"}\n";
    boost::system::error_code error;
    socket.non_blocking(true, error);
    socket.send(asio::buffer(kBusy), 0, error);
    char sink[4096];
    for (int i = 0; i < 4 && socket.receive(asio::buffer(sink), 0, error) > 0; ++i) {
    }
    socket.shutdown(tcp::socket::shutdown_both, error);
    socket.close(error);
  }

  const HttpServerOptions options_;
  detail::Router router_;
  detail::ConnectionLimits limits_;

  // Set by start(), before the thread runs; then I/O thread only.
  std::unique_ptr<detail::TlsContexts> tls_;
  asio::io_context io_{1};
  tcp::acceptor acceptor_{io_};
  asio::steady_timer retry_{io_};
  int port_ = 0;  // set by start(), before the thread runs
  std::thread thread_;

  struct Open {
    std::weak_ptr<detail::Connection> connection;
    std::string address;
  };
  // I/O thread only: the open connections (a displaced one leaves at
  // once) and how many each peer has.
  std::unordered_map<std::uint64_t, Open> connections_;
  std::uint64_t next_id_ = 0;
  std::unordered_map<std::string, std::size_t> per_peer_;

  quelmar::Mutex mutex_;
  bool started_ GUARDED_BY(mutex_) = false;
  bool stopped_ GUARDED_BY(mutex_) = false;
};

HttpServer::HttpServer(std::vector<EqFct*> locations, HttpServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(locations), std::move(options))) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() { impl_->start(); }

void HttpServer::stop() { impl_->stop(); }

int HttpServer::port() const { return impl_->port(); }

std::string HttpServer::url() const {
  const std::string url = url_of(impl_->options().host, impl_->port());
  return impl_->options().tls.cert_file.empty() ? url : "https" + url.substr(4);
}

}  // namespace daqnet
