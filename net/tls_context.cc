#include "net/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace daqnet::detail {
namespace {

namespace ssl = boost::asio::ssl;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// The reason of OpenSSL's latest error, and its queue emptied.
std::string openssl_reason() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(code);
}

// Fails naming `path` unless it is a regular file this process can read.
void check_readable(const std::string& what, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail("cannot read " + what + " " + path + ": " + std::strerror(errno));
  struct stat status {};
  const bool regular = ::fstat(::fileno(file), &status) == 0 && S_ISREG(status.st_mode);
  std::fclose(file);
  if (!regular) fail(what + " " + path + " is not a regular file");
}

std::string time_text(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return "?";
  ASN1_TIME_print(bio, time);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size > 0 ? size : 0));
  BIO_free(bio);
  return text;
}

// The OpenSSL names of TLS 1.2 suites given by their IANA names, ':'
// joined, as OpenSSL itself knows them (no table of our own).
std::string openssl_suites(SSL_CTX* context, const std::vector<std::string>& names) {
  SSL* probe = SSL_new(context);
  if (probe == nullptr) fail("cannot make a TLS session: " + openssl_reason());
  // Every suite the library has, not only the default ones.
  SSL_set_cipher_list(probe, "ALL:COMPLEMENTOFALL");
  STACK_OF(SSL_CIPHER)* all = SSL_get_ciphers(probe);
  std::string list;
  for (const std::string& name : names) {
    const char* found = nullptr;
    for (int i = 0; i < sk_SSL_CIPHER_num(all); ++i) {
      const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(all, i);
      const char* standard = SSL_CIPHER_standard_name(cipher);
      if (standard != nullptr && name == standard &&
          std::strcmp(SSL_CIPHER_get_version(cipher), "TLSv1.3") != 0) {
        found = SSL_CIPHER_get_name(cipher);
        break;
      }
    }
    if (found == nullptr) {
      SSL_free(probe);
      fail("unknown TLS 1.2 cipher suite " + name);
    }
    if (!list.empty()) list += ':';
    list += found;
  }
  SSL_free(probe);
  return list;
}

// Accepts whatever certificate the client sends (the client auth types that
// ask for one without verifying it).
int accept_any(int, X509_STORE_CTX*) { return 1; }

}  // namespace

std::shared_ptr<ssl::context> make_tls_context(const TlsOptions& options) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(
      native, options.min_version == TlsVersion::tls1_3 ? TLS1_3_VERSION : TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  if (!options.cipher_suites.empty()) {
    const std::string list = openssl_suites(native, options.cipher_suites);
    if (SSL_CTX_set_cipher_list(native, list.c_str()) != 1) {
      fail("cipher suites not usable: " + openssl_reason());
    }
  }

  check_readable("certificate file", options.cert_file);
  if (SSL_CTX_use_certificate_chain_file(native, options.cert_file.c_str()) != 1) {
    fail("no usable certificate in " + options.cert_file + ": " + openssl_reason());
  }
  X509* certificate = SSL_CTX_get0_certificate(native);
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0) {
    fail("certificate in " + options.cert_file + " expired on " +
         time_text(X509_get0_notAfter(certificate)));
  }
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0) {
    fail("certificate in " + options.cert_file + " is not valid before " +
         time_text(X509_get0_notBefore(certificate)));
  }
  const std::string key_file = options.key_file.empty() ? options.cert_file : options.key_file;
  check_readable("key file", key_file);
  if (SSL_CTX_use_PrivateKey_file(native, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
      ERR_clear_error();
      fail("the key in " + key_file + " does not match the certificate in " + options.cert_file);
    }
    fail("no usable private key in " + key_file + ": " + openssl_reason());
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    ERR_clear_error();
    fail("the key in " + key_file + " does not match the certificate in " + options.cert_file);
  }

  const bool verifies = options.client_auth == ClientAuth::verify_client_cert_if_given ||
                        options.client_auth == ClientAuth::require_and_verify_client_cert;
  if (verifies && options.client_ca_file.empty()) {
    fail("client certificates are verified but no client CA file is given");
  }
  if (!options.client_ca_file.empty()) {
    check_readable("client CA file", options.client_ca_file);
    if (SSL_CTX_load_verify_locations(native, options.client_ca_file.c_str(), nullptr) != 1) {
      fail("no usable CA certificate in " + options.client_ca_file + ": " + openssl_reason());
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.client_ca_file.c_str());
    if (names != nullptr) SSL_CTX_set_client_CA_list(native, names);
    ERR_clear_error();
  }
  switch (options.client_auth) {
    case ClientAuth::no_client_cert:
      SSL_CTX_set_verify(native, SSL_VERIFY_NONE, nullptr);
      break;
    case ClientAuth::request_client_cert:
      SSL_CTX_set_verify(native, SSL_VERIFY_PEER, accept_any);
      break;
    case ClientAuth::require_any_client_cert:
      SSL_CTX_set_verify(native, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, accept_any);
      break;
    case ClientAuth::verify_client_cert_if_given:
      SSL_CTX_set_verify(native, SSL_VERIFY_PEER, nullptr);
      break;
    case ClientAuth::require_and_verify_client_cert:
      SSL_CTX_set_verify(native, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
      break;
  }
  return context;
}

bool TlsContexts::Stamp::operator==(const Stamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode &&
         size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

TlsContexts::TlsContexts(const TlsOptions& options, std::function<void(const std::string&)> log)
    : options_(options), log_(std::move(log)) {
  stamps_ = stamps();
  context_ = make_tls_context(options_);
}

std::vector<TlsContexts::Stamp> TlsContexts::stamps() const {
  std::vector<Stamp> result;
  for (const std::string* path :
       {&options_.cert_file, &options_.key_file, &options_.client_ca_file}) {
    Stamp stamp;
    struct stat status {};
    if (!path->empty() && ::stat(path->c_str(), &status) == 0) {
      stamp.exists = true;
      stamp.device = status.st_dev;
      stamp.inode = status.st_ino;
      stamp.size = status.st_size;
      stamp.modified = status.st_mtim;
      stamp.changed = status.st_ctim;
    }
    result.push_back(stamp);
  }
  return result;
}

std::shared_ptr<ssl::context> TlsContexts::current() {
  std::vector<Stamp> now = stamps();
  if (now == stamps_) return context_;
  // Tried once per change: a pair caught half-written is tried again when
  // the second file lands.
  stamps_ = std::move(now);
  try {
    context_ = make_tls_context(options_);
  } catch (const std::exception& e) {
    log_(std::string("TLS files changed but do not load, still serving the previous ones: ") +
         e.what());
  }
  return context_;
}

}  // namespace daqnet::detail
