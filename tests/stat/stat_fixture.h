#ifndef TESTS_STAT_STAT_FIXTURE_H_
#define TESTS_STAT_STAT_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "local_clock.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace testing {

// Local clock and event times start here; events carry this time unless a
// test gives another, so latencies are 0 ms.
inline constexpr std::int64_t kT0 = 1700000000;

// A location "LOC", a manual local clock installed for the test, and one
// statistics object "X" built on demand.
class StatTest : public ::testing::Test {
 protected:
  StatTest() : clock_(kT0, 0), scoped_clock_(&clock_), ef_("LOC") {}

  vrel_daq_event_stat& make(const char* name = "X statistics", EqFct* ef = nullptr) {
    stat_ = std::make_unique<vrel_daq_event_stat>(name, ef != nullptr ? ef : &ef_);
    return *stat_;
  }

  // A statistics object "X" switched on by a remote write, as a client would.
  vrel_daq_event_stat& make_on() {
    make();
    EXPECT_EQ(1, write_int("X.STAT.ON", 1));
    return *stat_;
  }

  // Remote write of an integer through the location; returns the reply.
  int write_int(const std::string& property, int value) {
    EqData in;
    EqData out;
    in.set(value);
    ef_.remote_set(property, &in, &out);
    EXPECT_EQ(0, out.error()) << out.error_text();
    return out.get_int();
  }

  bool event(std::uint32_t number, std::uint32_t sec = kT0, std::uint32_t usec = 0) {
    vrel_time_id tid{number, {sec, usec}};
    return stat_->update_by_tid(&tid);
  }

  void events(const std::vector<std::uint32_t>& numbers) {
    for (std::uint32_t n : numbers) EXPECT_FALSE(event(n)) << n;
  }

  int lost() { return stat_->total_lost_events_->value(); }
  int total() { return stat_->total_events_->value(); }
  float diff() { return stat_->event_id_diff_->value(); }
  float perc_total() { return stat_->lost_events_perc_total_->value(); }
  float perc_period() { return stat_->lost_events_perc_period_->value(); }

  static double sum(const D_spectrum* s) {
    double total = 0;
    for (double bin : s->bins()) total += bin;
    return total;
  }

  ManualClock clock_;
  ScopedLocalClock scoped_clock_;
  EqFct ef_;
  std::unique_ptr<vrel_daq_event_stat> stat_;  // destroyed before ef_
};

}  // namespace testing
}  // namespace daqevstat

#endif  // TESTS_STAT_STAT_FIXTURE_H_
