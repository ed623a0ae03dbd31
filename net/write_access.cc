#include "net/write_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace daqnet {

bool equal_in_constant_time(std::string_view a, std::string_view b) {
  // Every byte of the longer text is visited; a shorter one is read as if
  // padded, so neither a mismatch's position nor a length shows in the time.
  const std::size_t length = a.size() > b.size() ? a.size() : b.size();
  unsigned difference = a.size() == b.size() ? 0u : 1u;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned>(x ^ y);
  }
  // Read through a volatile so the compiler cannot turn the loop into an
  // early-exit comparison.
  volatile unsigned result = difference;
  return result == 0;
}

bool WriteAccess::allows(std::string_view authorization) const {
  if (token_.empty()) return false;
  constexpr std::string_view kScheme = "bearer";
  if (authorization.size() <= kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(authorization[i])) != kScheme[i]) return false;
  }
  std::string_view rest = authorization.substr(kScheme.size());
  if (rest.front() != ' ' && rest.front() != '\t') return false;
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
  return equal_in_constant_time(rest, token_);
}

std::string check_token(std::string_view token) {
  if (token.empty()) return "empty write token";
  for (unsigned char c : token) {
    if (c <= ' ' || c == 0x7f) return "write token holds a blank or control character";
  }
  if (token.size() < kMinTokenLength) {
    return "write token too short: " + std::to_string(token.size()) + " characters, at least " +
           std::to_string(kMinTokenLength) + " needed";
  }
  return "";
}

std::string read_token_file(const std::string& path) {
  const auto fail = [&path](const std::string& why) {
    return std::runtime_error("cannot read the write token file " + path + ": " + why);
  };
  // Opened without blocking, so that a FIFO nobody writes to cannot hold
  // the start; only a regular file is then read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw fail(std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) throw fail(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) {
    throw fail(S_ISDIR(info.st_mode) ? "it is a directory, not a regular file"
                                     : "not a regular file (a FIFO, device or socket)");
  }
  if (info.st_size > static_cast<off_t>(kMaxTokenFileBytes)) {
    throw fail("larger than " + std::to_string(kMaxTokenFileBytes) + " bytes");
  }
  // One byte more than allowed tells a file that grew since fstat.
  std::string text(kMaxTokenFileBytes + 1, '\0');
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = ::read(fd, &text[size], text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fail(std::strerror(errno));
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  if (size > kMaxTokenFileBytes) {
    throw fail("larger than " + std::to_string(kMaxTokenFileBytes) + " bytes");
  }
  text.resize(size);
  std::string line = text.substr(0, text.find('\n'));
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!line.empty() && blank(line.back())) line.pop_back();
  std::size_t first = 0;
  while (first < line.size() && blank(line[first])) ++first;
  line.erase(0, first);
  const std::string problem = check_token(line);
  if (!problem.empty()) throw std::runtime_error(problem + " in " + path);
  return line;
}

}  // namespace daqnet
