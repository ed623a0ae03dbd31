// Arbitrary bytes as what one client sends to the TLS side of an HTTP
// server started once per process (certificate and key made at start-up in
// a temporary folder), serving a location with a live statistics object.
//
// Input: one byte of choices, then the bytes. Bits 1-2 of the choices say
// where the bytes go:
//   0, 3  straight onto the TCP connection: handshake records (a ClientHello
//         and what follows it), or anything else in their place;
//   1     as application data after a real handshake: HTTP requests over
//         TLS; every "@TOKEN@" becomes the write token when bit 0 is set;
//   2     onto the TCP connection after a real handshake: forged records in
//         the middle of a session.
// Bit 3 caps the handshakes at TLS 1.2 (otherwise 1.3). Besides crashes and
// sanitizer reports, the harness aborts when the server does not close the
// connection in time, when it answers in clear anything but its one refusal
// of plain HTTP, when what it answers over TLS is not a sequence of whole HTTP/1.1 answers, or when
// a connection that never sent the token changed a property.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "daqevstat_http.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "fuzz_input.h"
#include "http_answers.h"
#include "net/property_json.h"
#include "vrel_daq_event_stat.h"

namespace {

constexpr const char* kToken = "fuzz-write-token-0123456789";
constexpr const char* kPlaceholder = "@TOKEN@";
// Far beyond anything the server needs for an input that ends in a close.
constexpr auto kConnectionLimit = std::chrono::seconds(20);

using Clock = std::chrono::steady_clock;

// A self-signed P-256 certificate for localhost and its key, as PEM files.
void make_certificate(const std::string& cert_file, const std::string& key_file) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  FUZZ_CHECK(key != nullptr);
  X509* cert = X509_new();
  FUZZ_CHECK(cert != nullptr);
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  FUZZ_CHECK(X509_sign(cert, key, EVP_sha256()) > 0);
  FILE* out = std::fopen(cert_file.c_str(), "w");
  FUZZ_CHECK(out != nullptr && PEM_write_X509(out, cert) == 1);
  std::fclose(out);
  out = std::fopen(key_file.c_str(), "w");
  FUZZ_CHECK(out != nullptr &&
             PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
  std::fclose(out);
  X509_free(cert);
  EVP_PKEY_free(key);
}

struct Served : daqevstat::fuzz::LiveLocation {
  std::unique_ptr<daqnet::HttpServer> http;
  SSL_CTX* client_context = nullptr;
  std::string folder;

  Served() {
    daqevstat::fuzz::silence_output_once();
    char name[] = "/tmp/tls_records_fuzzer.XXXXXX";
    FUZZ_CHECK(::mkdtemp(name) != nullptr);
    folder = name;
    daqnet::HttpServerOptions options;
    options.write_token = kToken;
    options.tls.cert_file = folder + "/server.crt";
    options.tls.key_file = folder + "/server.key";
    options.tls.handshake_timeout = std::chrono::milliseconds(2000);
    options.log = [](const std::string&) {};
    make_certificate(options.tls.cert_file, options.tls.key_file);
    restart_statistics();
    http = std::make_unique<daqnet::HttpServer>(std::vector<EqFct*>{&location}, options);
    http->start();
    // The server looks at the files again for each connection, so they stay
    // until the process ends.
    static std::string cleanup_folder = folder;
    std::atexit([] {
      std::remove((cleanup_folder + "/server.key").c_str());
      std::remove((cleanup_folder + "/server.crt").c_str());
      ::rmdir(cleanup_folder.c_str());
    });

    client_context = SSL_CTX_new(TLS_client_method());
    FUZZ_CHECK(client_context != nullptr);
    SSL_CTX_set_verify(client_context, SSL_VERIFY_NONE, nullptr);
  }
};

Served& served() {
  static Served* instance = new Served;  // never destroyed: libFuzzer exits
  return *instance;
}

void wait_for(int fd, short events, Clock::time_point until) {
  pollfd poller{fd, events, 0};
  const int ready = ::poll(&poller, 1, 100);
  FUZZ_CHECK(ready >= 0 || errno == EINTR);
  FUZZ_CHECK(Clock::now() < until);  // the server never answered or closed
}

// Sends `bytes` as they are, closes the sending side, and returns
// everything the server sends until it closes.
std::string send_raw(int fd, const std::string& bytes, Clock::time_point until) {
  std::string received;
  std::size_t sent = 0;
  bool send_open = true;
  for (;;) {
    if (send_open && sent == bytes.size()) {
      ::shutdown(fd, SHUT_WR);
      send_open = false;
    }
    wait_for(fd, static_cast<short>(POLLIN | (send_open ? POLLOUT : 0)), until);
    if (send_open) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        ::shutdown(fd, SHUT_WR);  // the server gave up and closed
        send_open = false;
      }
    }
    char buffer[16384];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return received;
    }
  }
}

// Runs `step` (an SSL call) until it is done, waiting for the socket as
// OpenSSL asks; false when it failed for good.
template <typename Step>
bool drive(SSL* ssl, int fd, Clock::time_point until, Step step) {
  for (;;) {
    const int result = step();
    if (result > 0) return true;
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ) {
      wait_for(fd, POLLIN, until);
    } else if (error == SSL_ERROR_WANT_WRITE) {
      wait_for(fd, POLLOUT, until);
    } else {
      ERR_clear_error();
      return false;
    }
  }
}

// Sends `bytes` as application data, then close_notify and the end of the
// sending side, and returns the plaintext the server sends until it closes.
std::string send_over_tls(SSL* ssl, int fd, const std::string& bytes, Clock::time_point until) {
  std::string received;
  std::size_t sent = 0;
  bool send_open = true;
  for (;;) {
    if (send_open && sent == bytes.size()) {
      SSL_shutdown(ssl);  // close_notify; the server's is not waited for
      ::shutdown(fd, SHUT_WR);
      send_open = false;
    }
    if (send_open) {
      const int length = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 16384));
      const int n = SSL_write(ssl, bytes.data() + sent, length);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else {
        const int error = SSL_get_error(ssl, n);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
          ERR_clear_error();
          ::shutdown(fd, SHUT_WR);
          send_open = false;
        }
      }
    }
    char buffer[16384];
    const int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n > 0) {
      received.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const int error = SSL_get_error(ssl, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return received;
    }
    wait_for(fd, static_cast<short>(POLLIN | (send_open ? POLLOUT : 0)), until);
  }
}

// What the server says in clear is either nothing it wrote itself (TLS
// records) or its one refusal of plain HTTP.
void check_clear_answer(const std::string& text) {
  if (text.compare(0, 5, "HTTP/") != 0) return;
  FUZZ_CHECK(text.compare(0, 13, "HTTP/1.1 400 ") == 0);
  FUZZ_CHECK(text.find("https://") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Served& s = served();
  daqevstat::fuzz::FuzzInput in(data, size);
  const std::uint8_t choices = in.u8();
  std::string bytes = in.rest();
  const int mode = (choices >> 1) & 3;
  if (mode == 1 && (choices & 1) != 0)
    bytes = daqevstat::fuzz::replace_all(std::move(bytes), kPlaceholder, kToken);
  const bool has_token = mode == 1 && bytes.find(kToken) != std::string::npos;

  const std::uint32_t from = s.next_address(2);
  const std::string before = has_token ? std::string() : s.snapshot();
  const auto until = Clock::now() + kConnectionLimit;
  const int fd = daqevstat::fuzz::open_connection(s.http->port(), from);

  if (mode == 0 || mode == 3) {
    check_clear_answer(send_raw(fd, bytes, until));
  } else {
    SSL* ssl = SSL_new(s.client_context);
    FUZZ_CHECK(ssl != nullptr);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_max_proto_version(ssl, (choices & 8) != 0 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set_fd(ssl, fd);
    FUZZ_CHECK(drive(ssl, fd, until, [&] { return SSL_connect(ssl); }));
    if (mode == 1) {
      daqevstat::fuzz::check_answers(send_over_tls(ssl, fd, bytes, until),
                                     bytes.find("HEAD") != std::string::npos);
    } else {
      send_raw(fd, bytes, until);
    }
    SSL_free(ssl);
  }
  ::close(fd);

  s.finish_run(has_token, before);
  return 0;
}
