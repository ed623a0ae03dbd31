#ifndef TOOL_CLIENT_CLIENT_OPTIONS_H_
#define TOOL_CLIENT_CLIENT_OPTIONS_H_

#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace daqevstat::tool::client {

// Environment variables the client commands read when the options leave
// the server or the token out.
inline constexpr const char* kServerVariable = "DAQEVSTAT_SERVER";
inline constexpr const char* kTokenVariable = "DAQEVSTAT_TOKEN";
inline constexpr const char* kPasswordVariable = "DAQEVSTAT_PASSWORD";

// How to reach a running server: given on the command line or in the
// environment; checked when the command runs.
struct ClientOptions {
  std::string server;      // --server (shell: --connect); empty: $DAQEVSTAT_SERVER
  std::string location;    // --location; empty: the server's only one
  std::string token_file;  // --token-file; empty: $DAQEVSTAT_TOKEN
  // https and users (see HttpSecurity).
  std::string ca_file;        // --cacert; empty: the system's CAs
  std::string cert_file;      // --cert
  std::string key_file;       // --key
  std::string user;           // --user
  std::string password_file;  // --password-file; empty: $DAQEVSTAT_PASSWORD
};

// `daqevstat get NAME...`
struct GetOptions {
  ClientOptions client;
  std::vector<std::string> names;
  bool json = false;  // print the server's JSON answers as they came
};

// `daqevstat set NAME VALUE`
struct SetOptions {
  ClientOptions client;
  std::string name;
  std::string value;  // read as the shell reads a value
};

// `daqevstat watch BASE`
struct WatchOptions {
  ClientOptions client;
  std::string base;
  double interval_sec = 1.0;
  long long count = 0;  // lines to print; 0: until interrupted
};

// The client's subcommands, once added to the tool's parser.
struct ClientCommands {
  CLI::App* get = nullptr;
  CLI::App* set = nullptr;
  CLI::App* watch = nullptr;
};

// Adds get, set and watch to `app`, filling the given options.
ClientCommands add_client_commands(CLI::App* app, GetOptions* get, SetOptions* set,
                                   WatchOptions* watch);

// Adds --connect URL, and with it --location, --token-file and the https
// and user options, to the shell; returns the --connect option.
CLI::Option* add_connect_options(CLI::App* shell, ClientOptions* connect);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_CLIENT_OPTIONS_H_
