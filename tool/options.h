#ifndef TOOL_OPTIONS_H_
#define TOOL_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

#include "tool/replay_record.h"

namespace daqevstat::tool {

// Base name the replay publishes under when none is given.
inline constexpr const char* kDefaultBaseName = "EVSTAT";

// What `daqevstat replay` was asked to do.
struct ReplayOptions {
  std::string base_name = kDefaultBaseName;
  std::optional<int> event_type;  // --type; absent: the object has no type
  std::optional<int> period_sec;  // --period; written to the period property
  RecordFormat format = RecordFormat::csv;
  bool json = false;
  std::string file;
};

struct Command {
  enum class Action {
    help,         // print the usage on standard output, exit 0
    replay,       // run `options`
    usage_error,  // print `error` and the usage on standard error, exit 2
  };
  Action action = Action::usage_error;
  ReplayOptions options;
  std::string error;
};

// Parses the arguments after the program name:
//   --help | help
//   replay [--base NAME] [--type N] [--period SEC] [--format csv|tid|header|block]
//          [--json] FILE
// Options may also be written --option=VALUE and may follow FILE; "--" ends
// the options. NAME must have no blank or control character and at most 63
// characters, since it becomes the front of every property name. N and SEC
// are signed 32-bit decimals.
Command parse_command(const std::vector<std::string>& args);

// The usage text, ending in a newline.
std::string usage_text();

}  // namespace daqevstat::tool

#endif  // TOOL_OPTIONS_H_
