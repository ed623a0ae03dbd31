#ifndef NET_BASIC_AUTH_H_
#define NET_BASIC_AUTH_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "daqevstat_http.h"

namespace daqnet {

// Who may read and who may write when users are configured: HTTP Basic
// credentials checked against bcrypt hashes.
//
// A bcrypt check costs tens of milliseconds by design; the credentials of
// the last kRemembered requests that passed are remembered (compared in
// constant time), so a scraper or a dashboard that polls pays it once.
//
// Not thread-safe (the memory of passed credentials changes); the server
// uses it from its one I/O thread.
class BasicAuth {
 public:
  static constexpr std::size_t kRemembered = 64;

  // No users: has_users() is false and nobody is let in.
  BasicAuth() = default;
  // Throws std::invalid_argument when a name is empty, repeated or holds
  // ':' or a control character, or a hash is not bcrypt ($2y$, $2b$, $2a$).
  explicit BasicAuth(std::vector<HttpUser> users);

  bool has_users() const { return !users_.empty(); }

  // The user the value of an Authorization header names, when it is
  // "Basic" with a name and password that match; nullptr otherwise.
  const HttpUser* check(std::string_view authorization);

 private:
  std::vector<HttpUser> users_;
  // Authorization values that passed, and whose they were.
  std::vector<std::pair<std::string, std::size_t>> passed_;
  std::size_t next_ = 0;
};

// Whether `password` matches the bcrypt `hash` (the C library's crypt_r).
bool bcrypt_matches(const std::string& password, const std::string& hash);

}  // namespace daqnet

#endif  // NET_BASIC_AUTH_H_
