#ifndef NET_TLS_CONTEXT_H_
#define NET_TLS_CONTEXT_H_

#include <sys/types.h>

#include <boost/asio/ssl/context.hpp>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daqevstat_http.h"

namespace daqnet::detail {

// Internal to the HTTP server; do not depend on it directly.

// The TLS settings of a server as OpenSSL contexts: one made from the files
// at start, and a new one whenever the certificate, key or client CA files
// change, so that a rotated certificate is served without a restart.
// A connection keeps the context it began with for as long as it lives.
//
// Not thread-safe: the server uses it from its one I/O thread (and start()).
class TlsContexts {
 public:
  // Loads the files. Throws std::runtime_error naming the file when one
  // cannot be read, the certificate is not one, has expired or is not yet
  // valid, the key does not match it, or a setting is unsound. `log` gets
  // one line when a changed file does not load.
  TlsContexts(const TlsOptions& options, std::function<void(const std::string&)> log);

  // The context for a new connection: a fresh one when a file changed
  // since the last look and the files load, the one before otherwise.
  std::shared_ptr<boost::asio::ssl::context> current();

 private:
  // What identifies a file's content without reading it.
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::timespec modified{};
    std::timespec changed{};
    bool operator==(const Stamp& other) const;
  };
  std::vector<Stamp> stamps() const;

  const TlsOptions options_;
  const std::function<void(const std::string&)> log_;
  std::shared_ptr<boost::asio::ssl::context> context_;
  // The files as they were when last loaded (or tried).
  std::vector<Stamp> stamps_;
};

// An OpenSSL context made from `options`; throws as TlsContexts does.
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const TlsOptions& options);

}  // namespace daqnet::detail

#endif  // NET_TLS_CONTEXT_H_
