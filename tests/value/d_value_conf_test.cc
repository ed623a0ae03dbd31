#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "D_value.h"
#include "d_hist.h"
#include "dmsg.h"
#include "eq_config.h"
#include "eq_data.h"
#include "gtest/gtest.h"
#include "log_capture.h"

namespace quelmar {
namespace {

template <typename T>
std::string written(T value) {
  D_value<T> prop("P.W value", nullptr, 0);
  prop.set_value(value);
  std::ostringstream stream;
  prop.write(stream);
  return stream.str();
}

TEST(ValueConfTest, WriteRendersIntDecimalAndFloatScientific) {
  EXPECT_EQ(written(-7), "-7");
  EXPECT_EQ(written(0.0f), "0.000000e+00");
  EXPECT_EQ(written(0.25f), "2.500000e-01");
  EXPECT_EQ(written(1000.0f), "1.000000e+03");
  std::ostringstream nan_form;
  nan_form << std::scientific << std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(written(std::numeric_limits<float>::quiet_NaN()), nan_form.str());

  // The float form leaves the stream scientific for what the host writes next.
  D_value<float> prop("P.F value", nullptr, 0);
  std::ostringstream stream;
  prop.write(stream);
  stream << ' ' << 1234.5;
  EXPECT_EQ(stream.str(), "0.000000e+00 1.234500e+03");
}

TEST(ValueConfTest, ConfRegistersTheTypeAndReadTakesFoundValuesOnly) {
  Config config;
  D_value<int> ints("P.I value", nullptr, 0);
  D_value<float> floats("P.F value", nullptr, 0);
  ints.set_history(std::make_unique<D_hist>("P.H history", nullptr, DATA_INT));
  ints.conf(&config);
  floats.conf(&config);
  ASSERT_NE(config.find("P.I"), nullptr);
  EXPECT_EQ(config.find("P.I")->data_type, DATA_INT);
  EXPECT_EQ(config.find("P.F")->data_type, DATA_FLOAT);

  config.load_text("P.I 42\nP.F 0.5\n", "test");
  ints.read();
  floats.read();
  EXPECT_EQ(ints.value(), 42);
  EXPECT_EQ(floats.value(), 0.5f);
  // A direct assignment: no stamp and no history sample.
  EXPECT_EQ(ints.get_timestamp(), 0);
  EXPECT_TRUE(ints.get_histPointer()->samples().empty());

  // An entry without a value is ignored, silently, even when its union
  // holds a number.
  D_conf_struct* entry = ints.find_prop_name();
  ASSERT_NE(entry, nullptr);
  entry->found = false;
  entry->text.clear();
  entry->d_int = 99;
  testing::LogCapture log;
  ints.read();
  EXPECT_EQ(ints.value(), 42);
  EXPECT_TRUE(log.lines().empty());

  // Not registered with any configuration: nothing to find.
  D_value<int> loose("P.L value", nullptr, 0);
  loose.set_value(3);
  loose.read();
  EXPECT_EQ(loose.value(), 3);
}

TEST(ValueConfTest, ReadLogsALookupFailureAndKeepsTheValue) {
  testing::LogCapture log;
  Config config;
  D_value<int> prop("P.I value", nullptr, 0);
  prop.set_value(8);
  prop.conf(&config);
  config.load_text("P.I not-a-number\n", "test");
  const std::size_t before = log.lines().size();
  EXPECT_NO_THROW(prop.read());
  EXPECT_EQ(prop.value(), 8);
  ASSERT_EQ(log.lines().size(), before + 1);
  EXPECT_EQ(log.lines().back().source, "read");
  EXPECT_EQ(log.lines().back().flags, 0x80000000u);
  EXPECT_FALSE(log.lines().back().text.empty());
}

TEST(ValueConfTest, SendPutsTheValueBytesAfterTheHeader) {
  DataMessageSink& sink = DataMessageSink::instance();
  sink.take();
  D_value<float> floats("P.F value", nullptr, 0);
  floats.set_value(1.0f);
  dmsg_info info;
  info.ident = 77;
  EXPECT_EQ(floats.send(&info), 0);
  D_value<int> ints("P.I value", nullptr, 0);
  ints.set_value(-2);
  EXPECT_EQ(ints.send(&info), 0);

  const std::vector<DataMessage> sent = sink.take();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].property, "P.F");
  EXPECT_EQ(sent[0].header.ident, 77);
  EXPECT_EQ(sent[0].header_flags, 1);
  EXPECT_EQ(sent[0].payload_flags, 0);
  EXPECT_EQ(sent[0].payload, (std::vector<unsigned char>{0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(sent[1].payload, (std::vector<unsigned char>{0xFE, 0xFF, 0xFF, 0xFF}));

  sink.fail_headers_with(11);
  EXPECT_EQ(floats.send(&info), 11);
  for (const DataMessage& m : sink.take()) EXPECT_TRUE(m.payload.empty());
  sink.fail_payloads_with(12);
  EXPECT_EQ(floats.send(&info), 12);
  sink.take();
}

TEST(ValueConfTest, ConfProcessAndAutoInitReachTheHistory) {
  D_value<float> bare("P.B value", nullptr, 0);
  bare.conf_process(nullptr, 1);  // only the base step
  bare.set_archiving_enabled(true);
  bare.auto_init();  // no history: nothing to call

  D_value<float> prop("P.F value", nullptr, 0);
  prop.set_history(std::make_unique<D_hist>("P.H history", nullptr, DATA_FLOAT));
  D_hist& hist = *prop.get_histPointer();
  prop.dynamic(3);
  prop.conf_process(nullptr, 1);
  EXPECT_EQ(hist.dynamic(), 3);
  EXPECT_EQ(hist.conf_process_calls(), 1);

  prop.auto_init();  // archiving is off
  EXPECT_EQ(hist.auto_init_calls(), 0);
  prop.set_archiving_enabled(true);
  prop.auto_init();
  EXPECT_EQ(hist.auto_init_calls(), 1);
}

}  // namespace
}  // namespace quelmar
