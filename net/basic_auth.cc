#include "net/basic_auth.h"

#include <crypt.h>

#include <boost/beast/core/detail/base64.hpp>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <utility>

#include "net/write_access.h"

namespace daqnet {
namespace {

bool is_bcrypt(const std::string& hash) {
  return hash.size() == 60 && (hash.compare(0, 4, "$2y$") == 0 || hash.compare(0, 4, "$2b$") == 0 ||
                               hash.compare(0, 4, "$2a$") == 0);
}

// "Basic <base64 of name:password>" taken apart; false when it is not that.
bool basic_credentials(std::string_view authorization, std::string* name, std::string* password) {
  constexpr std::string_view kScheme = "basic ";
  if (authorization.size() <= kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(authorization[i])) != kScheme[i]) return false;
  }
  std::string_view encoded = authorization.substr(kScheme.size());
  while (!encoded.empty() && (encoded.front() == ' ' || encoded.front() == '\t')) {
    encoded.remove_prefix(1);
  }
  while (!encoded.empty() && (encoded.back() == ' ' || encoded.back() == '\t')) {
    encoded.remove_suffix(1);
  }
  namespace base64 = boost::beast::detail::base64;
  std::string decoded(base64::decoded_size(encoded.size()), '\0');
  const auto [written, read] = base64::decode(decoded.data(), encoded.data(), encoded.size());
  // Beast stops at the padding, which may only end the text.
  if (encoded.size() - read > 2 || encoded.find_first_not_of('=', read) != std::string_view::npos) {
    return false;
  }
  decoded.resize(written);
  const std::size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *name = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

}  // namespace

bool bcrypt_matches(const std::string& password, const std::string& hash) {
  if (!is_bcrypt(hash)) return false;
  auto data = std::make_unique<crypt_data>();
  const char* computed = crypt_r(password.c_str(), hash.c_str(), data.get());
  // A failed crypt_r returns a text starting with '*', which never matches.
  return computed != nullptr && equal_in_constant_time(computed, hash);
}

BasicAuth::BasicAuth(std::vector<HttpUser> users) : users_(std::move(users)) {
  for (std::size_t i = 0; i < users_.size(); ++i) {
    const HttpUser& user = users_[i];
    if (user.name.empty()) throw std::invalid_argument("a user without a name");
    for (const char c : user.name) {
      if (c == ':' || std::iscntrl(static_cast<unsigned char>(c))) {
        throw std::invalid_argument("user name \"" + user.name +
                                    "\" holds ':' or a control character");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (users_[j].name == user.name) throw std::invalid_argument("user " + user.name + " twice");
    }
    if (!is_bcrypt(user.password_hash)) {
      throw std::invalid_argument("the password hash of user " + user.name +
                                  " is not a bcrypt hash ($2y$ or $2b$)");
    }
  }
}

const HttpUser* BasicAuth::check(std::string_view authorization) {
  if (users_.empty()) return nullptr;
  // Every remembered value is compared, so the time tells nothing of which.
  const HttpUser* remembered = nullptr;
  for (const auto& [value, index] : passed_) {
    if (equal_in_constant_time(value, authorization)) remembered = &users_[index];
  }
  if (remembered != nullptr) return remembered;
  std::string name;
  std::string password;
  if (!basic_credentials(authorization, &name, &password)) return nullptr;
  for (std::size_t i = 0; i < users_.size(); ++i) {
    if (users_[i].name != name) continue;
    if (!bcrypt_matches(password, users_[i].password_hash)) return nullptr;
    std::pair<std::string, std::size_t> entry{std::string(authorization), i};
    if (passed_.size() < kRemembered) {
      passed_.push_back(std::move(entry));
    } else {
      passed_[next_] = std::move(entry);
      next_ = (next_ + 1) % kRemembered;
    }
    return &users_[i];
  }
  // An unknown name costs what a known one does.
  bcrypt_matches(password, "$2y$10$llCk5zFPUGZIHhWpVYmNCOUZ7kjO.CfVpHfMn1ohR0u/6RPu5Dl0S");
  return nullptr;
}

}  // namespace daqnet
