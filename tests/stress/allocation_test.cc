// Allocation checks with a replaced global operator new: out-of-memory at
// every allocation of construction and switch-on, no allocation per event,
// and no allocation left behind by a statistics object's whole life. This
// file needs an executable of its own, since it replaces operator new for
// the whole process.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"
#include "local_clock.h"
#include "stress_support.h"
#include "support/many_objects.h"
#include "vrel_daq_event_stat.h"

namespace {

// Per thread: only the test's own thread counts and fails, so the test
// framework and helper threads are left alone.
thread_local bool t_counting = false;
thread_local long t_count = 0;
thread_local long t_fail_from = 0;     // 0: never fail
thread_local bool t_fail_once = true;  // only the t_fail_from-th, or every one from it
// Blocks from operator new not yet given back, in every thread.
std::atomic<long> g_live{0};

// Out of line, so that a debugger can stop at an injected failure.
[[noreturn]] __attribute__((noinline)) void injected_failure() { throw std::bad_alloc(); }

void* allocate(std::size_t size) {
  if (t_counting) {
    ++t_count;
    if (t_fail_from != 0 && (t_fail_once ? t_count == t_fail_from : t_count >= t_fail_from)) {
      injected_failure();
    }
  }
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

// Out of line everywhere (never inlined into a caller in this file), so that a
// tool replacing the allocation functions of the executable, such as
// valgrind with --soname-synonyms=somalloc=NONE, replaces every use of them.
#define DAQEVSTAT_NOINLINE __attribute__((noinline))

DAQEVSTAT_NOINLINE void* operator new(std::size_t size) { return allocate(size); }
DAQEVSTAT_NOINLINE void* operator new[](std::size_t size) { return allocate(size); }
DAQEVSTAT_NOINLINE void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
DAQEVSTAT_NOINLINE void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
DAQEVSTAT_NOINLINE void operator delete(void* p) noexcept { release(p); }
DAQEVSTAT_NOINLINE void operator delete[](void* p) noexcept { release(p); }
DAQEVSTAT_NOINLINE void operator delete(void* p, std::size_t) noexcept { release(p); }
DAQEVSTAT_NOINLINE void operator delete[](void* p, std::size_t) noexcept { release(p); }
DAQEVSTAT_NOINLINE void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
DAQEVSTAT_NOINLINE void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace daqevstat {
namespace stress {
namespace {

constexpr std::int64_t kT0 = 1700000000;

// Counts (and with fail_from, fails) the allocations of this thread while it
// lives. Its state is thread-local: other threads allocate as usual.
class CountAllocations {
 public:
  explicit CountAllocations(long fail_from = 0, bool once = true) {
    t_count = 0;
    t_fail_from = fail_from;
    t_fail_once = once;
    t_counting = true;
  }
  CountAllocations(const CountAllocations&) = delete;
  CountAllocations& operator=(const CountAllocations&) = delete;
  ~CountAllocations() { stop(); }

  long stop() {
    t_counting = false;
    t_fail_from = 0;
    return t_count;
  }
};

class AllocationTest : public ::testing::Test {
 protected:
  AllocationTest() : clock_(kT0, 0), scoped_clock_(&clock_) {}

  // The next event of `stream`, its time a little behind the local clock,
  // which moves on by a few milliseconds or, now and then, past the end of
  // the lost-events period.
  vrel_time_id next_event(EventStream& stream, Rng& rng) {
    const std::uint32_t dice = rng.below(1000);
    clock_.advance_usec(dice < 2 ? 16000000 : 1000 + rng.below(5000));
    const timeval now = clock_.time_of_day();
    return stream.next(static_cast<std::uint32_t>(now.tv_sec),
                       static_cast<std::uint32_t>(now.tv_usec));
  }

  ManualClock clock_;
  ScopedLocalClock scoped_clock_;
};

// After a warm-up, counting events (through all three update forms, with
// gaps, late events, repeats and period rollovers) allocates nothing, also
// with an event-type name too long for a string's inline buffer, and also
// among many objects.
TEST_F(AllocationTest, EventsAllocateNothingAfterWarmUp) {
  EqFct ef("LOC");
  vrel_daq_event_stat s("X allocation", &ef);  // type 0xFFFFFFFF: a 27-character name
  ASSERT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
  std::atomic<std::uint32_t> numbers{1000};
  EventStream stream(11, &numbers);
  Rng rng(12);
  std::optional<daqevstat::testing::ManyObjectsAlive> others;
  for (int type : {-1, static_cast<int>(VREL_EV_BEAM_ENERGY_BYPASS), -1}) {
    SCOPED_TRACE(type);
    // The last round among many objects.
    if (type == -1 && s.get_total_events() > 0) others.emplace();
    s.set_event_type(type);
    for (int i = 0; i < 3000; ++i) feed(s, next_event(stream, rng), static_cast<unsigned>(i));
    const time_t rollovers_before = s.get_period_start();
    long allocations = 0;
    {
      CountAllocations counting;
      for (int i = 0; i < 10000; ++i) feed(s, next_event(stream, rng), static_cast<unsigned>(i));
      allocations = counting.stop();
    }
    EXPECT_EQ(0, allocations);
    EXPECT_GT(s.get_period_start(), rollovers_before);
  }
  EXPECT_GT(s.get_total_events(), 10000);
}

// Statistics objects built with and without a location, saved on and off,
// switched on and off by clients, fed, reset and destroyed many times give
// back every block they took.
TEST_F(AllocationTest, CreateSwitchDestroyLeaksNothing) {
  long baseline = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    SCOPED_TRACE(cycle);
    if (cycle == 1) baseline = g_live.load();  // after lazy first-use allocations
    {
      auto ef = std::make_unique<EqFct>("LOC");
      if (cycle % 3 == 0) ef->config().load_text("X.STAT.ON 1\n", "saved");
      EqFct* location = cycle % 4 == 3 ? nullptr : ef.get();
      auto s = cycle % 2 == 0 ? std::make_unique<vrel_daq_event_stat>("X leak check", location)
                              : std::make_unique<vrel_daq_event_stat>("X leak check", location, 1);
      for (int round = 0; round < 3; ++round) {
        if (location != nullptr) {
          EXPECT_EQ(0, remote_set_int(*ef, "X.STAT.ON", 1));
          int value = 0;
          EXPECT_EQ(0, remote_get_int(*ef, "X.STAT.EV.TOTAL", &value));
        } else {
          s->on_->set_value(1);  // the first event builds the set
        }
        for (std::uint32_t n = 1; n < 40; n += 1 + n % 3) {
          vrel_time_id tid{n, {static_cast<std::uint32_t>(kT0), n}};
          EXPECT_FALSE(s->update_by_tid(&tid));
        }
        EXPECT_NE(nullptr, s->event_period_local_);
        s->clear(round % 2 == 0);
        if (location != nullptr) {
          EXPECT_EQ(0, remote_set_int(*ef, "X.STAT.ON", 0));
        } else {
          s->on_->set_value(0);
          s->delete_all_props();
        }
      }
      // Destroyed with the set present every other time.
      if (cycle % 2 == 0) s->create_all_props();
    }
    if (cycle >= 1) {
      EXPECT_EQ(baseline, g_live.load());
    }
  }
}

// A scenario of out-of-memory injection: how the object is switched on, and
// whether only the n-th allocation fails or every one from it on.
struct Scenario {
  const char* name;
  bool saved_on;  // on from the configuration: the constructor builds the set
  bool once;
};

// Builds a statistics object and switches it on (by a client, or from its
// saved value) with allocation `fail_at` failing (0: none), then checks that
// whatever failed left no lock held and no registration without its object,
// that every published property answers, and that a client can still switch
// the object on completely. Returns whether the run got through without
// reaching allocation `fail_at`.
bool build_and_switch_on(const Scenario& scenario, long fail_at) {
  SCOPED_TRACE(std::string(scenario.name) + ", allocation " + std::to_string(fail_at));
  EqFct ef("LOC");
  if (scenario.saved_on) ef.config().load_text("X.STAT.ON 1\n", "saved");
  const std::string name = "X out of memory";
  std::unique_ptr<vrel_daq_event_stat> s;
  EqData in;
  EqData out;
  in.set(1);
  bool failed = false;
  long allocations = 0;
  {
    CountAllocations counting(fail_at, scenario.once);
    try {
      s = std::make_unique<vrel_daq_event_stat>(name.c_str(), &ef);
      if (!scenario.saved_on) ef.remote_set("X.STAT.ON", &in, &out);
    } catch (const std::bad_alloc&) {
      failed = true;  // from the constructor, or the failure reply itself failed
    }
    allocations = counting.stop();
  }
  const bool completed = fail_at == 0 || allocations < fail_at;
  if (completed) {
    EXPECT_FALSE(failed || out.error() != 0);
  }

  if (s == nullptr) {
    EXPECT_TRUE(failed);
    EXPECT_TRUE(ef.property_names().empty());
    return completed;
  }
  EXPECT_TRUE(lock_is_free(*s));
  if (out.error() != 0) {
    EXPECT_EQ(internal_error, out.error());
    EXPECT_EQ("std::bad_alloc", out.error_text());
  }
  for (const std::string& prop : property_names_of("X")) {
    EqData get_in;
    EqData get_out;
    ef.remote_get(prop, &get_in, &get_out);
    if (get_out.error() != unknown_property) {
      EXPECT_EQ(0, get_out.error()) << prop;
    }
  }
  // Whatever failed, a client's switch-on completes the set (a saved switch
  // value lost to the failure included).
  if (s->on_->value() != 0) {
    EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 0));
  }
  EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
  EXPECT_EQ(property_names_of("X"), ef.property_names());
  EXPECT_EQ(15, s->lost_event_period_->value());
  vrel_time_id first{1, {static_cast<std::uint32_t>(kT0), 0}};
  vrel_time_id second{4, {static_cast<std::uint32_t>(kT0), 0}};
  EXPECT_FALSE(s->update_by_tid(&first));
  EXPECT_FALSE(s->update_by_tid(&second));
  EXPECT_EQ(2, s->total_lost_events_->value());
  s.reset();
  EXPECT_TRUE(ef.property_names().empty());
  return completed;
}

// Every allocation of building a statistics object and switching it on fails
// in turn, alone or with every later one: the checks above hold each time,
// and every block is given back.
TEST_F(AllocationTest, OutOfMemoryAnywhereInConstructionAndSwitchOn) {
  const Scenario scenarios[] = {{"switch-on by client, one failure", false, true},
                                {"switch-on by client, failures from n on", false, false},
                                {"saved on, one failure", true, true},
                                {"saved on, failures from n on", true, false}};
  for (const Scenario& scenario : scenarios) {
    build_and_switch_on(scenario, 0);  // first-use allocations happen here
    const long baseline = g_live.load();
    bool completed = false;
    long n = 1;
    for (; !completed && n < 100000; ++n) {
      completed = build_and_switch_on(scenario, n);
      EXPECT_EQ(baseline, g_live.load()) << scenario.name << ", allocation " << n;
      if (::testing::Test::HasFailure()) return;  // one report, not thousands
    }
    EXPECT_TRUE(completed) << scenario.name;
    EXPECT_GT(n, 50) << scenario.name;  // the run did reach the library
  }
}

}  // namespace
}  // namespace stress
}  // namespace daqevstat
