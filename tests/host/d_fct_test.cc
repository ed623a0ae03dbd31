#include "d_fct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "dmsg.h"
#include "eq_config.h"
#include "eq_data.h"
#include "eq_errors.h"

namespace {

EqData int_data(int value) {
  EqData data;
  data.set(value);
  return data;
}

// Stores `value` under (event_id, sec, usec).
void store(D_fct& prop, int value, long event_id, long sec, int usec) {
  EqData data = int_data(value);
  ASSERT_EQ(0, prop.set_buf_value(&data, event_id, sec, usec));
}

// The buffered value for a selector, or -1 with the code in *code.
int lookup(const D_fct& prop, long event_id, long sec, int usec, int* code) {
  EqData out = int_data(-1);
  *code = prop.get_buf_value(&out, event_id, sec, usec);
  return out.get_int();
}

// A property whose remote read gives a fixed integer.
class Seven : public D_fct {
 public:
  using D_fct::D_fct;
  void get(EqAdr*, EqData*, EqData* out, EqFct*) override { out->set(7); }
};

TEST(DFctTest, NameSplitsAtFirstBlank) {
  D_fct plain("LOC.STAT.ON statistics on/off", nullptr);
  EXPECT_EQ("LOC.STAT.ON", plain.basename());
  EXPECT_EQ("statistics on/off", plain.description());
  EXPECT_STREQ("statistics on/off", plain.comment());

  // Only the first blank separates: the description keeps the second one.
  D_fct two("LOC.X  number of lost events", nullptr);
  EXPECT_EQ("LOC.X", two.basename());
  EXPECT_EQ(" number of lost events", two.description());

  D_fct bare("LOC.BARE", nullptr);
  EXPECT_EQ("LOC.BARE", bare.basename());
  EXPECT_EQ("", bare.description());

  EqData reply;
  plain.names(nullptr, &reply, nullptr);
  EXPECT_EQ("LOC.STAT.ON statistics on/off", reply.get_string());
  bare.names(nullptr, &reply, nullptr);
  EXPECT_EQ("LOC.BARE", reply.get_string());
}

TEST(DFctTest, GetMultiWritesElementFromGet) {
  Seven seven("S desc", nullptr);
  EqData in;
  EqData out;
  int idx = 2;
  time_t tm = 1234;
  seven.get_multi(nullptr, &in, &out, &idx, "LOC", &tm);
  const EqData::UstrElement* element = out.get_ustr(2);
  ASSERT_NE(nullptr, element);
  EXPECT_EQ(7, element->i1);
  EXPECT_EQ(7.0f, element->f1);
  EXPECT_EQ(7.0f, element->f2);
  EXPECT_EQ(1234, element->tm);
  EXPECT_EQ("LOC", element->str);

  // The base get fails, so the element carries the failure markers.
  D_fct base("B desc", nullptr);
  EqData failed;
  idx = 0;
  base.get_multi(nullptr, &in, &failed, &idx, "LOC", &tm);
  element = failed.get_ustr(0);
  ASSERT_NE(nullptr, element);
  EXPECT_EQ(2147483647, element->i1);
  EXPECT_TRUE(std::isnan(element->f1));
  EXPECT_TRUE(std::isnan(element->f2));
  EXPECT_EQ(0, failed.error());
}

TEST(DFctTest, BufferWithoutSlotsOrEntriesIsEmpty) {
  D_fct none("P desc", nullptr);
  EqData data = int_data(5);
  EXPECT_EQ(buffer_empty, none.set_buf_value(&data, 1, 100, 0));
  int code = 0;
  EXPECT_EQ(-1, lookup(none, 1, 0, 0, &code));
  EXPECT_EQ(buffer_empty, code);

  D_fct unused("P desc", nullptr, 4);
  EXPECT_EQ(4u, unused.get_nbuf());
  EXPECT_EQ(-1, lookup(unused, -1, 0, 0, &code));
  EXPECT_EQ(buffer_empty, code);
  EXPECT_EQ(ill_parameter, unused.set_buf_value(nullptr, 1, 1, 1));
}

TEST(DFctTest, BufferSelectionRules) {
  D_fct prop("P desc", nullptr, 8);
  store(prop, 10, 10, 100, 0);
  store(prop, 11, 11, 101, 500);
  store(prop, 12, 12, 102, 0);
  int code = -1;

  // By event id: exact match only; a miss leaves `out` untouched.
  EXPECT_EQ(11, lookup(prop, 11, 0, 0, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ(-1, lookup(prop, 99, 0, 0, &code));
  EXPECT_EQ(no_data, code);

  // By time: the latest entry at or before the given time.
  EXPECT_EQ(11, lookup(prop, 0, 101, 500, &code));
  EXPECT_EQ(11, lookup(prop, 0, 101, 999999, &code));
  EXPECT_EQ(10, lookup(prop, 0, 101, 499, &code));
  EXPECT_EQ(12, lookup(prop, 0, 500, 0, &code));
  EXPECT_EQ(-1, lookup(prop, 0, 99, 0, &code));
  EXPECT_EQ(no_data, code);

  // Event id 0 without time, or a negative event id: the newest entry.
  EXPECT_EQ(12, lookup(prop, 0, 0, 0, &code));
  EXPECT_EQ(12, lookup(prop, -1, 0, 0, &code));
  EXPECT_EQ(12, lookup(prop, -1, 50, 7, &code));
}

TEST(DFctTest, FullRingReplacesOldest) {
  D_fct prop("P desc", nullptr, 3);
  for (int i = 1; i <= 5; ++i) store(prop, i * 10, i, 100 + i, 0);
  int code = 0;
  EXPECT_EQ(-1, lookup(prop, 1, 0, 0, &code));
  EXPECT_EQ(no_data, code);
  EXPECT_EQ(-1, lookup(prop, 2, 0, 0, &code));
  EXPECT_EQ(no_data, code);
  EXPECT_EQ(30, lookup(prop, 3, 0, 0, &code));
  EXPECT_EQ(50, lookup(prop, 5, 0, 0, &code));
  EXPECT_EQ(50, lookup(prop, -1, 0, 0, &code));
  // The replaced entries' times no longer match.
  EXPECT_EQ(-1, lookup(prop, 0, 102, 0, &code));
  EXPECT_EQ(no_data, code);

  // Times stored out of order: the latest time at or before wins, not the
  // latest store.
  store(prop, 60, 6, 90, 0);
  EXPECT_EQ(50, lookup(prop, 0, 200, 0, &code));
  EXPECT_EQ(60, lookup(prop, 0, 95, 0, &code));
  EXPECT_EQ(60, lookup(prop, -1, 0, 0, &code));

  // A repeated event id gives its newest store.
  store(prop, 61, 6, 91, 0);
  EXPECT_EQ(61, lookup(prop, 6, 0, 0, &code));
}

TEST(DFctTest, ConfInsertLinksToConfigEntry) {
  Config config;
  config.load_text("P.GOOD 42\nP.BAD forty-two\n", "test");
  D_fct good("P.GOOD the good one", nullptr);
  EXPECT_EQ(nullptr, good.find_prop_name());  // not linked yet

  good.conf_insert(&config, DATA_INT);
  D_conf_struct* entry = good.find_prop_name();
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(entry, config.find("P.GOOD"));
  EXPECT_TRUE(entry->found);
  EXPECT_EQ(42, entry->d_int);

  // Registered but absent from the file: an entry without a value.
  D_fct absent("P.ABSENT desc", nullptr);
  absent.conf_insert(&config, DATA_INT);
  entry = absent.find_prop_name();
  ASSERT_NE(nullptr, entry);
  EXPECT_FALSE(entry->found);

  // A value that does not parse as the registered type is reported.
  D_fct bad("P.BAD desc", nullptr);
  bad.conf_insert(&config, DATA_INT);
  EXPECT_THROW(bad.find_prop_name(), config_error);
}

TEST(DFctTest, DataMessagesGoToTheSink) {
  auto& sink = quelmar::DataMessageSink::instance();
  sink.take();
  D_fct prop("P.MSG desc", nullptr);
  EXPECT_TRUE(prop.dmsg_supported());

  dmsg_info info;
  info.ident = -5;
  info.sec = 100;
  info.usec = 7;
  info.stat = 3;
  unsigned char payload[4] = {0x00, 0x00, 0x80, 0x3F};
  EXPECT_EQ(0, prop.send_header(&info, 1));
  EXPECT_EQ(0, prop.send_data(payload, 4, 0));

  std::vector<quelmar::DataMessage> messages = sink.take();
  ASSERT_FALSE(messages.empty());
  const quelmar::DataMessage& message = messages.back();
  EXPECT_EQ("P.MSG", message.property);
  EXPECT_EQ(-5, message.header.ident);
  EXPECT_EQ(100u, message.header.sec);
  EXPECT_EQ(7u, message.header.usec);
  EXPECT_EQ(3u, message.header.stat);
  EXPECT_EQ(1, message.header_flags);
  EXPECT_EQ(std::vector<unsigned char>(payload, payload + 4), message.payload);

  // Failures come back as the sink's code; null input is refused.
  sink.fail_headers_with(11);
  EXPECT_EQ(11, prop.send_header(&info, 1));
  sink.fail_headers_with(0);
  EXPECT_EQ(ill_parameter, prop.send_header(nullptr, 1));
  EXPECT_EQ(ill_parameter, prop.send_data(nullptr, 4, 0));
  sink.take();
}

}  // namespace
