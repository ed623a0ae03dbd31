#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quelmar_types.h"
#include "stat_fixture.h"

namespace daqevstat {
namespace testing {
namespace {

using LifecycleTest = StatTest;

const std::vector<std::string> kSetNames = {
    "X.STAT.ON",           "X.STAT.EV.INFO",         "X.STAT.EV.TOTAL",
    "X.STAT.EV.LOST",      "X.STAT.EV.LOST.PERIOD",  "X.STAT.EV.LATENCY.TD",
    "X.STAT.EV.PERIOD.TD", "X.STAT.EV.PERIODL.TD",   "X.STAT.EV.DIFF",
    "X.STAT.EV.LOST.PERC", "X.STAT.EV.LOST.PRD.PERC"};

TEST_F(LifecycleTest, SwitchingOnPublishesTheWholeSet) {
  auto& s = make();
  EXPECT_EQ(std::vector<std::string>{"X.STAT.ON"}, ef_.property_names());
  EXPECT_EQ("on/off statistics calculation", s.on_->description());
  EXPECT_EQ(DAQ_STAT_ON, s.on_->role());
  EXPECT_EQ(0, s.on_->value());

  write_int("X.STAT.ON", 1);
  EXPECT_EQ(kSetNames, ef_.property_names());
  EXPECT_EQ("current event info", s.current_event_->description());
  EXPECT_EQ(DAQ_EVENT_INFO, s.current_event_->role());
  EXPECT_EQ("total number of events", s.total_events_->description());
  EXPECT_EQ(DAQ_TOTAL_EVENTS, s.total_events_->role());
  EXPECT_EQ("total number of lost events", s.total_lost_events_->description());
  EXPECT_EQ(DAQ_TOTAL_LOST_EVENTS, s.total_lost_events_->role());
  EXPECT_EQ("period (sec) for lost events in period", s.lost_event_period_->description());
  EXPECT_EQ(DAQ_LOST_EVENT_PERIOD, s.lost_event_period_->role());
  EXPECT_EQ(15, s.lost_event_period_->value());
  EXPECT_EQ("event latency distribution (ms)", s.event_latency_->description());
  EXPECT_EQ("distribution of time distance between events (ms)", s.event_period_->description());
  EXPECT_EQ("distribution of local time distance between events (ms)",
            s.event_period_local_->description());
  for (const D_spectrum* sp : {s.event_latency_, s.event_period_, s.event_period_local_}) {
    EXPECT_EQ(8192u, sp->max_length());
  }
  EXPECT_EQ("Event ID diff for consequent events", s.event_id_diff_->description());
  EXPECT_EQ("EVENT_DIFF", s.event_id_diff_->title());
  EXPECT_EQ("total number of lost events in %", s.lost_events_perc_total_->description());
  EXPECT_EQ("LOST_TOTAL", s.lost_events_perc_total_->title());
  EXPECT_EQ(" number of lost events in % for period", s.lost_events_perc_period_->description());
  EXPECT_EQ("LOST_PERIOD", s.lost_events_perc_period_->title());
}

TEST_F(LifecycleTest, NullLocationWorksWithoutRegistration) {
  vrel_daq_event_stat s("N free text", nullptr);
  EqData in;
  EqData out;
  in.set(1);
  s.on_->set(nullptr, &in, &out, nullptr);
  ASSERT_NE(nullptr, s.lost_events_perc_period_);
  EXPECT_EQ("N.STAT.EV.LOST.PRD.PERC", s.lost_events_perc_period_->basename());
  EXPECT_EQ(15, s.lost_event_period_->value());
  vrel_time_id tid{5, {static_cast<std::uint32_t>(kT0), 0}};
  EXPECT_FALSE(s.update_by_tid(&tid));
  EXPECT_EQ(1, s.total_events_->value());
  in.set(0);
  s.on_->set(nullptr, &in, &out, nullptr);
  EXPECT_EQ(nullptr, s.event_period_local_);
  EXPECT_TRUE(ef_.property_names().empty());
}

TEST_F(LifecycleTest, RegistrationMayRestoreSwitchAndPeriod) {
  ef_.config().load_text("X.STAT.ON 1\nX.STAT.EV.LOST.PERIOD 7\n", "saved");
  auto& s = make();
  EXPECT_TRUE(s.is_on());
  EXPECT_EQ(kSetNames, ef_.property_names());
  EXPECT_EQ(7, s.lost_event_period_->value());
  EXPECT_EQ(0, s.get_total_events());
  EXPECT_EQ(0, total());
}

TEST_F(LifecycleTest, SwitchWritesActOnTransitionsOnly) {
  auto& s = make_on();
  EXPECT_EQ(30, write_int("X.STAT.EV.LOST.PERIOD", 30));
  events({1, 2});
  EXPECT_EQ(1, write_int("X.STAT.ON", 1));  // no transition: no reset
  EXPECT_EQ(5, write_int("X.STAT.ON", 5));
  EXPECT_EQ(5, s.on_->value());
  EXPECT_EQ(2, total());

  EXPECT_EQ(0, write_int("X.STAT.ON", 0));
  EXPECT_EQ(std::vector<std::string>{"X.STAT.ON"}, ef_.property_names());
  EXPECT_EQ(nullptr, s.total_events_);
  EXPECT_EQ(nullptr, s.event_period_local_);
  EXPECT_EQ(2, s.get_total_events());  // removal resets nothing
  EXPECT_EQ(0, write_int("X.STAT.ON", 0));

  EXPECT_EQ(1, write_int("X.STAT.ON", 1));
  EXPECT_EQ(kSetNames, ef_.property_names());
  EXPECT_EQ(15, s.lost_event_period_->value());
  EXPECT_EQ(0, s.get_total_events());

  // A text reads as 0 and switches statistics off.
  EqData in;
  EqData out;
  in.set("on");
  ef_.remote_set("X.STAT.ON", &in, &out);
  EXPECT_EQ(0, out.get_int());
  EXPECT_EQ(nullptr, s.event_period_local_);
}

TEST_F(LifecycleTest, CreateAllPropsOnACompleteSetOnlyResets) {
  auto& s = make_on();
  write_int("X.STAT.EV.LOST.PERIOD", 30);
  events({1, 5});
  D_evstat_int* const period = s.lost_event_period_;
  s.create_all_props();
  EXPECT_EQ(period, s.lost_event_period_);
  EXPECT_EQ(30, period->value());
  EXPECT_EQ(kSetNames, ef_.property_names());
  EXPECT_EQ(0, s.get_total_events());
  EXPECT_EQ(0, lost());

  s.delete_all_props();
  s.delete_all_props();  // nothing left to remove
  EXPECT_EQ(std::vector<std::string>{"X.STAT.ON"}, ef_.property_names());
}

TEST_F(LifecycleTest, DestructionUnregistersEverything) {
  make_on();
  stat_.reset();
  EXPECT_TRUE(ef_.property_names().empty());
  make();
  stat_.reset();
  EXPECT_TRUE(ef_.property_names().empty());
}

TEST_F(LifecycleTest, NameStringGivesTheBaseName) {
  EXPECT_THROW(vrel_daq_event_stat(nullptr, &ef_), std::invalid_argument);
  {
    vrel_daq_event_stat s("ABC free text .INFO x", &ef_);
    EXPECT_EQ("ABC", s.get_basename());
    EXPECT_EQ("ABC.STAT.ON", s.on_->basename());
  }
  {
    vrel_daq_event_stat s("NOBLANK", &ef_);
    EXPECT_EQ("NOBLANK.STAT.ON", s.on_->basename());
  }
  {
    vrel_daq_event_stat s(" leading blank", &ef_);
    EXPECT_EQ("", s.get_basename());
    EXPECT_EQ(".STAT.ON", s.on_->basename());
  }
  const std::string base63(63, 'b');
  {
    vrel_daq_event_stat s((base63 + " x").c_str(), &ef_);
    EXPECT_EQ(base63, s.get_basename());
  }
  try {
    vrel_daq_event_stat s((base63 + "b x").c_str(), &ef_);
    ADD_FAILURE() << "a 64-character base name was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("63")) << e.what();
  }
  EXPECT_TRUE(ef_.property_names().empty());
}

// A registration that throws in the middle of the set: the constructor must
// take back what it registered, the switch included.
TEST_F(LifecycleTest, FailedConstructionLeavesNothingRegistered) {
  ef_.config().load_text("X.STAT.ON 1\nX.STAT.EV.LOST not-a-number\n", "saved");
  const quelmar::LogSink previous =
      quelmar::set_log_sink([](const std::string&, const std::string& text, unsigned int) {
        throw std::runtime_error(text);
      });
  EXPECT_THROW(make(), std::runtime_error);
  quelmar::set_log_sink(previous);
  EXPECT_TRUE(ef_.property_names().empty());
}

// A client keeps toggling the switch while the object is destroyed: the
// destructor must not wait for that write while holding the lock it needs.
TEST_F(LifecycleTest, DestructionWhileTheSwitchIsWrittenEnds) {
  make();
  std::atomic<bool> started{false};
  std::thread client([this, &started] {
    for (int i = 1;; ++i) {
      EqData in;
      EqData out;
      in.set(i % 2);
      ef_.remote_set("X.STAT.ON", &in, &out);
      started.store(true);
      if (out.error() != 0) return;  // unregistered: the destructor got past it
    }
  });
  while (!started.load()) std::this_thread::yield();
  stat_.reset();
  client.join();
  EXPECT_TRUE(ef_.property_names().empty());
}

}  // namespace
}  // namespace testing
}  // namespace daqevstat
