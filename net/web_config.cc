// The exporters' web configuration file, read into HttpServerOptions.

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "daqevstat_http.h"

namespace daqnet {
namespace {

// The headers an answer may be given, as the exporters allow them.
constexpr const char* kHeaders[] = {"Strict-Transport-Security", "X-Content-Type-Options",
                                    "X-Frame-Options", "X-XSS-Protection",
                                    "Content-Security-Policy"};

// A web configuration file refused: its name, the line, what is wrong.
class Refusal {
 public:
  explicit Refusal(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void at(const YAML::Node& node, const std::string& message) const {
    const int line = node.Mark().line;
    throw std::runtime_error(path_ + (line >= 0 ? ":" + std::to_string(line + 1) : "") + ": " +
                             message);
  }

 private:
  std::string path_;
};

// The map at `node` (null: nothing), each key among `known`.
void check_keys(const Refusal& refuse, const YAML::Node& node, const std::string& where,
                const std::vector<std::string>& known) {
  if (node.IsNull()) return;
  if (!node.IsMap()) refuse.at(node, where + " must be a map");
  for (const auto& entry : node) {
    const std::string key = entry.first.Scalar();
    bool found = false;
    for (const std::string& name : known) found = found || key == name;
    if (!found) refuse.at(entry.first, "unknown key \"" + key + "\" in " + where);
  }
}

std::string text(const Refusal& refuse, const YAML::Node& node, const std::string& key) {
  if (!node.IsScalar()) refuse.at(node, key + " must be a string");
  return node.Scalar();
}

// A path relative to the configuration file's directory, as the exporters
// read it.
std::string beside(const std::string& config, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  const std::size_t slash = config.rfind('/');
  return slash == std::string::npos ? path : config.substr(0, slash + 1) + path;
}

ClientAuth client_auth_of(const Refusal& refuse, const YAML::Node& node) {
  static const std::pair<const char*, ClientAuth> kTypes[] = {
      {"NoClientCert", ClientAuth::no_client_cert},
      {"RequestClientCert", ClientAuth::request_client_cert},
      {"RequireAnyClientCert", ClientAuth::require_any_client_cert},
      {"VerifyClientCertIfGiven", ClientAuth::verify_client_cert_if_given},
      {"RequireAndVerifyClientCert", ClientAuth::require_and_verify_client_cert}};
  const std::string name = text(refuse, node, "client_auth_type");
  for (const auto& [known, type] : kTypes) {
    if (name == known) return type;
  }
  refuse.at(node, "unknown client_auth_type \"" + name +
                      "\" (NoClientCert, RequestClientCert, RequireAnyClientCert, "
                      "VerifyClientCertIfGiven or RequireAndVerifyClientCert)");
}

void read_tls(const Refusal& refuse, const std::string& path, const YAML::Node& node,
              TlsOptions* tls) {
  check_keys(refuse, node, "tls_server_config",
             {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version",
              "cipher_suites"});
  if (node.IsNull()) return;
  if (node["cert_file"])
    tls->cert_file = beside(path, text(refuse, node["cert_file"], "cert_file"));
  if (node["key_file"]) tls->key_file = beside(path, text(refuse, node["key_file"], "key_file"));
  if (tls->cert_file.empty() != tls->key_file.empty()) {
    refuse.at(node, "tls_server_config needs both cert_file and key_file");
  }
  if (node["client_ca_file"]) {
    tls->client_ca_file = beside(path, text(refuse, node["client_ca_file"], "client_ca_file"));
    // A CA given without a type means its certificates are required.
    tls->client_auth = ClientAuth::require_and_verify_client_cert;
  }
  if (node["client_auth_type"]) tls->client_auth = client_auth_of(refuse, node["client_auth_type"]);
  const bool verifies = tls->client_auth == ClientAuth::verify_client_cert_if_given ||
                        tls->client_auth == ClientAuth::require_and_verify_client_cert;
  if (verifies && tls->client_ca_file.empty()) {
    refuse.at(node, "client_auth_type verifies client certificates: client_ca_file is needed");
  }
  if (node["min_version"]) {
    const YAML::Node& version = node["min_version"];
    const std::string name = text(refuse, version, "min_version");
    if (name == "TLS12") {
      tls->min_version = TlsVersion::tls1_2;
    } else if (name == "TLS13") {
      tls->min_version = TlsVersion::tls1_3;
    } else if (name == "TLS10" || name == "TLS11") {
      refuse.at(version, "min_version " + name + " is not offered: TLS12 or TLS13");
    } else {
      refuse.at(version, "unknown min_version \"" + name + "\" (TLS12 or TLS13)");
    }
  }
  if (node["cipher_suites"]) {
    const YAML::Node& suites = node["cipher_suites"];
    if (!suites.IsSequence()) refuse.at(suites, "cipher_suites must be a list");
    tls->cipher_suites.clear();
    for (const auto& suite : suites)
      tls->cipher_suites.push_back(text(refuse, suite, "a cipher suite"));
  }
}

void read_headers(const Refusal& refuse, const YAML::Node& node,
                  std::vector<std::pair<std::string, std::string>>* headers) {
  check_keys(refuse, node, "http_server_config", {"headers"});
  if (node.IsNull() || !node["headers"]) return;
  const YAML::Node& map = node["headers"];
  if (!map.IsMap()) refuse.at(map, "headers must be a map");
  for (const auto& entry : map) {
    const std::string name = entry.first.Scalar();
    bool allowed = false;
    for (const char* known : kHeaders) allowed = allowed || name == known;
    if (!allowed) {
      refuse.at(entry.first, "header \"" + name +
                                 "\" may not be set (Strict-Transport-Security, "
                                 "X-Content-Type-Options, X-Frame-Options, X-XSS-Protection, "
                                 "Content-Security-Policy)");
    }
    const std::string value = text(refuse, entry.second, name);
    for (const char c : value) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        refuse.at(entry.second, "the value of " + name + " holds a control character");
      }
    }
    headers->emplace_back(name, value);
  }
}

void read_users(const Refusal& refuse, const YAML::Node& users, const YAML::Node& writers,
                std::vector<HttpUser>* out) {
  if (users && !users.IsNull()) {
    if (!users.IsMap())
      refuse.at(users, "basic_auth_users must be a map of names to bcrypt hashes");
    for (const auto& entry : users) {
      HttpUser user;
      user.name = entry.first.Scalar();
      user.password_hash = text(refuse, entry.second, user.name);
      const std::string& hash = user.password_hash;
      if (hash.size() != 60 ||
          (hash.compare(0, 4, "$2y$") != 0 && hash.compare(0, 4, "$2b$") != 0 &&
           hash.compare(0, 4, "$2a$") != 0)) {
        refuse.at(entry.second,
                  "the password of " + user.name + " is not a bcrypt hash ($2y$, $2b$)");
      }
      if (user.name.empty() || user.name.find(':') != std::string::npos) {
        refuse.at(entry.first, "a user name must be non-empty and without ':'");
      }
      out->push_back(std::move(user));
    }
  }
  if (!writers || writers.IsNull()) return;
  if (!writers.IsSequence()) refuse.at(writers, "basic_auth_writers must be a list of user names");
  for (const auto& writer : writers) {
    const std::string name = text(refuse, writer, "a writer");
    bool found = false;
    for (HttpUser& user : *out) {
      if (user.name == name) {
        user.may_write = true;
        found = true;
      }
    }
    if (!found) refuse.at(writer, "writer " + name + " is not in basic_auth_users");
  }
}

}  // namespace

void load_web_config(const std::string& path, HttpServerOptions& options) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read web configuration " + path);
  std::ostringstream content;
  content << file.rdbuf();
  if (!file && !file.eof()) throw std::runtime_error("cannot read web configuration " + path);
  const Refusal refuse(path);
  YAML::Node root;
  try {
    root = YAML::Load(content.str());
  } catch (const YAML::Exception& e) {
    throw std::runtime_error(path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  if (root.IsNull()) return;
  check_keys(refuse, root, "the web configuration",
             {"tls_server_config", "http_server_config", "basic_auth_users", "basic_auth_writers"});
  HttpServerOptions loaded = options;
  try {
    if (root["tls_server_config"]) read_tls(refuse, path, root["tls_server_config"], &loaded.tls);
    if (root["http_server_config"]) {
      read_headers(refuse, root["http_server_config"], &loaded.response_headers);
    }
    if (root["basic_auth_users"] || root["basic_auth_writers"]) {
      loaded.users.clear();
      read_users(refuse, root["basic_auth_users"], root["basic_auth_writers"], &loaded.users);
    }
  } catch (const YAML::Exception& e) {
    throw std::runtime_error(path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  options = std::move(loaded);
}

}  // namespace daqnet
