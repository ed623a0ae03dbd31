#include "net/connection_stream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace daqnet::detail {
namespace {

// How often a waiting read or write looks at the stop flag.
constexpr std::chrono::milliseconds kSlice{100};

void address_of(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

}  // namespace

ConnectionStream::ConnectionStream(int sock, const Limits& limits,
                                   const std::atomic<bool>& stopping)
    : sock_(sock), limits_(limits), stopping_(stopping) {}

bool ConnectionStream::wait(short events, Clock::time_point until) const {
  for (;;) {
    if (stopping_.load()) return false;
    const auto now = Clock::now();
    if (now >= until) return false;
    const auto slice = std::min<Clock::duration>(until - now, kSlice);
    pollfd poller{sock_, events, 0};
    const int timeout_ms = static_cast<int>(std::max<long long>(
        1, std::chrono::duration_cast<std::chrono::milliseconds>(slice).count()));
    const int ready = ::poll(&poller, 1, timeout_ms);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool ConnectionStream::next_request(std::chrono::milliseconds idle) {
  if (begin_ == end_ && !wait(POLLIN, Clock::now() + idle)) return false;
  request_left_ = limits_.request_bytes;
  request_deadline_ = Clock::now() + limits_.request_deadline;
  responding_ = false;
  return true;
}

bool ConnectionStream::is_readable() const {
  if (begin_ != end_) return true;
  return wait(POLLIN, std::min(Clock::now() + limits_.read_timeout, request_deadline_));
}

bool ConnectionStream::is_writable() const {
  return wait(POLLOUT, std::min(Clock::now() + limits_.write_timeout,
                                responding_ ? response_deadline_ : Clock::time_point::max()));
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
  if (request_left_ == 0) return -1;
  if (begin_ == end_) {
    if (!is_readable()) return -1;
    ssize_t n;
    do {
      n = ::recv(sock_, buffer_, sizeof buffer_, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
  }
  const std::size_t count = std::min({size, end_ - begin_, request_left_});
  std::memcpy(ptr, buffer_ + begin_, count);
  begin_ += count;
  request_left_ -= count;
  return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
  const auto now = Clock::now();
  if (!responding_) {
    responding_ = true;
    response_deadline_ = now + limits_.request_deadline;
  }
  for (;;) {
    if (!wait(POLLOUT, std::min(Clock::now() + limits_.write_timeout, response_deadline_))) {
      return -1;
    }
    // Never blocks beyond what poll saw room for: a client that reads a
    // byte now and then must not hold the worker past the deadline.
    const ssize_t n = ::send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return n;
  }
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    address_of(address, length, ip, port);
  }
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    address_of(address, length, ip, port);
  }
}

}  // namespace daqnet::detail
