// Arbitrary bytes as the whole input of one client connection to an HTTP
// server started once per process, serving a location with a live
// statistics object.
//
// Input: one byte of choices, then the bytes the client sends (after which
// it closes its sending side and reads until the server closes). Every
// "@TOKEN@" becomes the write token when the first bit of the choices is
// set. Besides crashes and sanitizer reports, the harness aborts when the
// server sends anything but a sequence of whole HTTP/1.1 answers with known
// statuses, when it does not close the connection in time, or when a
// connection that never sent the token changed a property.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daqevstat_http.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "fuzz_input.h"
#include "http_answers.h"
#include "net/property_json.h"
#include "vrel_daq_event_stat.h"

namespace {

constexpr const char* kToken = "fuzz-write-token-0123456789";
constexpr const char* kPlaceholder = "@TOKEN@";
// Far beyond anything the server needs for an input that ends in a close.
constexpr auto kConnectionLimit = std::chrono::seconds(20);

struct Served : daqevstat::fuzz::LiveLocation {
  std::unique_ptr<daqnet::HttpServer> http;

  Served() {
    restart_statistics();
    daqnet::HttpServerOptions options;
    options.write_token = kToken;
    http = std::make_unique<daqnet::HttpServer>(std::vector<EqFct*>{&location}, options);
    http->start();
  }
};

Served& served() {
  static Served* instance = new Served;  // never destroyed: libFuzzer exits
  return *instance;
}

// Sends `request` from the loopback address `from`, closes the sending
// side, and returns everything the server sends until it closes.
std::string converse(int port, std::uint32_t from, const std::string& request) {
  const int fd = daqevstat::fuzz::open_connection(port, from);
  std::string received;
  std::size_t sent = 0;
  bool send_open = true;
  const auto until = std::chrono::steady_clock::now() + kConnectionLimit;
  for (;;) {
    if (send_open && sent == request.size()) {
      ::shutdown(fd, SHUT_WR);
      send_open = false;
    }
    pollfd poller{fd, static_cast<short>(POLLIN | (send_open ? POLLOUT : 0)), 0};
    const int ready = ::poll(&poller, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    FUZZ_CHECK(std::chrono::steady_clock::now() < until);  // the server never closed
    if (ready <= 0) continue;
    if (send_open && (poller.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // The server gave up on the request and closed; what it answered
        // is still to be read.
        ::shutdown(fd, SHUT_WR);
        send_open = false;
      }
    }
    if ((poller.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      char buffer[16384];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        received.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        break;
      }
    }
  }
  ::close(fd);
  return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Served& s = served();
  daqevstat::fuzz::FuzzInput in(data, size);
  const std::uint8_t choices = in.u8();
  std::string request = in.rest();
  if ((choices & 1) != 0)
    request = daqevstat::fuzz::replace_all(std::move(request), kPlaceholder, kToken);
  const bool has_token = request.find(kToken) != std::string::npos;

  const std::uint32_t from = s.next_address(1);
  const std::string before = has_token ? std::string() : s.snapshot();
  const std::string answers = converse(s.http->port(), from, request);
  daqevstat::fuzz::check_answers(answers, request.find("HEAD") != std::string::npos);
  s.finish_run(has_token, before);
  return 0;
}
