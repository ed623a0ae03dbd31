// The web configuration file, the TLS files start() loads, and users with
// bcrypt passwords.

#include <crypt.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/basic_auth.h"
#include "net/write_access.h"
#include "net_fixture.h"
#include "raw_client.h"

namespace daqnet::testing {
namespace {

// A bcrypt hash of `password` at the lowest cost, so tests stay quick.
std::string bcrypt(const std::string& password, const char* prefix = "$2y$") {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, 4, nullptr, 0, salt, sizeof salt) == nullptr) return "";
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_r(password.c_str(), salt, data.get());
  return hash != nullptr ? hash : "";
}

std::string basic(const std::string& user, const std::string& password) {
  // Small and fixed inputs: the standard alphabet by hand is enough here.
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kAlphabet[n & 63] : '=';
  }
  return "Basic " + out;
}

// A directory of its own with the test certificates, made once.
class Files : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/daqevstat-tls-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    dir_ = new std::string(pattern);
    const std::string command = std::string(DAQNET_MAKE_CERTS) + " " + *dir_;
    ASSERT_EQ(0, std::system(command.c_str()));
  }
  static void TearDownTestSuite() {
    std::system(("rm -rf " + *dir_).c_str());
    delete dir_;
  }

  static std::string path(const std::string& name) { return *dir_ + "/" + name; }

  static std::string write(const std::string& name, const std::string& text) {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }

  static std::string* dir_;
};

std::string* Files::dir_ = nullptr;

// The message load_web_config() throws, "" when it loads.
std::string load_error(const std::string& file, HttpServerOptions* options) {
  try {
    load_web_config(file, *options);
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST_F(Files, AWebConfigurationLoadsIntoTheOptions) {
  const std::string hash = bcrypt("pw");
  const std::string file = write("web.yml",
                                 "tls_server_config:\n"
                                 "  cert_file: chain.pem\n"
                                 "  key_file: " +
                                     path("server.key") +
                                     "\n"
                                     "  client_ca_file: ca.pem\n"
                                     "  min_version: TLS13\n"
                                     "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256]\n"
                                     "http_server_config:\n"
                                     "  headers:\n"
                                     "    Strict-Transport-Security: max-age=3600\n"
                                     "basic_auth_users:\n"
                                     "  reader: " +
                                     hash +
                                     "\n"
                                     "  operator: " +
                                     hash +
                                     "\n"
                                     "basic_auth_writers: [operator]\n");
  HttpServerOptions options;
  options.write_token = kToken;
  ASSERT_EQ("", load_error(file, &options));
  // Relative paths are the file's directory's.
  EXPECT_EQ(path("chain.pem"), options.tls.cert_file);
  EXPECT_EQ(path("server.key"), options.tls.key_file);
  EXPECT_EQ(path("ca.pem"), options.tls.client_ca_file);
  // A client CA without a type means client certificates are required.
  EXPECT_EQ(ClientAuth::require_and_verify_client_cert, options.tls.client_auth);
  EXPECT_EQ(TlsVersion::tls1_3, options.tls.min_version);
  EXPECT_EQ(1u, options.tls.cipher_suites.size());
  ASSERT_EQ(1u, options.response_headers.size());
  EXPECT_EQ("Strict-Transport-Security", options.response_headers[0].first);
  ASSERT_EQ(2u, options.users.size());
  EXPECT_FALSE(options.users[0].may_write);
  EXPECT_TRUE(options.users[1].may_write);
  EXPECT_EQ(kToken, options.write_token) << "what the file does not set stays";
  // And a server starts with it.
  EqFct location("WEB");
  HttpServer server({&location}, options);
  EXPECT_NO_THROW(server.start());
  EXPECT_EQ(0u, server.url().rfind("https://", 0));
}

TEST_F(Files, AnUnsoundWebConfigurationIsRefusedWithItsLineAndTheOptionsStay) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"tls_server_config:\n  cert_file: a\n  keyfile: b\n", "bad.yml:3: unknown key \"keyfile\""},
      {"tls_server_config: {}\nweb: 1\n", "bad.yml:2: unknown key \"web\""},
      {"http_server_config:\n  http2: true\n", "bad.yml:2: unknown key \"http2\""},
      {"http_server_config:\n  headers:\n    Set-Cookie: a\n", "bad.yml:3: header \"Set-Cookie\""},
      {"tls_server_config:\n  cert_file: a\n", "needs both cert_file and key_file"},
      {"tls_server_config: {cert_file: a, key_file: b, min_version: TLS11}\n", "TLS11 is not"},
      {"tls_server_config: {cert_file: a, key_file: b, client_auth_type: Sometimes}\n",
       "unknown client_auth_type \"Sometimes\""},
      {"tls_server_config: {cert_file: a, key_file: b, client_auth_type: "
       "VerifyClientCertIfGiven}\n",
       "client_ca_file is needed"},
      {"basic_auth_users:\n  alice: secret\n", "bad.yml:2: the password of alice is not a bcrypt"},
      {"basic_auth_users:\n  alice: " + bcrypt("x") + "\nbasic_auth_writers: [bob]\n",
       "bad.yml:3: writer bob is not in basic_auth_users"},
      {"tls_server_config: [1\n", "bad.yml:"},
  };
  for (const Case& c : cases) {
    HttpServerOptions options;
    options.host = "unchanged";
    EXPECT_NE(std::string::npos, load_error(write("bad.yml", c.text), &options).find(c.message))
        << c.text << " -> " << load_error(write("bad.yml", c.text), &options);
    EXPECT_EQ("unchanged", options.host);
    EXPECT_TRUE(options.tls.cert_file.empty());
    EXPECT_TRUE(options.users.empty());
  }
  HttpServerOptions options;
  EXPECT_NE(std::string::npos, load_error(path("none.yml"), &options).find("none.yml"));
}

TEST_F(Files, StartRefusesTlsFilesThatDoNotLoadNamingTheFile) {
  struct Case {
    std::string cert;
    std::string key;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing.pem", "server.key", "cannot read certificate file " + path("missing.pem")},
      {"server.key", "server.key", "no usable certificate in " + path("server.key")},
      {"expired.pem", "expired.key", "certificate in " + path("expired.pem") + " expired on"},
      {"server.pem", "other.key", "the key in " + path("other.key") + " does not match"},
      {"server.pem", "missing.key", "cannot read key file " + path("missing.key")},
      {"server.pem", "ca.pem", "no usable private key in " + path("ca.pem")},
  };
  for (const Case& c : cases) {
    HttpServerOptions options;
    options.tls.cert_file = path(c.cert);
    options.tls.key_file = path(c.key);
    EqFct location("TLS");
    HttpServer server({&location}, options);
    try {
      server.start();
      ADD_FAILURE() << c.cert << " " << c.key << " started";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.message)) << e.what();
    }
  }
}

class UsersTest : public ServedLocation {
 protected:
  void serve_users() {
    HttpServerOptions options;
    options.users = {{"reader", bcrypt("read-pw"), false},
                     {"operator", bcrypt("write-pw", "$2b$"), true}};
    options.response_headers = {{"X-Frame-Options", "DENY"}};
    serve(options);
  }

  int status(const std::string& method, const std::string& target, const Headers& headers) {
    HttpClient c("127.0.0.1", http_->port());
    const auto result = method == "PUT"
                            ? c.Put(target, headers, R"({"value": 7})", "application/json")
                            : c.Get(target, headers);
    return result ? result->status : 0;
  }

  // A GET of /metrics from the loopback address `from`.
  int status_from(const char* from, const std::string& authorization) {
    RawClient raw(http_->port(), from);
    raw.send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
             (authorization.empty() ? "" : "Authorization: " + authorization + "\r\n") + "\r\n");
    bool closed = false;
    return status_of(raw.receive_until("\r\n", milliseconds(2000), &closed));
  }
};

TEST_F(UsersTest, EveryRouteNeedsAUserAndWritesAWriterOrTheToken) {
  serve_users();
  const Headers none;
  const Headers reader = {{"Authorization", basic("reader", "read-pw")}};
  const Headers writer = {{"Authorization", basic("operator", "write-pw")}};
  const Headers token = {{"Authorization", std::string("Bearer ") + kToken}};
  const std::string property = "/api/v1/properties/EVSTAT.STAT.EV.LOST.PERIOD";
  for (const char* target : {"/", "/metrics", "/api/v1/locations", "/api/v1/properties"}) {
    EXPECT_EQ(401, status("GET", target, none)) << target;
    EXPECT_EQ(200, status("GET", target, reader)) << target;
    EXPECT_EQ(200, status("GET", target, token)) << target;
  }
  EXPECT_EQ(403, status("PUT", property, reader));
  EXPECT_EQ(200, status("PUT", property, writer));
  EXPECT_EQ(200, status("PUT", property, token));
  EXPECT_EQ(7, read_int("EVSTAT.STAT.EV.LOST.PERIOD"));

  HttpClient c("127.0.0.1", http_->port());
  const auto refused = c.Get("/metrics");
  ASSERT_TRUE(refused);
  EXPECT_NE(std::string::npos, refused->get_header_value("WWW-Authenticate").find("Basic"));
  EXPECT_EQ("DENY", refused->get_header_value("X-Frame-Options"));
}

TEST_F(UsersTest, WrongPasswordsThrottleThePeerAsWrongTokensDo) {
  serve_users();
  const std::string right = basic("reader", "read-pw");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(401, status_from("127.0.0.7", basic("reader", "guess")));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(401, status_from("127.0.0.7", basic("nobody", "guess")));
  // Blocked now, right password or not; other peers are not.
  EXPECT_EQ(429, status_from("127.0.0.7", right));
  EXPECT_EQ(200, status_from("127.0.0.8", right));
  // Asking without credentials is no guess.
  for (int i = 0; i < 8; ++i) EXPECT_EQ(401, status_from("127.0.0.9", ""));
  EXPECT_EQ(200, status_from("127.0.0.9", right));
}

TEST(BasicAuthTest, BcryptHashesOfBothPrefixesAreCheckedAndUnsoundUsersRefused) {
  for (const char* prefix : {"$2y$", "$2b$"}) {
    const std::string hash = bcrypt("pässword", prefix);
    EXPECT_TRUE(bcrypt_matches("pässword", hash)) << prefix;
    EXPECT_FALSE(bcrypt_matches("password", hash)) << prefix;
    EXPECT_FALSE(bcrypt_matches("pässword", hash.substr(0, 59))) << prefix;
  }
  EXPECT_THROW(BasicAuth({{"a:b", bcrypt("x"), false}}), std::invalid_argument);
  EXPECT_THROW(BasicAuth({{"a", bcrypt("x"), false}, {"a", bcrypt("y"), false}}),
               std::invalid_argument);
  EXPECT_THROW(BasicAuth({{"a", "$1$md5crypt", false}}), std::invalid_argument);
  BasicAuth auth({{"alice", bcrypt("pw:with:colons"), false}});
  EXPECT_NE(nullptr, auth.check(basic("alice", "pw:with:colons")));
  EXPECT_NE(nullptr, auth.check(basic("alice", "pw:with:colons"))) << "remembered";
  EXPECT_EQ(nullptr, auth.check(basic("alice", "pw")));
  EXPECT_EQ(nullptr, auth.check("Basic !!!"));
  EXPECT_EQ(nullptr, auth.check(std::string("Bearer ") + kToken));
}

}  // namespace
}  // namespace daqnet::testing
