#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dmsg.h"
#include "eq_errors.h"
#include "evutl.h"
#include "quelmar_types.h"

namespace {

TEST(EventNameTest, KnownAndUnknownTypes) {
  EXPECT_STREQ("VREL_EV_HB", event_name_itoa(0));
  EXPECT_STREQ("VREL_EV_NORMAL", event_name_itoa(1));
  EXPECT_STREQ("VREL_EV_BEAM_ENERGY_BYPASS", event_name_itoa(21));
  EXPECT_STREQ("VREL_EV_31", event_name_itoa(31));
  EXPECT_STREQ("VREL_EV_EVMAX", event_name_itoa(32));
  EXPECT_STREQ("VREL_EV_UNKNOWN(33)", event_name_itoa(33));
  EXPECT_STREQ("VREL_EV_UNKNOWN(4294967295)", event_name_itoa(static_cast<int>(0xFFFFFFFFu)));
  EXPECT_STREQ("VREL_EV_UNKNOWN(2147483648)", event_name_itoa(-2147483647 - 1));

  // The buffer of an unknown name belongs to the calling thread.
  const char* mine = event_name_itoa(40);
  std::thread other([] { EXPECT_STREQ("VREL_EV_UNKNOWN(50)", event_name_itoa(50)); });
  other.join();
  EXPECT_STREQ("VREL_EV_UNKNOWN(40)", mine);
}

TEST(ErrorStringTest, KnownCodesAndFallback) {
  EXPECT_STREQ("illegal parameter", get_error_string(ill_parameter));
  EXPECT_STREQ("no data", get_error_string(no_data));
  EXPECT_STREQ("buffer empty", get_error_string(buffer_empty));
  EXPECT_STREQ("wrong archiver data type", get_error_string(wrong_archiver_type));
  for (int code : {eq_ok, no_connection, not_implemented, read_only, unknown_property, out_of_range,
                   internal_error}) {
    ASSERT_NE(nullptr, get_error_string(code));
    EXPECT_STRNE("unknown error", get_error_string(code)) << code;
  }
  EXPECT_STREQ("unknown error", get_error_string(-1));
  EXPECT_STREQ("unknown error", get_error_string(12345));
}

TEST(LaunderTest, MissingValuesOnly) {
  struct timespec before {};
  struct timespec after {};
  clock_gettime(CLOCK_REALTIME, &before);
  const quelmar::Timestamp now = quelmar::launder_timestamp(0);
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(now, before.tv_sec * 1000000000LL + before.tv_nsec);
  EXPECT_LE(now, after.tv_sec * 1000000000LL + after.tv_nsec);

  EXPECT_EQ(42, quelmar::launder_timestamp(42));
  EXPECT_EQ(-5, quelmar::launder_timestamp(-5));
  EXPECT_EQ(0, quelmar::launder_event_id(0));
  EXPECT_EQ(-3, quelmar::launder_event_id(-3));
  EXPECT_EQ(42, quelmar::launder_event_id(42));
}

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { quelmar::set_log_sink(nullptr); }
};

TEST_F(LogTest, SinkReceivesLinesAndStderrIsTheDefault) {
  std::vector<std::string> lines;
  const quelmar::LogSink previous = quelmar::set_log_sink(
      [&lines](const std::string& source, const std::string& text, unsigned int flags) {
        lines.push_back(source + "|" + text + "|" + std::to_string(flags));
      });
  EXPECT_FALSE(previous);
  quelmar::printtostderr("read", "no entry", quelmar::kLogFlags);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("read|no entry|2147483648", lines[0]);

  // Replacing the sink hands back the old one, which is not called again.
  const quelmar::LogSink mine = quelmar::set_log_sink(nullptr);
  EXPECT_TRUE(mine);
  ::testing::internal::CaptureStderr();
  quelmar::printtostderr("D_value", "P changed from 1 to 2", quelmar::kLogFlags);
  EXPECT_EQ("D_value: P changed from 1 to 2\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(1u, lines.size());
}

TEST_F(LogTest, SinkThatLogsFallsBackToStderr) {
  int calls = 0;
  quelmar::set_log_sink([&calls](const std::string&, const std::string& text, unsigned int) {
    ++calls;
    quelmar::printtostderr("sink", "saw " + text, quelmar::kLogFlags);
  });
  ::testing::internal::CaptureStderr();
  quelmar::printtostderr("src", "x", quelmar::kLogFlags);
  EXPECT_EQ("sink: saw x\n", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(1, calls);
}

TEST_F(LogTest, ConcurrentLinesAllArriveWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::string> lines;  // written only under the log lock
  quelmar::set_log_sink([&lines](const std::string& source, const std::string& text, unsigned int) {
    lines.push_back(source + ":" + text);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        quelmar::printtostderr("t" + std::to_string(t), std::to_string(i), quelmar::kLogFlags);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  quelmar::set_log_sink(nullptr);
  ASSERT_EQ(static_cast<std::size_t>(kThreads * kLines), lines.size());
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    const int t = line[1] - '0';
    ASSERT_EQ("t" + std::to_string(t) + ":" + std::to_string(next[t]), line);
    ++next[t];
  }
}

class DataMessageSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    sink().fail_headers_with(0);
    sink().fail_payloads_with(0);
    sink().take();
  }
  static quelmar::DataMessageSink& sink() { return quelmar::DataMessageSink::instance(); }
};

TEST_F(DataMessageSinkTest, HeaderAndPayloadMakeOneMessage) {
  dmsg_info header;
  header.ident = 7;
  header.sec = 100;
  const unsigned char bytes[4] = {0x00, 0x00, 0x80, 0x3F};
  ASSERT_EQ(0, sink().add_header("A", header, 1));
  ASSERT_EQ(0, sink().add_header("B", header, 1));
  // Payloads pair with their own property's header, whatever the order.
  ASSERT_EQ(0, sink().add_payload("A", bytes, 4, 0));
  ASSERT_EQ(0, sink().add_payload("B", bytes, 2, 3));
  EXPECT_EQ(2u, sink().messages().size());

  const std::vector<quelmar::DataMessage> messages = sink().take();
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ("A", messages[0].property);
  EXPECT_EQ(7, messages[0].header.ident);
  EXPECT_EQ(100u, messages[0].header.sec);
  EXPECT_EQ(1, messages[0].header_flags);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 4), messages[0].payload);
  EXPECT_EQ("B", messages[1].property);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 2), messages[1].payload);
  EXPECT_EQ(3, messages[1].payload_flags);
  EXPECT_TRUE(sink().messages().empty());

  // A payload without a waiting header is a message of its own.
  ASSERT_EQ(0, sink().add_payload("C", bytes, 1, 0));
  ASSERT_EQ(0, sink().add_payload("C", bytes, 1, 0));
  EXPECT_EQ(2u, sink().take().size());
  EXPECT_EQ(ill_parameter, sink().add_payload("C", nullptr, 4, 0));
  EXPECT_TRUE(sink().messages().empty());
}

TEST_F(DataMessageSinkTest, InjectedFailureHitsTheNextSendOnly) {
  dmsg_info header;
  const unsigned char byte = 1;
  sink().fail_headers_with(no_connection);
  EXPECT_EQ(no_connection, sink().add_header("A", header, 1));
  EXPECT_TRUE(sink().messages().empty());
  EXPECT_EQ(0, sink().add_header("A", header, 1));

  sink().fail_payloads_with(out_of_range);
  EXPECT_EQ(out_of_range, sink().add_payload("A", &byte, 1, 0));
  EXPECT_EQ(0, sink().add_payload("A", &byte, 1, 0));
  ASSERT_EQ(1u, sink().messages().size());

  sink().fail_headers_with(no_connection);
  sink().fail_headers_with(0);  // cancelled
  EXPECT_EQ(0, sink().add_header("A", header, 1));
  EXPECT_EQ(2u, sink().messages().size());
}

}  // namespace
