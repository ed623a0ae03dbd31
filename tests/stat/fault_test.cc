#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "d_hist.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "stat_fixture.h"

namespace daqevstat {
namespace testing {
namespace {

constexpr char kFault[] = "Archiving failed with wrong archiver data type";

// Attaches a history to `prop` that refuses every sample with code 126.
D_hist* attach_failing_history(quelmar::D_value<int>* prop) {
  auto hist = std::make_unique<D_hist>("H", nullptr, DATA_INT);
  D_hist* raw = hist.get();
  prop->set_history(std::move(hist));
  raw->fail_with(wrong_archiver_type);
  return raw;
}

template <typename Call>
std::string archiving_error_of(Call&& call) {
  try {
    call();
  } catch (const quelmar::Error& e) {
    return e.what();
  }
  return "no exception";
}

using FaultTest = StatTest;

TEST_F(FaultTest, ArchivingFaultPassesThroughAndReleasesTheLock) {
  auto& s = make_on();
  D_hist* hist = attach_failing_history(s.total_events_);

  EXPECT_EQ(kFault, archiving_error_of([&] { event(100); }));
  EXPECT_EQ(1, s.get_total_events());  // steps before the store stay done
  EXPECT_EQ(1, total());
  EXPECT_EQ(kFault, archiving_error_of([&] { s.clear(false); }));
  EXPECT_EQ(0, s.get_total_events());  // members were zeroed before the store

  hist->fail_with(0);
  EXPECT_FALSE(event(101));
  EXPECT_EQ(1, total());
  s.clear(true);
  EXPECT_EQ(0, write_int("X.STAT.ON", 0));
  EXPECT_EQ(1, write_int("X.STAT.ON", 1));
}

TEST_F(FaultTest, FaultOnTheLostTotalLeavesLaterUpdatesWorking) {
  auto& s = make_on();
  D_hist* hist = attach_failing_history(s.total_lost_events_);
  events({1});
  EXPECT_EQ(kFault, archiving_error_of([&] { event(3); }));
  EXPECT_EQ(1, lost());  // stored before the history refused it
  hist->fail_with(0);
  // The failed update never moved the reference past 1: 6 follows 1.
  EXPECT_FALSE(event(6));
  EXPECT_EQ(6u, s.get_prev_event().event_number);
  EXPECT_EQ(5, lost());
  EXPECT_EQ(3, s.get_total_events());
}

TEST_F(FaultTest, FaultOnTheSwitchIsRepliedAfterTheSetChanged) {
  auto& s = make_on();
  attach_failing_history(s.on_);
  EqData in;
  EqData out;
  in.set(0);
  ef_.remote_set("X.STAT.ON", &in, &out);
  EXPECT_EQ(wrong_archiver_type, out.error());
  EXPECT_EQ(kFault, out.error_text());
  EXPECT_EQ(0, s.on_->value());
  EXPECT_EQ(nullptr, s.event_period_local_);
  s.clear(true);  // the lock is free
}

}  // namespace
}  // namespace testing
}  // namespace daqevstat
