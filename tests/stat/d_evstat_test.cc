#include "d_evstat.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "eq_data.h"
#include "stat_property_names.h"

namespace {

// The constructors take char*; string literals need a modifiable copy.
class Name {
 public:
  explicit Name(const std::string& text) : text_(text) {}
  char* get() { return text_.data(); }

 private:
  std::string text_;
};

int write_int(D_evstat_int& prop, const EqData& in) {
  EqData request = in;
  EqData reply;
  prop.set(nullptr, &request, &reply, nullptr);
  EXPECT_EQ(DATA_INT, reply.type());
  EXPECT_EQ(0, reply.error());
  return reply.get_int();
}

int write_int(D_evstat_int& prop, int value) {
  EqData in;
  in.set(value);
  return write_int(prop, in);
}

TEST(DEvstatIntTest, RoleComesFromTheFirstPatternInTheWholeName) {
  const struct {
    const char* name;
    int role;
  } cases[] = {
      {"B.STAT.EV.TOTAL total number of events", DAQ_TOTAL_EVENTS},
      {"B.STAT.EV.LOST total number of lost events", DAQ_TOTAL_LOST_EVENTS},
      {"B.STAT.EV.LOST.PERIOD period (sec) for lost events in period", DAQ_LOST_EVENT_PERIOD},
      {"B.STAT.ON on/off statistics calculation", DAQ_STAT_ON},
      {"B.STAT.ON.STAT.EV.TOTAL total number of events", DAQ_TOTAL_EVENTS},
      {"B.OTHER described as .STAT.ON", DAQ_STAT_ON},
      {"B.OTHER nothing", kNoRole},
  };
  for (const auto& c : cases) {
    Name name(c.name);
    D_evstat_int prop(name.get(), nullptr);
    EXPECT_EQ(c.role, prop.role()) << c.name;
    EXPECT_EQ(0, prop.value()) << c.name;
  }
}

// A reader of a location tells the statistics apart by the suffix that ends
// a name; the property classes keep their own rule (above). The two part
// only for a base that holds a suffix itself.
TEST(StatPropertyNamesTest, FindStatisticTakesTheSuffixThatEndsTheName) {
  namespace names = daqevstat::stat_property;
  using names::Statistic;
  for (std::size_t i = 0; i < names::kCount; ++i) {
    const std::string name = names::client_name("EVSTAT", names::kAll[i]);
    const auto found = names::find_statistic(name);
    ASSERT_TRUE(found) << name;
    EXPECT_EQ(i, names::index_of(found->statistic)) << name;
    EXPECT_EQ("EVSTAT", found->base) << name;
  }
  const struct {
    const char* name;
    std::optional<Statistic> statistic;
    const char* base;
  } cases[] = {
      {".STAT.ON", Statistic::on, ""},
      {"A.STAT.EV.TOTAL.STAT.ON", Statistic::on, "A.STAT.EV.TOTAL"},
      {"A.STAT.EV.LOST.PERIOD", Statistic::lost_period, "A"},
      {"A.STAT.EV.LOST.PRD.PERC", Statistic::lost_period_percent, "A"},
      {"A.STAT.ON.OTHER", std::nullopt, ""},
      {"A.STAT.ON total number of events", std::nullopt, ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const auto found = names::find_statistic(c.name);
    ASSERT_EQ(c.statistic.has_value(), found.has_value()) << c.name;
    if (!found) continue;
    EXPECT_EQ(*c.statistic, found->statistic) << c.name;
    EXPECT_EQ(c.base, found->base) << c.name;
  }
  // The same switch name as a registered integer property: the library's
  // rule finds the total's suffix first.
  Name registered("A.STAT.EV.TOTAL.STAT.ON on/off statistics calculation");
  EXPECT_EQ(DAQ_TOTAL_EVENTS, D_evstat_int(registered.get(), nullptr).role());
  EXPECT_TRUE(names::ends_with("ABC", "ABC"));
  EXPECT_TRUE(names::ends_with("ABC", ""));
  EXPECT_FALSE(names::ends_with("BC", "ABC"));
}

TEST(DEvstatIntTest, RemoteWritesFollowTheRole) {
  for (const char* counter : {"B.STAT.EV.TOTAL t", "B.STAT.EV.LOST l"}) {
    Name name(counter);
    D_evstat_int prop(name.get(), nullptr);
    prop.set_value(12);
    EXPECT_EQ(12, write_int(prop, 0)) << counter;
    EXPECT_EQ(12, write_int(prop, 100)) << counter;
    EXPECT_EQ(12, prop.value()) << counter;
  }

  Name period_name("B.STAT.EV.LOST.PERIOD p");
  D_evstat_int period(period_name.get(), nullptr);
  EXPECT_EQ(30, write_int(period, 30));
  EXPECT_EQ(30, write_int(period, 0));
  EXPECT_EQ(30, write_int(period, -5));
  EqData fractional;
  fractional.set(2.9f);
  EXPECT_EQ(2, write_int(period, fractional));
  EXPECT_EQ(2, period.value());

  // A switch without a statistics object only stores.
  Name switch_name("B.STAT.ON s");
  D_evstat_int on(switch_name.get(), nullptr);
  EXPECT_EQ(7, write_int(on, 7));
  EXPECT_EQ(7, on.value());
  EXPECT_EQ(0, write_int(on, 0));

  // No role: nothing stored, the request echoed.
  Name other_name("B.OTHER o");
  D_evstat_int other(other_name.get(), nullptr);
  EXPECT_EQ(9, write_int(other, 9));
  EXPECT_EQ(0, other.value());
}

TEST(DEvstatTest, NullNamesAreRejected) {
  EXPECT_THROW(D_evstat_int(nullptr, nullptr), std::invalid_argument);
  EXPECT_THROW(D_evstat_float(nullptr, nullptr), std::invalid_argument);
  EXPECT_THROW(D_evstat_str(nullptr, nullptr), std::logic_error);
  EXPECT_THROW(D_evstat_ustr(nullptr, nullptr), std::logic_error);
}

TEST(DEvstatTest, FloatWriteEchoesTheRequestAndStoresNothing) {
  Name name("B.F f");
  D_evstat_float prop(name.get(), nullptr);
  prop.set_value(1.0f);
  EqData in;
  EqData out;
  in.set(3.5f);
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(DATA_FLOAT, out.type());
  EXPECT_EQ(3.5f, out.get_float());
  in.set(4);
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(4.0f, out.get_float());
  in.set("text");
  prop.set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(0.0f, out.get_float());
  prop.get(nullptr, &in, &out, nullptr);
  EXPECT_EQ(1.0f, out.get_float());
}

TEST(DEvstatTest, StringWriteIsAnsweredAsARead) {
  Name name("B.S s");
  D_evstat_str prop(name.get(), nullptr);
  prop.set_value(std::string("kept"));
  EqData in;
  EqData written;
  EqData read;
  in.set("replaced?");
  prop.set(nullptr, &in, &written, nullptr);
  prop.get(nullptr, &in, &read, nullptr);
  EXPECT_EQ("kept", written.get_string());
  EXPECT_EQ(read.get_string(), written.get_string());
  EXPECT_EQ("kept", prop.value());
}

TEST(DEvstatTest, EventInfoWriteRepliesWithTheStoredRecord) {
  for (const char* text :
       {"B.STAT.EV.INFO current event info", "B.X described as .INFO", "B.X without the pattern"}) {
    Name name(text);
    D_evstat_ustr prop(name.get(), nullptr);
    EXPECT_EQ(std::string(text).find(".INFO") != std::string::npos ? DAQ_EVENT_INFO : kNoRole,
              prop.role())
        << text;
    char type_name[] = "VREL_EV_NORMAL";
    USTR record{100, 2.0f, 0.5f, 1700000000, {sizeof(type_name), type_name}};
    prop.set_value(&record);
    EqData in;
    EqData out;
    in.set(5);
    prop.set(nullptr, &in, &out, nullptr);
    const EqData::UstrElement* reply = out.get_ustr(0);
    ASSERT_NE(nullptr, reply) << text;
    EXPECT_EQ(100, reply->i1);
    EXPECT_EQ(2.0f, reply->f1);
    EXPECT_EQ(0.5f, reply->f2);
    EXPECT_EQ(1700000000, reply->tm);
    EXPECT_EQ("VREL_EV_NORMAL", reply->str);
    EXPECT_EQ(100, prop.get_int());
  }
}

}  // namespace
