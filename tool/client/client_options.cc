#include "tool/client/client_options.h"

#include <CLI/CLI.hpp>

namespace daqevstat::tool::client {
namespace {

constexpr double kMinIntervalSec = 0.1;
constexpr double kMaxIntervalSec = 3600.0;

CLI::Validator not_empty() {
  return CLI::Validator(
      [](std::string& text) -> std::string { return text.empty() ? "empty value" : ""; }, "");
}

// A number within [low, high], refused in words rather than with the
// parser's range text.
CLI::Validator within(double low, double high, const std::string& what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0.0;
        if (!CLI::detail::lexical_cast(text, value) || !(value >= low && value <= high)) {
          return what + ", got " + text;
        }
        return "";
      },
      "");
}

// --cacert, --cert, --key, --user, --password-file; with the shell's
// --connect when `needs` is given.
void add_security_options(CLI::App* command, ClientOptions* client, CLI::Option* needs) {
  const auto add = [&](const char* name, std::string* value, const char* help) {
    CLI::Option* option = command->add_option(name, *value, help)->check(not_empty());
    if (needs != nullptr) option->needs(needs);
    return option;
  };
  add("--cacert", &client->ca_file,
      "https: trust servers whose certificate comes from the CAs in FILE (PEM; default: the "
      "system's)");
  CLI::Option* cert = add("--cert", &client->cert_file, "https: client certificate FILE (PEM)");
  CLI::Option* key = add("--key", &client->key_file, "https: the client certificate's key FILE");
  key->needs(cert);
  cert->needs(key);
  CLI::Option* user = add("--user", &client->user,
                          "send the password of user NAME (from --password-file or "
                          "$DAQEVSTAT_PASSWORD; never on the command line)");
  add("--password-file", &client->password_file, "with --user: the password is FILE's first line")
      ->needs(user);
}

void add_reach_options(CLI::App* command, ClientOptions* client) {
  command
      ->add_option("--server", client->server,
                   "the server's URL, http[s]://HOST[:PORT]/ (default: $DAQEVSTAT_SERVER)")
      ->check(not_empty());
  command
      ->add_option("--location", client->location,
                   "the location to act on, when the server serves several")
      ->check(not_empty());
  add_security_options(command, client, nullptr);
}

void add_token_option(CLI::App* command, ClientOptions* client) {
  command
      ->add_option("--token-file", client->token_file,
                   "read the write token from the first line of FILE (default: "
                   "$DAQEVSTAT_TOKEN; never on the command line)")
      ->check(not_empty());
}

}  // namespace

ClientCommands add_client_commands(CLI::App* app, GetOptions* get, SetOptions* set,
                                   WatchOptions* watch) {
  ClientCommands commands;
  commands.get = app->add_subcommand("get", "read properties of a running server");
  add_reach_options(commands.get, &get->client);
  commands.get->add_flag("--json", get->json, "print the server's JSON answers as they came");
  commands.get->add_option("NAME", get->names, "property names")->required()->check(not_empty());

  commands.set = app->add_subcommand(
      "set",
      "write a property of a running server (with the token) and print its answer; a write the "
      "property ignored prints its value with 'unchanged' and exits 1");
  add_reach_options(commands.set, &set->client);
  add_token_option(commands.set, &set->client);
  commands.set->add_option("NAME", set->name, "property name")->required()->check(not_empty());
  commands.set
      ->add_option("VALUE", set->value,
                   "30 an integer, 2.9 a number, 2.9f a float, anything else (or \"30\") a text")
      ->required();

  commands.watch =
      app->add_subcommand("watch", "show one statistics object of a running server live");
  add_reach_options(commands.watch, &watch->client);
  commands.watch
      ->add_option("--interval", watch->interval_sec, "seconds between readings (default 1)")
      ->check(within(kMinIntervalSec, kMaxIntervalSec, "seconds from 0.1 to 3600"));
  commands.watch
      ->add_option("--count", watch->count, "stop after N lines (default: until interrupted)")
      ->check(within(1, 9.2e18, "a count of 1 or more"));
  commands.watch->add_option("BASE", watch->base, "base name of the statistics object")
      ->required()
      ->check(not_empty());
  return commands;
}

CLI::Option* add_connect_options(CLI::App* shell, ClientOptions* connect) {
  CLI::Option* url =
      shell
          ->add_option("--connect", connect->server,
                       "act on a running server at URL (http[s]://HOST[:PORT]/) instead of a "
                       "simulated one")
          ->check(not_empty());
  shell
      ->add_option("--location", connect->location,
                   "with --connect: the location to act on, when the server serves several")
      ->check(not_empty())
      ->needs(url);
  shell
      ->add_option("--token-file", connect->token_file,
                   "with --connect: read the write token from the first line of FILE "
                   "(default: $DAQEVSTAT_TOKEN)")
      ->check(not_empty())
      ->needs(url);
  add_security_options(shell, connect, url);
  return url;
}

}  // namespace daqevstat::tool::client
