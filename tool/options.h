#ifndef TOOL_OPTIONS_H_
#define TOOL_OPTIONS_H_

#include <string>
#include <vector>

#include "tool/client/client_options.h"
#include "tool/replay_command.h"
#include "tool/shell_command.h"
#include "tool/simulate_command.h"

namespace daqevstat::tool {

// The command line. Each command's options belong to what they configure
// (ReplayOptions to the replay, ServerOptions to the simulated server, the
// client options to the client, ...); this only assembles them.
struct Command {
  enum class Action {
    help,         // print `text` on standard output, exit 0
    version,      // print `text` on standard output, exit 0
    replay,       // run `options`
    simulate,     // run `simulate`
    shell,        // run `shell`
    get,          // run `get` against a running server
    set,          // run `set`
    watch,        // run `watch`
    usage_error,  // print `error` and `text` (the usage) on standard error, exit 2
  };
  Action action = Action::usage_error;
  ReplayOptions options;  // replay
  SimulateOptions simulate;
  ShellOptions shell;
  client::GetOptions get;
  client::SetOptions set;
  client::WatchOptions watch;
  std::string name;   // the command the arguments name ("simulate" by default); empty for none
  std::string error;  // one line, no newline
  std::string text;   // help, version or usage text, ending in a newline
};

// Parses the arguments after the program name:
//   (no command)          simulate with its defaults
//   --help | help         the overview; `<command> --help` that command's help
//   --version
//   replay [--base NAME] [--type N] [--period SEC] [--format csv|tid|header|block]
//          [--json] [--svg FILE] [--csv DIR] FILE
//   simulate [server options] [listen options] [--duration S] [--svg FILE] [--csv DIR]
//   shell [server options] [listen options]
//   shell --connect URL [--location NAME] [--token-file FILE]
//   get [--server URL] [--location NAME] [--json] NAME...
//   set [--server URL] [--location NAME] [--token-file FILE] NAME VALUE
//   watch [--server URL] [--location NAME] [--interval S] [--count N] BASE
// The server's faults start from kRealisticFaults; --ideal starts them from
// none, and each fault option given sets its own on top of either.
// The listen options are --listen [ADDR:]PORT (ADDR an IPv4 address or
// host name, or [IPV6]; without it 127.0.0.1) and, with it, one of
// --write-token TOKEN and --write-token-file FILE, and --allowed-host NAME
// (repeatable).
// Options may also be written --option=VALUE and may follow FILE; "--" ends
// the options. NAME must have no blank or control character and at most 63
// characters, since it becomes the front of every property name. N and SEC
// are signed 32-bit decimals.
Command parse_command(const std::vector<std::string>& args);

// The version line, ending in a newline.
std::string version_text();

}  // namespace daqevstat::tool

#endif  // TOOL_OPTIONS_H_
