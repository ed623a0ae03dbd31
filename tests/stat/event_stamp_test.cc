// The stores of one counted event are stamped with one time: the time the
// event was processed, to the microsecond.

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdint>

#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_fct.h"
#include "local_clock.h"
#include "vrel_daq_event_stat.h"

namespace {

quelmar::Timestamp wall_clock_usec_stamp() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<quelmar::Timestamp>(now.tv_sec) * 1000000000 +
         static_cast<quelmar::Timestamp>(now.tv_usec) * 1000;
}

TEST(EventStampTest, OneCountedEventStampsEveryStoreWithOneTime) {
  EqFct location("LOC");
  vrel_daq_event_stat stat("S statistics", &location);
  stat.on_->set_value(1);
  vrel_time_id first{100, {1700000000u, 0u}};
  vrel_time_id second{104, {1700000000u, 5000u}};
  stat.update_by_tid(&first);

  const quelmar::Timestamp before = wall_clock_usec_stamp();
  stat.update_by_tid(&second);
  const quelmar::Timestamp after = wall_clock_usec_stamp();

  const quelmar::Timestamp stamp = stat.total_events_->get_timestamp();
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(0, stamp % 1000);  // the microsecond reading of the arrival
  EXPECT_EQ(stamp, stat.total_lost_events_->get_timestamp());
  EXPECT_EQ(stamp, stat.event_id_diff_->get_timestamp());
  EXPECT_EQ(stamp, stat.lost_events_perc_total_->get_timestamp());
  EXPECT_EQ(stamp, stat.event_id_diff_->history().back().timestamp);
  EXPECT_EQ(3, stat.total_lost_events_->value());
}

TEST(EventStampTest, AnInstalledClockDoesNotBecomeTheStamp) {
  // A test or replay clock drives the statistics, but stamps stay wall-clock
  // time: they say when the value was stored.
  daqevstat::ManualClock clock(1000, 0);
  daqevstat::ScopedLocalClock use(&clock);
  EqFct location("LOC");
  vrel_daq_event_stat stat("S statistics", &location);
  stat.on_->set_value(1);
  vrel_time_id first{1, {1700000000u, 0u}};
  vrel_time_id second{2, {1700000000u, 1000u}};
  const quelmar::Timestamp before = wall_clock_usec_stamp();
  stat.update_by_tid(&first);
  stat.update_by_tid(&second);
  const quelmar::Timestamp stamp = stat.total_events_->get_timestamp();
  EXPECT_GE(stamp, before - 1000);
  EXPECT_EQ(stamp, stat.event_id_diff_->get_timestamp());
  EXPECT_EQ(stamp, stat.lost_events_perc_total_->get_timestamp());
}

}  // namespace
