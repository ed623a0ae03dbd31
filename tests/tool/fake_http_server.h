#ifndef TESTS_TOOL_FAKE_HTTP_SERVER_H_
#define TESTS_TOOL_FAKE_HTTP_SERVER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "thread_annotations.h"

namespace daqevstat::testing {

// A loopback HTTP server of canned answers, for the client's tests: each
// connection carries one request, answered by `answer` with a status and a
// body and then closed. Status 0 leaves the request unanswered until the
// server is destroyed. Every wait is bounded, the accept loop by a stop
// flag checked ten times a second.
//
// Thread safety: requests are served on one thread of the server's own;
// requests() may be called from any thread. mutex_ guards requests_.
class FakeHttpServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
  };
  // The request line's target and the whole request (headers and body).
  using Handler = std::function<Answer(const std::string& target, const std::string& request)>;

  explicit FakeHttpServer(Handler answer) : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;
  ~FakeHttpServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  // The requests served so far, whole.
  std::vector<std::string> requests() {
    quelmar::MutexLock lock(mutex_);
    return requests_;
  }

 private:
  bool readable(int fd) {
    while (!stop_) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 100) > 0) return true;
    }
    return false;
  }

  void serve() {
    while (readable(listener_)) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      std::string request;
      char chunk[4096];
      // Headers, then as much body as Content-Length announces.
      while (readable(connection)) {
        const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, static_cast<std::size_t>(got));
        const std::size_t end = request.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        std::size_t body = 0;
        const std::size_t field = request.find("Content-Length: ");
        if (field != std::string::npos && field < end)
          body = std::stoul(request.substr(field + 16));
        if (request.size() >= end + 4 + body) break;
      }
      const std::size_t first = request.find(' ');
      const std::size_t second = request.find(' ', first + 1);
      const std::string target =
          first == std::string::npos ? "" : request.substr(first + 1, second - first - 1);
      {
        quelmar::MutexLock lock(mutex_);
        requests_.push_back(request);
      }
      const Answer answer = answer_(target, request);
      if (answer.status == 0) {
        while (readable(connection)) {
          if (::recv(connection, chunk, sizeof chunk, 0) <= 0) break;
        }
      } else {
        const std::string reply = "HTTP/1.1 " + std::to_string(answer.status) +
                                  " X\r\nContent-Type: application/json\r\nContent-Length: " +
                                  std::to_string(answer.body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + answer.body;
        ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      ::close(connection);
    }
  }

  Handler answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  quelmar::Mutex mutex_;
  std::vector<std::string> requests_ GUARDED_BY(mutex_);
};

}  // namespace daqevstat::testing

#endif  // TESTS_TOOL_FAKE_HTTP_SERVER_H_
