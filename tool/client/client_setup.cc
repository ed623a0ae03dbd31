#include "tool/client/client_setup.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <utility>

#include "net/write_access.h"
#include "tool/client/server_url.h"

namespace daqevstat::tool::client {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

void fail(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "daqevstat %s: %s\n", command.c_str(), message.c_str());
}

constexpr std::size_t kMaxPasswordFileBytes = 4096;

// The first line of a password file, without its line end.
std::string read_password_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read password file " + path);
  std::string line;
  std::getline(file, line);
  if (file.bad()) throw std::runtime_error("cannot read password file " + path);
  if (line.size() > kMaxPasswordFileBytes) {
    throw std::runtime_error("password file " + path + " holds no password line");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw std::runtime_error("password file " + path + " is empty");
  return line;
}

}  // namespace

std::unique_ptr<RemoteLocation> open_location(const std::string& command,
                                              const ClientOptions& options, bool token,
                                              HttpLimits limits, int* status) {
  std::string url_text = options.server;
  if (url_text.empty()) url_text = environment(kServerVariable);
  if (url_text.empty()) {
    fail(command, std::string("no server: give --server URL or set ") + kServerVariable);
    *status = 2;
    return nullptr;
  }
  std::string error;
  const std::optional<ServerUrl> url = parse_server_url(url_text, &error);
  if (!url) {
    fail(command, error);
    *status = 2;
    return nullptr;
  }

  std::string write_token;
  if (token) {
    try {
      if (!options.token_file.empty()) {
        write_token = daqnet::read_token_file(options.token_file);
      } else {
        write_token = environment(kTokenVariable);
        if (!write_token.empty()) {
          if (const std::string why = daqnet::check_token(write_token); !why.empty()) {
            fail(command, std::string(kTokenVariable) + ": " + why);
            *status = 1;
            return nullptr;
          }
        }
      }
    } catch (const std::exception& e) {
      fail(command, e.what());
      *status = 1;
      return nullptr;
    }
  }
  HttpSecurity& security = limits.security;
  security.ca_file = options.ca_file;
  security.cert_file = options.cert_file;
  security.key_file = options.key_file;
  security.user = options.user;
  if (!options.user.empty()) {
    try {
      security.password = options.password_file.empty() ? environment(kPasswordVariable)
                                                        : read_password_file(options.password_file);
    } catch (const std::exception& e) {
      fail(command, e.what());
      *status = 1;
      return nullptr;
    }
    if (security.password.empty()) {
      fail(command,
           std::string("--user needs a password: --password-file FILE or ") + kPasswordVariable);
      *status = 1;
      return nullptr;
    }
  }
  *status = 0;
  const std::string source = !options.token_file.empty() ? "--token-file " + options.token_file
                             : !write_token.empty()      ? std::string(kTokenVariable)
                                                         : "";
  auto location = std::make_unique<RemoteLocation>(*url, options.location, std::move(write_token),
                                                   std::move(limits));
  location->set_token_source(source);
  return location;
}

}  // namespace daqevstat::tool::client
