#ifndef NET_WRITE_ACCESS_H_
#define NET_WRITE_ACCESS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace daqnet {

// Who may write: holders of one bearer token. Without a token nobody may.
//
// Immutable after construction; every member may be called concurrently.
class WriteAccess {
 public:
  // Nobody may write.
  WriteAccess() = default;
  // Holders of `token` may write; an empty token lets nobody write.
  explicit WriteAccess(std::string token) : token_(std::move(token)) {}

  bool has_token() const { return !token_.empty(); }

  // Whether the value of an Authorization header grants writing: the scheme
  // "Bearer" (any case), blanks, then exactly the token. The token is
  // compared in time that depends on neither its content nor how much of it
  // matches, so a client cannot guess it byte by byte.
  bool allows(std::string_view authorization) const;

 private:
  std::string token_;
};

// Compares without an early exit: the time depends only on the lengths.
bool equal_in_constant_time(std::string_view a, std::string_view b);

// A token shorter than this is refused: it could be guessed.
inline constexpr std::size_t kMinTokenLength = 16;
// A token file larger than this is refused unread.
inline constexpr std::size_t kMaxTokenFileBytes = 4096;

// The token in the first line of `path`, without the line end and without
// blanks around it. Throws std::runtime_error naming the file when it cannot
// be read, when it is not a regular file (a FIFO, a device, a directory) or
// holds more than kMaxTokenFileBytes, and when check_token() refuses the
// token.
std::string read_token_file(const std::string& path);

// Whether a token given directly is sound: not empty, no blank or control
// character (it travels in an HTTP header), at least kMinTokenLength
// characters. "" when it is, the reason otherwise.
std::string check_token(std::string_view token);

}  // namespace daqnet

#endif  // NET_WRITE_ACCESS_H_
