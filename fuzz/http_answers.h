#ifndef FUZZ_HTTP_ANSWERS_H_
#define FUZZ_HTTP_ANSWERS_H_

// What the HTTP harnesses share: the location with a live statistics object
// that their server serves, the loopback connection to it, and the check
// they make of everything a server sent on one connection (in clear or
// decrypted).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "eq_data.h"
#include "eq_fct.h"
#include "fuzz_input.h"
#include "net/property_json.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::fuzz {

// The served location and its statistics object. Not thread-safe: one
// harness run at a time uses it, while the server only reads it under its
// own locking.
struct LiveLocation {
  EqFct location{"FUZZ"};
  std::unique_ptr<vrel_daq_event_stat> stat;
  std::uint32_t runs = 0;

  // A fresh object with counts in every property, as after a run that
  // wrote to it.
  void restart_statistics() {
    stat.reset();
    stat = std::make_unique<vrel_daq_event_stat>("EVF fuzzed statistics", &location);
    EqData in;
    EqData out;
    in.set(1);
    location.remote_set("EVF.STAT.ON", &in, &out);
    const std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    for (std::uint32_t i = 1; i <= 20; ++i) {
      if (i % 7 == 0) continue;  // a few lost
      vrel_time_id tid{i, {now - 1, i * 1000}};
      stat->update_by_tid(&tid);
    }
  }

  std::string snapshot() { return daqnet::json_text(daqnet::properties_json(location)); }

  // A new loopback address 127.`net`.x.y each run, so that the wrong tokens
  // of earlier runs do not throttle this one's writes.
  std::uint32_t next_address(std::uint32_t net) {
    ++runs;
    return (127u << 24) | (net << 16) | (runs % 60000u + 1u);
  }

  // After a run: one that sent the token may have written, so the object is
  // made afresh; one that did not (`before` its snapshot) changed nothing.
  void finish_run(bool has_token, const std::string& before) {
    if (has_token) {
      restart_statistics();
    } else {
      FUZZ_CHECK(snapshot() == before);
    }
  }
};

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// A non-blocking connection to `port` on the loopback from the loopback
// address `from`; it may still be connecting.
inline int open_connection(int port, std::uint32_t from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  FUZZ_CHECK(fd >= 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(from);
  FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  FUZZ_CHECK(connected == 0 || errno == EINPROGRESS);
  return fd;
}

inline bool known_status(int status) {
  switch (status) {
    case 100:
    case 200:
    case 400:
    case 403:
    case 404:
    case 405:
    case 413:
    case 415:
    case 421:
    case 429:
    case 431:
    case 500:
    case 503:
      return true;
    default:
      return false;
  }
}

// Checks that `text` is a sequence of whole answers. An answer to HEAD
// announces a length but carries no body; where the input held "HEAD", an
// answer followed at once by the next one (or the end) may be such.
inline void check_answers(const std::string& text, bool may_have_head) {
  std::size_t at = 0;
  while (at < text.size()) {
    FUZZ_CHECK(text.compare(at, 9, "HTTP/1.1 ") == 0);
    FUZZ_CHECK(text.size() >= at + 13);
    const std::string code = text.substr(at + 9, 3);
    FUZZ_CHECK(code.find_first_not_of("0123456789") == std::string::npos);
    const int status = std::atoi(code.c_str());
    FUZZ_CHECK(known_status(status) && text[at + 12] == ' ');
    const std::size_t end = text.find("\r\n\r\n", at);
    FUZZ_CHECK(end != std::string::npos);
    const std::string head = text.substr(at, end + 4 - at);
    at = end + 4;
    if (status == 100) {
      FUZZ_CHECK(head == "HTTP/1.1 100 Continue\r\n\r\n");
      continue;
    }
    const std::size_t length_at = head.find("\r\nContent-Length: ");
    FUZZ_CHECK(length_at != std::string::npos);
    const std::size_t length = std::strtoul(head.c_str() + length_at + 18, nullptr, 10);
    FUZZ_CHECK(head.find("\r\nX-Content-Type-Options: nosniff\r\n") != std::string::npos);
    const bool next_follows = text.compare(at, 9, "HTTP/1.1 ") == 0 || at == text.size();
    if (may_have_head && length > 0 && next_follows) continue;
    FUZZ_CHECK(text.size() - at >= length);
    if (status >= 400) FUZZ_CHECK(text.compare(at, 9, "{\"error\":") == 0);
    at += length;
  }
}

}  // namespace daqevstat::fuzz

#endif  // FUZZ_HTTP_ANSWERS_H_
