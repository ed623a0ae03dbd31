#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tool/replay/binary_reader.h"
#include "tool/replay/csv_reader.h"

namespace daqevstat::tool {
namespace {

// Parses a line that must be malformed and returns the reason.
std::string syntax_error(const std::string& line) {
  try {
    parse_csv_line(line);
  } catch (const CsvSyntaxError& e) {
    return e.what();
  }
  ADD_FAILURE() << "accepted: \"" << line << "\"";
  return "";
}

TEST(CsvLineTest, AcceptsWellFormedLines) {
  auto record = parse_csv_line("100,1000,250");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(100u, record->tid.event_number);
  EXPECT_EQ(1000u, record->tid.time.timeup);
  EXPECT_EQ(250u, record->tid.time.timelow);
  EXPECT_FALSE(record->has_arrival);

  // Blanks around the line and the fields, a CRLF ending, the full unsigned
  // range, leading zeros and a negative arrival second.
  record = parse_csv_line(" \t4294967295 , 0007,\t0 , -12 , 999999 \r");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(4294967295u, record->tid.event_number);
  EXPECT_EQ(7u, record->tid.time.timeup);
  EXPECT_EQ(0u, record->tid.time.timelow);
  EXPECT_TRUE(record->has_arrival);
  EXPECT_EQ(-12, record->arrival_sec);
  EXPECT_EQ(999999, record->arrival_usec);

  record = parse_csv_line("1,2,3,9223372036853,0");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(kMaxArrivalSeconds, record->arrival_sec);
  record = parse_csv_line("1,2,3,-9223372036853,0");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(-kMaxArrivalSeconds, record->arrival_sec);

  EXPECT_FALSE(parse_csv_line("").has_value());
  EXPECT_FALSE(parse_csv_line("  \t\r").has_value());
  EXPECT_FALSE(parse_csv_line("# event_number,timeup,timelow").has_value());
  EXPECT_FALSE(parse_csv_line("   #,,,junk").has_value());
}

TEST(CsvLineTest, RejectsMalformedLines) {
  EXPECT_NE(std::string::npos, syntax_error("-1,2,3").find("event_number"));
  EXPECT_NE(std::string::npos, syntax_error("+1,2,3").find("event_number"));
  EXPECT_NE(std::string::npos, syntax_error("4294967296,2,3").find("out of range"));
  EXPECT_NE(std::string::npos, syntax_error("1,99999999999999999999,3").find("timeup"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3x").find("timelow"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,0x10").find("timelow"));
  EXPECT_NE(std::string::npos, syntax_error("1,,3").find("empty field"));
  EXPECT_NE(std::string::npos, syntax_error("1,2 3,4").find("timeup"));
  EXPECT_NE(std::string::npos, syntax_error("1,2").find("found 2"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,4").find("found 4"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,").find("found 4"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,4,5,6").find("too many fields"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,4,1000000").find("arrival_usec"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,4,-1").find("arrival_usec"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,-,0").find("arrival_sec"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,--5,0").find("arrival_sec"));
  // The microsecond time of such a second would overflow 64 bits.
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,9223372036854,0").find("out of range"));
  EXPECT_NE(std::string::npos, syntax_error("1,2,3,-9223372036855,0").find("out of range"));
  EXPECT_NE(std::string::npos, syntax_error(std::string("1,2\0,3", 6)).find("timeup"));
}

TEST(CsvReaderTest, ReadsRecordsAndNamesFileAndLineOfAnError) {
  std::istringstream in(
      "# header\n"
      "10,100,0\n"
      "\n"
      "11,100,5,100,7\n"
      "12,100,abc\n"
      "13,100,0\n");
  CsvReader reader(in, "events.csv");
  CsvRecord record;
  ASSERT_TRUE(reader.next(&record));
  EXPECT_EQ(10u, record.tid.event_number);
  EXPECT_EQ(2u, reader.line_number());
  ASSERT_TRUE(reader.next(&record));
  EXPECT_EQ(11u, record.tid.event_number);
  EXPECT_EQ(100, record.arrival_sec);
  EXPECT_EQ(7, record.arrival_usec);
  EXPECT_EQ(4u, reader.line_number());
  try {
    reader.next(&record);
    FAIL() << "malformed line accepted";
  } catch (const ReplayError& e) {
    EXPECT_EQ(0u, std::string(e.what()).rfind("events.csv:5: timelow:", 0)) << e.what();
  }
  // The failed read leaves the last good record alone.
  EXPECT_EQ(11u, record.tid.event_number);

  std::istringstream last_line_unterminated("1,2,3\n4,5,6");
  CsvReader second(last_line_unterminated, "x");
  ASSERT_TRUE(second.next(&record));
  ASSERT_TRUE(second.next(&record));
  EXPECT_EQ(4u, record.tid.event_number);
  EXPECT_FALSE(second.next(&record));
  EXPECT_FALSE(second.next(&record));
}

std::string bytes_of(const void* data, std::size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

TEST(BinaryReaderTest, ReadsWholeRecordsAndReportsTruncationOffset) {
  const vrel_time_id first{7, {1000, 20}};
  const vrel_time_id second{8, {1001, 30}};
  std::istringstream in(bytes_of(&first, sizeof first) + bytes_of(&second, sizeof second) +
                        std::string(5, '\x01'));
  BinaryReader<vrel_time_id> reader(in, "events.tid");
  vrel_time_id record{};
  ASSERT_TRUE(reader.next(&record));
  EXPECT_EQ(7u, record.event_number);
  EXPECT_EQ(1000u, record.time.timeup);
  EXPECT_EQ(20u, record.time.timelow);
  ASSERT_TRUE(reader.next(&record));
  EXPECT_EQ(8u, record.event_number);
  EXPECT_EQ(24u, reader.offset());
  try {
    reader.next(&record);
    FAIL() << "truncated record accepted";
  } catch (const ReplayError& e) {
    EXPECT_STREQ("events.tid: truncated record at byte offset 24 (5 of 12 bytes)", e.what());
  }
  EXPECT_EQ(8u, record.event_number);  // not half overwritten

  std::istringstream empty("");
  BinaryReader<vrel_time_id> empty_reader(empty, "empty");
  EXPECT_FALSE(empty_reader.next(&record));
}

}  // namespace
}  // namespace daqevstat::tool
