#ifndef TESTS_NET_RAW_CLIENT_H_
#define TESTS_NET_RAW_CLIENT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace daqnet::testing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A raw client connection to the loopback port, for requests no
// well-behaved client would send. Every wait is bounded by its caller.
class RawClient {
 public:
  // From `from` (a loopback address) when given; with a receive buffer of
  // `receive_buffer` bytes (as the kernel rounds it) when not 0.
  explicit RawClient(int port, const char* from = nullptr, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer != 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    if (from != nullptr) {
      sockaddr_in source{};
      source.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &source.sin_addr);
      if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { ::close(fd_); }

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  // False once the server has closed the connection.
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Everything the server sends until it closes the connection or `limit`
  // passes; `closed` tells which.
  std::string receive(milliseconds limit, bool* closed) { return receive_until("", limit, closed); }

  // What the server sends until the text holds `marker` (when not empty),
  // the server closes the connection, or `limit` passes.
  std::string receive_until(const std::string& marker, milliseconds limit, bool* closed) {
    std::string text;
    *closed = false;
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
      if (!marker.empty() && text.find(marker) != std::string::npos) break;
      pollfd poller{fd_, POLLIN, 0};
      if (::poll(&poller, 1, 20) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        *closed = true;
        break;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The status of an HTTP/1.1 answer; 0 when the text is none.
inline int status_of(const std::string& response) {
  if (response.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  return std::atoi(response.c_str() + 9);
}

}  // namespace daqnet::testing

#endif  // TESTS_NET_RAW_CLIENT_H_
