#ifndef TOOL_REPLAY_BINARY_READER_H_
#define TOOL_REPLAY_BINARY_READER_H_

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "event.h"

namespace daqevstat::tool {

// Reads a stream of fixed-size raw records, in host byte order, one at a
// time. A record cut short at the end of the stream is an error, not a short
// record.
//
// Not thread-safe: a reader belongs to one thread.
class BinaryRecordReader {
 public:
  // `in` must outlive the reader; `file_name` only labels errors.
  // REQUIRES: record_size > 0.
  BinaryRecordReader(std::istream& in, std::string file_name, std::size_t record_size);
  BinaryRecordReader(const BinaryRecordReader&) = delete;
  BinaryRecordReader& operator=(const BinaryRecordReader&) = delete;

  // Copies the next record_size bytes into `record` and returns true, or
  // returns false at the end of the stream. Throws ReplayError
  // "<file>: truncated record at byte offset <offset> (<n> of <size> bytes)"
  // when the stream ends inside a record (the offset is where that record
  // starts), and "<file>: read error" when the stream fails.
  bool next(void* record);

  // Byte offset of the next record.
  std::uint64_t offset() const { return offset_; }

  // Throws ReplayError "<file>: record at byte offset <offset>: timelow:
  // microseconds out of range (0 to 999999): <usec>" for a time stamp whose
  // microseconds are a second or more, as the CSV reader refuses them.
  void check_microseconds(std::uint32_t usec, std::uint64_t offset) const;

 private:
  std::istream& in_;
  const std::string file_name_;
  const std::size_t record_size_;
  std::vector<char> buffer_;
  std::uint64_t offset_ = 0;
};

// The time stamp of each layout of event.h.
inline const time_stamp& record_time(const vrel_time_id& record) { return record.time; }
inline const time_stamp& record_time(const vrel_eventheader& record) { return record.event_time; }
inline const time_stamp& record_time(const vrel_serv_block_head_2010& record) {
  return record.time;
}

// Typed wrapper: reads records of one of the layouts of event.h, and
// refuses a record whose time stamp has a second or more of microseconds
// (see BinaryRecordReader::check_microseconds).
template <typename Record>
class BinaryReader {
  static_assert(std::is_trivially_copyable_v<Record>,
                "records are read as raw bytes and must be trivially copyable");

 public:
  BinaryReader(std::istream& in, std::string file_name)
      : reader_(in, std::move(file_name), sizeof(Record)) {}

  bool next(Record* record) {
    const std::uint64_t at = reader_.offset();
    if (!reader_.next(record)) return false;
    reader_.check_microseconds(record_time(*record).timelow, at);
    return true;
  }
  std::uint64_t offset() const { return reader_.offset(); }

 private:
  BinaryRecordReader reader_;
};

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_BINARY_READER_H_
