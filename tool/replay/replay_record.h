#ifndef TOOL_REPLAY_REPLAY_RECORD_H_
#define TOOL_REPLAY_REPLAY_RECORD_H_

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "event.h"

namespace daqevstat::tool {

// Why a replay could not run to its end: a malformed or truncated input, an
// unreadable file, or a failure of the statistics object. The message names
// the file and, where there is one, the line or byte offset.
class ReplayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest microseconds of a time stamp or an arrival time; every reader
// refuses more, with this reason.
inline constexpr std::uint32_t kMaxMicroseconds = 999999;
inline constexpr const char* kMicrosecondsOutOfRange = "microseconds out of range (0 to 999999)";

// "read error", with the system's reason when `error` (an errno) gives one.
inline std::string read_error_reason(int error) {
  return error == 0 ? "read error" : std::string("read error: ") + std::strerror(error);
}

// The layouts an input file may hold.
enum class RecordFormat {
  csv,     // text, one event a line
  tid,     // raw vrel_time_id records, 12 bytes each
  header,  // raw vrel_eventheader records, 36 bytes each
  block,   // raw vrel_serv_block_head_2010 records, 284 bytes each
};

// One event of a text stream: number and event time, and optionally the local
// arrival time that the statistics should read while counting it.
struct CsvRecord {
  vrel_time_id tid{};
  bool has_arrival = false;
  std::int64_t arrival_sec = 0;
  std::int64_t arrival_usec = 0;  // 0..999999
};

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_REPLAY_RECORD_H_
