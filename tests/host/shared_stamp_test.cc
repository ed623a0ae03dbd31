// One notion of "now" for the stamps of one event.

#include <gtest/gtest.h>

#include <thread>

#include "d_floathist.h"
#include "quelmar_types.h"

namespace {

TEST(SharedStampTimeTest, StampsInAScopeShareOneTimeAndScopesNest) {
  const quelmar::Timestamp outside = quelmar::launder_timestamp(0);
  EXPECT_GT(outside, 0);
  {
    const quelmar::SharedStampTime given(1234);
    EXPECT_EQ(1234, quelmar::launder_timestamp(0));
    EXPECT_EQ(77, quelmar::launder_timestamp(77));  // a given stamp is kept
    {
      // Without a time: the clock is read at the first stamp, then kept.
      const quelmar::SharedStampTime lazy;
      const quelmar::Timestamp first = quelmar::launder_timestamp(0);
      EXPECT_GE(first, outside);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      EXPECT_EQ(first, quelmar::launder_timestamp(0));

      // Other threads keep reading the clock.
      quelmar::Timestamp other = 0;
      std::thread([&other] { other = quelmar::launder_timestamp(0); }).join();
      EXPECT_GT(other, first);
    }
    EXPECT_EQ(1234, quelmar::launder_timestamp(0));
  }
  EXPECT_NE(1234, quelmar::launder_timestamp(0));
}

TEST(SharedStampTimeTest, FloatHistorySamplesCarryTheSharedTime) {
  D_floathist prop("P.DIFF difference", nullptr, "DIFF");
  {
    const quelmar::SharedStampTime stamp(5000);
    prop.set_value(1.0f);
    prop.set_value(2.0f);
  }
  ASSERT_EQ(2u, prop.history().size());
  EXPECT_EQ(5000, prop.history()[0].timestamp);
  EXPECT_EQ(5000, prop.history()[1].timestamp);
  EXPECT_EQ(5000, prop.get_timestamp());
}

}  // namespace
