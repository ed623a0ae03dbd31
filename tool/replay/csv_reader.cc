#include "tool/replay/csv_reader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <istream>
#include <limits>
#include <utility>

namespace daqevstat::tool {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

[[noreturn]] void fail(std::string_view field, std::string_view what, std::string_view text) {
  throw CsvSyntaxError(std::string(field) + ": " + std::string(what) + ": \"" + std::string(text) +
                       "\"");
}

// Digits only: strtoul and friends would accept a sign, a base prefix or
// leading blanks, and wrap negative input round to a large number.
std::uint64_t parse_digits(std::string_view field, std::string_view text, std::uint64_t max) {
  if (text.empty()) fail(field, "empty field", text);
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') fail(field, "not a decimal number", text);
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) fail(field, "out of range", text);
    value = value * 10 + digit;
  }
  return value;
}

std::uint32_t parse_u32(std::string_view field, std::string_view text) {
  return static_cast<std::uint32_t>(
      parse_digits(field, text, std::numeric_limits<std::uint32_t>::max()));
}

// A second or more of microseconds is refused as such, not wrapped or
// carried into the seconds.
std::uint32_t parse_microseconds(std::string_view field, std::string_view text) {
  if (text.empty()) fail(field, "empty field", text);
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') fail(field, "not a decimal number", text);
    value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - '0'),
                                    kMaxMicroseconds + 1);
  }
  if (value > kMaxMicroseconds) fail(field, kMicrosecondsOutOfRange, text);
  return static_cast<std::uint32_t>(value);
}

std::int64_t parse_seconds(std::string_view field, std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  const std::string_view digits = negative ? text.substr(1) : text;
  if (negative && digits.empty()) fail(field, "not a decimal number", text);
  const auto magnitude = static_cast<std::int64_t>(parse_digits(field, digits, kMaxArrivalSeconds));
  return negative ? -magnitude : magnitude;
}

}  // namespace

std::optional<CsvRecord> parse_csv_line(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') return std::nullopt;

  std::array<std::string_view, 5> fields;
  std::size_t count = 0;
  for (;;) {
    const std::size_t comma = line.find(',');
    if (count == fields.size()) {
      throw CsvSyntaxError("too many fields: expected 3 or 5");
    }
    fields[count++] = trim(line.substr(0, comma));
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  if (count != 3 && count != 5) {
    throw CsvSyntaxError("expected 3 or 5 fields, found " + std::to_string(count));
  }

  CsvRecord record;
  record.tid.event_number = parse_u32("event_number", fields[0]);
  record.tid.time.timeup = parse_u32("timeup", fields[1]);
  record.tid.time.timelow = parse_microseconds("timelow", fields[2]);
  if (count == 5) {
    record.has_arrival = true;
    record.arrival_sec = parse_seconds("arrival_sec", fields[3]);
    record.arrival_usec = static_cast<std::int64_t>(parse_microseconds("arrival_usec", fields[4]));
  }
  return record;
}

CsvReader::CsvReader(std::istream& in, std::string file_name)
    : in_(in), file_name_(std::move(file_name)) {}

bool CsvReader::next(CsvRecord* record) {
  errno = 0;  // so that a failed read leaves its own reason
  while (std::getline(in_, line_)) {
    ++line_number_;
    std::optional<CsvRecord> parsed;
    try {
      parsed = parse_csv_line(line_);
    } catch (const CsvSyntaxError& e) {
      throw ReplayError(file_name_ + ":" + std::to_string(line_number_) + ": " + e.what());
    }
    if (parsed) {
      *record = *parsed;
      return true;
    }
  }
  if (in_.bad()) throw ReplayError(file_name_ + ": " + read_error_reason(errno));
  return false;
}

}  // namespace daqevstat::tool
