#include "net/write_access.h"

#include <cctype>
#include <fstream>
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
  return "";
}

std::string read_token_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the write token file " + path);
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw std::runtime_error("cannot read the write token file " + path);
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
