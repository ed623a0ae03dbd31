#include "tool/simulate/event_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace daqevstat::tool {
namespace {

std::vector<Delivery> run(const FaultOptions& faults, int events) {
  EventSource source(faults);
  std::vector<Delivery> out;
  for (int i = 0; i < events; ++i) source.step(&out);
  source.finish(&out);
  return out;
}

std::vector<std::uint32_t> numbers(const std::vector<Delivery>& deliveries) {
  std::vector<std::uint32_t> out;
  for (const Delivery& d : deliveries) out.push_back(d.event_number);
  return out;
}

TEST(EventSourceTest, SameSeedSameStreamAndCountsAddUp) {
  FaultOptions faults;
  faults.loss = 0.1;
  faults.reorder = 0.1;
  faults.duplicate = 0.1;
  faults.latency_ms = 5.0;
  faults.jitter_ms = 2.0;
  faults.seed = 42;
  EventSource a(faults);
  EventSource b(faults);
  std::vector<Delivery> out_a;
  std::vector<Delivery> out_b;
  for (int i = 0; i < 5000; ++i) {
    a.step(&out_a);
    b.step(&out_b);
  }
  a.finish(&out_a);
  b.finish(&out_b);
  ASSERT_EQ(numbers(out_a), numbers(out_b));
  for (std::size_t i = 0; i < out_a.size(); ++i)
    EXPECT_EQ(out_a[i].latency_ms, out_b[i].latency_ms);

  const InjectedCounts& counts = a.counts();
  EXPECT_EQ(5001u, counts.generated);  // the closing event included
  EXPECT_EQ(out_a.size(), counts.delivered);
  EXPECT_EQ(counts.generated - counts.dropped + counts.duplicated, counts.delivered);
  EXPECT_GT(counts.dropped, 350u);
  EXPECT_GT(counts.reordered, 350u);
  EXPECT_GT(counts.duplicated, 350u);

  faults.seed = 43;
  EXPECT_NE(numbers(out_a), numbers(run(faults, 5000)));
}

TEST(EventSourceTest, LossLeavesGapsBetweenDeliveredEventsOnly) {
  FaultOptions faults;
  faults.loss = 0.3;
  faults.seed = 7;
  EventSource source(faults);
  std::vector<Delivery> out;
  for (int i = 0; i < 2000; ++i) source.step(&out);
  source.finish(&out);
  const std::vector<std::uint32_t> n = numbers(out);
  ASSERT_FALSE(n.empty());
  EXPECT_EQ(1u, n.front());                        // the first event is never dropped
  EXPECT_EQ(source.counts().generated, n.back());  // nor the closing one
  std::uint64_t gaps = 0;
  for (std::size_t i = 1; i < n.size(); ++i) {
    ASSERT_GT(n[i], n[i - 1]);
    gaps += n[i] - n[i - 1] - 1;
  }
  EXPECT_EQ(source.counts().dropped, gaps);
}

TEST(EventSourceTest, DuplicatesFollowTheirEventAndReorderedEventsComeAFewLate) {
  FaultOptions faults;
  faults.duplicate = 0.2;
  faults.seed = 3;
  const std::vector<std::uint32_t> dup = numbers(run(faults, 1000));
  std::uint64_t repeats = 0;
  for (std::size_t i = 1; i < dup.size(); ++i) {
    ASSERT_GE(dup[i], dup[i - 1]);
    repeats += dup[i] == dup[i - 1];
  }
  EXPECT_GT(repeats, 100u);

  FaultOptions reorder;
  reorder.reorder = 0.2;
  reorder.seed = 5;
  const std::vector<std::uint32_t> late = numbers(run(reorder, 1000));
  // Every number exactly once, each at most a few places from its turn.
  std::vector<std::uint32_t> sorted = late;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(i + 1, sorted[i]);
  std::size_t moved = 0;
  for (std::size_t i = 0; i < late.size(); ++i) {
    const long distance = static_cast<long>(i + 1) - static_cast<long>(late[i]);
    EXPECT_LE(std::labs(distance), 8) << "event " << late[i];
    moved += distance != 0;
  }
  EXPECT_GT(moved, 100u);
}

TEST(EventSourceTest, TheWrapSkipsNumberZeroAndCountsItAsDropped) {
  EventSource source(FaultOptions{}, 0xFFFFFFFEu);
  std::vector<Delivery> out;
  for (int i = 0; i < 3; ++i) source.step(&out);
  source.finish(&out);
  EXPECT_EQ((std::vector<std::uint32_t>{0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}), numbers(out));
  EXPECT_EQ(1u, source.counts().dropped);
}

}  // namespace
}  // namespace daqevstat::tool
