#ifndef TOOL_OPTIONS_H_
#define TOOL_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tool/client/client_options.h"
#include "tool/replay/replay_record.h"

namespace daqevstat::tool {

// Base name the replay and the first simulated object publish under when
// none is given.
inline constexpr const char* kDefaultBaseName = "EVSTAT";

// What `daqevstat replay` was asked to do.
struct ReplayOptions {
  std::string base_name = kDefaultBaseName;
  std::optional<int> event_type;  // --type; absent: the object has no type
  std::optional<int> period_sec;  // --period; written to the period property
  RecordFormat format = RecordFormat::csv;
  bool json = false;
  std::string file;
  std::string svg_file;  // --svg: the timing distributions as one figure
  std::string csv_dir;   // --csv: one file of non-zero bins per distribution
};

// The record a simulated server hands to the statistics, and so the update
// operation it calls.
enum class FeedKind {
  header,  // vrel_eventheader through update(vrel_eventheader*)
  block,   // vrel_serv_block_head_2010 through update(vrel_serv_block_head_2010*)
  tid,     // vrel_time_id through update_by_tid
};

// Faults the simulated event source injects, each with its own probability
// per event, and the event time's distance behind the arrival.
struct FaultOptions {
  double loss = 0.0;        // the event is never delivered
  double reorder = 0.0;     // the event is delivered a few events late
  double duplicate = 0.0;   // the event is delivered twice in a row
  double latency_ms = 0.0;  // mean of the event time's distance behind arrival
  double jitter_ms = 0.0;   // its standard deviation
  std::uint64_t seed = 1;
};

// A simulated DAQ server: the event source and the location with its
// statistics objects.
struct ServerOptions {
  double rate_hz = 1000.0;
  FaultOptions faults;
  FeedKind feed = FeedKind::header;
  int objects = 1;          // statistics objects EVSTAT, EVSTAT2, ...
  std::string config_file;  // --config: settings loaded at start, saved at exit
};

// Serving the simulated location over HTTP while it runs (--listen).
struct ListenOptions {
  std::string address;                     // --listen [ADDR:]PORT; empty: no HTTP server
  std::string write_token;                 // --write-token
  std::string write_token_file;            // --write-token-file: the token is its first line
  std::vector<std::string> allowed_hosts;  // --allowed-host, repeatable
};

// What `daqevstat simulate` was asked to do.
struct SimulateOptions {
  ServerOptions server;
  ListenOptions listen;
  double duration_sec = 10.0;  // 0: until interrupted
  std::string svg_file;
  std::string csv_dir;
};

// What `daqevstat shell` was asked to do: a simulated server of its own,
// or with --connect a running one.
struct ShellOptions {
  ServerOptions server;
  ListenOptions listen;
  client::ClientOptions connect;  // server empty: the simulated server
};

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
// where the listen options are --listen [ADDR:]PORT (ADDR an IPv4 address or
// host name, or [IPV6]; without it 127.0.0.1) and, with it, one of
// --write-token TOKEN and --write-token-file FILE.
// Options may also be written --option=VALUE and may follow FILE; "--" ends
// the options. NAME must have no blank or control character and at most 63
// characters, since it becomes the front of every property name. N and SEC
// are signed 32-bit decimals.
Command parse_command(const std::vector<std::string>& args);

// The version line, ending in a newline.
std::string version_text();

}  // namespace daqevstat::tool

#endif  // TOOL_OPTIONS_H_
