#ifndef TOOL_REPLAY_CSV_READER_H_
#define TOOL_REPLAY_CSV_READER_H_

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tool/replay/replay_record.h"

namespace daqevstat::tool {

// Thrown by parse_csv_line for a malformed line; the message says what is
// wrong but not where (the reader adds the file and line).
class CsvSyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest arrival time, in seconds either side of the epoch, whose
// microsecond count still fits a signed 64-bit integer.
inline constexpr std::int64_t kMaxArrivalSeconds = 9223372036853;

// Parses one line of the text format
//   event_number,timeup,timelow[,arrival_sec,arrival_usec]
// Returns nullopt for a line to skip (empty, blanks only, or starting with
// '#' after leading blanks). Blanks (spaces, tabs, a carriage return) around
// the line and around each field are ignored. event_number and timeup are
// unsigned 32-bit decimals, timelow and arrival_usec unsigned decimals in
// 0..999999 (microseconds); arrival_sec is a signed decimal within
// +-kMaxArrivalSeconds. No
// sign other than a leading '-' on arrival_sec, no empty field, no other
// character is accepted. Throws CsvSyntaxError otherwise.
std::optional<CsvRecord> parse_csv_line(std::string_view line);

// Reads the records of a text stream one at a time.
//
// Not thread-safe: a reader belongs to one thread.
class CsvReader {
 public:
  // `in` must outlive the reader; `file_name` only labels errors.
  CsvReader(std::istream& in, std::string file_name);
  CsvReader(const CsvReader&) = delete;
  CsvReader& operator=(const CsvReader&) = delete;

  // Stores the next record in `record` and returns true, or returns false at
  // the end of the stream. Throws ReplayError "<file>:<line>: <reason>" for a
  // malformed line and "<file>: read error" when the stream fails.
  bool next(CsvRecord* record);

  // Number of the line last read, counting from 1; 0 before the first.
  std::uint64_t line_number() const { return line_number_; }

 private:
  std::istream& in_;
  const std::string file_name_;
  std::string line_;
  std::uint64_t line_number_ = 0;
};

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_CSV_READER_H_
