#include "tool/replay/binary_reader.h"

#include <algorithm>
#include <cerrno>
#include <istream>
#include <utility>

#include "tool/replay/replay_record.h"

namespace daqevstat::tool {

BinaryRecordReader::BinaryRecordReader(std::istream& in, std::string file_name,
                                       std::size_t record_size)
    : in_(in), file_name_(std::move(file_name)), record_size_(record_size), buffer_(record_size) {}

bool BinaryRecordReader::next(void* record) {
  // Read into a scratch buffer so that a truncated record never reaches the
  // caller's record half-written.
  errno = 0;  // so that a failed read leaves its own reason
  in_.read(buffer_.data(), static_cast<std::streamsize>(record_size_));
  const auto got = static_cast<std::size_t>(in_.gcount());
  if (in_.bad()) throw ReplayError(file_name_ + ": " + read_error_reason(errno));
  if (got == 0) return false;
  if (got < record_size_) {
    throw ReplayError(file_name_ + ": truncated record at byte offset " + std::to_string(offset_) +
                      " (" + std::to_string(got) + " of " + std::to_string(record_size_) +
                      " bytes)");
  }
  std::copy(buffer_.begin(), buffer_.end(), static_cast<char*>(record));
  offset_ += record_size_;
  return true;
}

void BinaryRecordReader::check_microseconds(std::uint32_t usec, std::uint64_t offset) const {
  if (usec <= kMaxMicroseconds) return;
  throw ReplayError(file_name_ + ": record at byte offset " + std::to_string(offset) +
                    ": timelow: " + kMicrosecondsOutOfRange + ": " + std::to_string(usec));
}

}  // namespace daqevstat::tool
