#include <gtest/gtest.h>

#include "stat_fixture.h"

namespace daqevstat {
namespace testing {
namespace {

using ResetTest = StatTest;

TEST_F(ResetTest, ClearZeroesCountersAndKeepsFloatsUnlessAll) {
  auto& s = make_on();
  write_int("X.STAT.EV.LOST.PERIOD", 30);
  clock_.advance_usec(3000);  // latency 3 ms, local period 3 ms
  events({100, 104});
  s.clear(false);
  EXPECT_EQ(0, s.get_total_events());
  EXPECT_EQ(0, total());
  EXPECT_EQ(0, lost());
  EXPECT_EQ(0, s.get_period_start());
  EXPECT_EQ(0u, s.get_cur_event().event_number);
  EXPECT_EQ(0.0, sum(s.event_latency_) + sum(s.event_period_) + sum(s.event_period_local_));
  EXPECT_EQ(4.0f, diff());
  EXPECT_EQ(150.0f, perc_total());
  EXPECT_EQ(104, s.current_event_->get_int());  // shows the last event until the next
  EXPECT_EQ(30, s.lost_event_period_->value());
  EXPECT_TRUE(s.is_on());

  // The last event before the reset is counted again, as the first one.
  events({104});
  EXPECT_EQ(4.0f, diff());
  EXPECT_EQ(0, lost());
  EXPECT_EQ(0.0, sum(s.event_period_local_));
  events({106});
  EXPECT_EQ(2.0f, diff());
  EXPECT_EQ(1, lost());
  EXPECT_EQ(50.0f, perc_total());

  s.clear(true);
  EXPECT_EQ(0.0f, diff());
  EXPECT_EQ(0.0f, perc_total());
  EXPECT_EQ(0.0f, perc_period());
}

TEST_F(ResetTest, ClearWithoutThePropertySetZeroesTheMembers) {
  auto& s = make_on();
  events({1, 2, 3});
  write_int("X.STAT.ON", 0);
  EXPECT_EQ(3, s.get_total_events());
  s.clear(true);
  EXPECT_EQ(0, s.get_total_events());
  EXPECT_EQ(0u, s.get_prev_event().event_number);
  EXPECT_EQ(0u, s.get_first_event().event_number);
}

}  // namespace
}  // namespace testing
}  // namespace daqevstat
