#ifndef FUZZ_HTTP_ANSWERS_H_
#define FUZZ_HTTP_ANSWERS_H_

// The check the HTTP harnesses make of everything a server sent on one
// connection (in clear or decrypted).

#include <cstddef>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"

namespace daqevstat::fuzz {

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
