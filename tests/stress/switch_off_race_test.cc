// A switch-off while events flow: once the write is answered, the switch
// reads 0 and only the switch is published, however the events fall.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "d_evstat.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"
#include "stress_support.h"
#include "support/many_objects.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace stress {
namespace {

int write_switch(EqFct& ef, int value) {
  EqData in;
  EqData out;
  in.set(value);
  ef.remote_set("S.STAT.ON", &in, &out);
  return out.error();
}

// Among many objects, so that the events also ask for the lines of a set
// that the switch-off is removing.
TEST(SwitchOffRaceTest, EventsNeverBringTheSetBackAfterASwitchOff) {
  const testing::ManyObjectsAlive others;
  EqFct ef("RACE");
  vrel_daq_event_stat stat("S statistics", &ef);
  ASSERT_EQ(0, write_switch(ef, 1));

  std::atomic<bool> stop{false};
  std::thread events([&stat, &stop] {
    vrel_eventheader header{};
    header.event_time.timeup = 1700000000u;
    while (!stop.load(std::memory_order_relaxed)) {
      ++header.event_number;
      // The header form waits for the statistics lock to copy the header,
      // so an event that arrives during the removal of the set goes on the
      // moment the removal ends, racing the switch's store of 0.
      stat.update(&header);
      // Between events, as a real receiving thread is: an event that wakes
      // in the middle of a switch-off is the one that finds the set gone
      // while the switch still reads on.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });

  const std::vector<std::string> switch_only = {"S.STAT.ON"};
  constexpr int kCycles = 400;
  int reappeared = 0;
  for (int i = 0; i < kCycles && reappeared == 0; ++i) {
    ASSERT_EQ(0, write_switch(ef, 0));
    // Give events a moment to find the set gone.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (registered_with_prefix(ef, "S") != switch_only || stat.on_->value() != 0) ++reappeared;
    ASSERT_EQ(0, write_switch(ef, 1));
    ASSERT_EQ(property_names_of("S").size(), registered_with_prefix(ef, "S").size());
  }
  stop = true;
  events.join();
  EXPECT_EQ(0, reappeared);
}

}  // namespace
}  // namespace stress
}  // namespace daqevstat
