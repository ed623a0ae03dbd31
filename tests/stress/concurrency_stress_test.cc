#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"
#include "local_clock.h"
#include "stress_support.h"
#include "support/many_objects.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace stress {
namespace {

// Sized to finish in seconds under ThreadSanitizer on two shared cores.
constexpr int kEventsPerThread = 36000;
constexpr int kRequestsPerThread = 9000;
constexpr int kResetOps = 9000;
constexpr int kRebuilds = 120;
constexpr int kRequestsPerRebuild = 40;
constexpr int kConstructions = 1000;
// Far beyond any run that is merely slow.
constexpr std::chrono::seconds kWatchdogLimit{240};

double spectrum_sum(const D_spectrum* s) {
  double total = 0;
  for (double bin : s->bins()) total += bin;
  return total;
}

// Current wall-clock time as an event time.
time_stamp now_stamp() {
  const timeval tv = local_time_of_day();
  return time_stamp{static_cast<std::uint32_t>(tv.tv_sec), static_cast<std::uint32_t>(tv.tv_usec)};
}

// One statistics object that threads call directly. Direct callers (updates,
// clear, set_event_type) hold `mutex` shared; the rebuilder holds it
// exclusively to destroy and rebuild `stat`, so no direct call overlaps the
// destructor. Remote calls by name need no such guard.
struct Slot {
  explicit Slot(std::string b, std::uint32_t first_number) : base(std::move(b)) {
    numbers = first_number;
  }
  const std::string base;
  std::shared_mutex mutex;
  std::unique_ptr<vrel_daq_event_stat> stat;  // guarded by mutex
  std::atomic<std::uint32_t> numbers{0};      // event numbers handed out so far
};

// The request one remote call carries: every kind of payload a client may
// send, erroneous ones included.
EqData request_of(Rng& rng, const std::string& suffix) {
  EqData in;
  switch (rng.below(12)) {
    case 0:
      break;  // empty
    case 1:
      in.set("on");
      break;
    case 2:
      in.set(2.9f);
      break;
    case 3:
      in.set(-7.5);
      break;
    case 4:
      in.set_int_array(DATA_A_LONG, std::vector<long long>(rng.below(5), 3));
      break;
    case 5:
      in.set_iiii(1, 2, 3, 4);
      break;
    case 6:
      in.set(static_cast<long long>(1) << 32 | 1);
      break;
    case 7:
      in.set(0);
      in.error(ill_parameter, "broken input");
      break;
    default: {
      // Integers that matter to the property: switch states, period lengths
      // (0 and negatives are refused), arbitrary counter values.
      static const int kSwitch[] = {0, 1, 0, 1, 7, -1};
      static const int kPeriod[] = {0, -5, 30, 1, 15, 2};
      if (suffix == ".STAT.ON") {
        in.set(kSwitch[rng.below(6)]);
      } else if (suffix == ".STAT.EV.LOST.PERIOD") {
        in.set(kPeriod[rng.below(6)]);
      } else {
        in.set(static_cast<int>(rng.below(1000)) - 500);
      }
      break;
    }
  }
  return in;
}

// Whether `code` is an acceptable reply to a remote call on `suffix`: the
// property may be absent (switched off, or its object being rebuilt), and
// the host's spectrum and float properties are read-only; anything else,
// above all an exception turned into internal_error, is a fault.
bool acceptable_reply(int code, const std::string& suffix, bool is_set) {
  if (code == 0 || code == unknown_property) return true;
  const bool host_property = suffix.find(".TD") != std::string::npos || suffix == ".STAT.EV.DIFF" ||
                             suffix == ".STAT.EV.LOST.PERC" || suffix == ".STAT.EV.LOST.PRD.PERC";
  return is_set && host_property && code == read_only;
}

class ConcurrencyStressTest : public ::testing::Test {
 protected:
  ConcurrencyStressTest() : ef_("STRESS") {
    // "A" comes up switched on from its saved setting, "B" switched off.
    ef_.config().load_text("A.STAT.ON 1\n", "saved");
  }

  void build(Slot& slot, int generation) {
    const std::string name = slot.base + " statistics under stress";
    if (generation % 2 == 0) {
      slot.stat = std::make_unique<vrel_daq_event_stat>(name.c_str(), &ef_);
    } else {
      slot.stat = std::make_unique<vrel_daq_event_stat>(name.c_str(), &ef_, VREL_EV_NORMAL);
    }
  }

  // One remote call on a random property of `slot`, as a client makes it;
  // `writes` allows sets. Reports faulty replies to `workers`.
  void remote_call(Rng& rng, Slot& slot, bool writes, Workers& workers, Progress& p) {
    remote_call(rng, slot.base, property_suffixes()[rng.below(11)], writes, workers, p);
  }

  void remote_call(Rng& rng, const std::string& base, const std::string& suffix, bool writes,
                   Workers& workers, Progress& p) {
    const std::string name = base + suffix;
    EqData in = request_of(rng, suffix);
    EqData out;
    const std::uint32_t op = rng.below(writes ? 10 : 6);
    bool is_set = false;
    if (op < 4) {
      p.step = "remote_get";
      ef_.remote_get(name, rng.below(8) == 0 ? nullptr : &in, &out);
    } else if (op < 6) {
      p.step = "remote_get_multi";
      ef_.remote_get_multi(name, &in, &out, static_cast<int>(rng.below(4)), 1700000000);
    } else {
      p.step = "remote_set";
      is_set = true;
      ef_.remote_set(name, &in, &out);
    }
    if (!acceptable_reply(out.error(), suffix, is_set)) {
      workers.fail(std::string(p.step.load()) + " " + name + ": error " +
                   std::to_string(out.error()) + " " + out.error_text());
      return;
    }
    if (out.error() != 0 || op >= 4) return;
    // Counters never go below 0; the period is never stored below 1 (it
    // reads 0 only between its registration and its default).
    if ((suffix == ".STAT.EV.TOTAL" || suffix == ".STAT.EV.LOST.PERIOD") && out.get_int() < 0) {
      workers.fail(name + " read " + std::to_string(out.get_int()));
    }
  }

  // Checks that a quiescent object's registrations, property set and totals
  // agree with each other.
  void expect_consistent(Slot& slot) {
    SCOPED_TRACE(slot.base);
    vrel_daq_event_stat& s = *slot.stat;
    const bool present = s.event_period_local_ != nullptr;
    const std::vector<void*> set = {s.current_event_,          s.total_events_,
                                    s.total_lost_events_,      s.lost_event_period_,
                                    s.event_latency_,          s.event_period_,
                                    s.event_period_local_,     s.event_id_diff_,
                                    s.lost_events_perc_total_, s.lost_events_perc_period_};
    for (void* p : set) EXPECT_EQ(present, p != nullptr) << "a partial property set";
    std::vector<std::string> expected = property_names_of(slot.base);
    if (!present) expected.resize(1);
    EXPECT_EQ(expected, registered_with_prefix(ef_, slot.base));
    if (!present) return;
    const std::int64_t total = s.get_total_events();
    EXPECT_EQ(static_cast<int>(total), s.total_events_->value());
    EXPECT_EQ(static_cast<double>(total), spectrum_sum(s.event_latency_));
    const double after_first = total > 0 ? static_cast<double>(total - 1) : 0.0;
    EXPECT_EQ(after_first, spectrum_sum(s.event_period_));
    EXPECT_EQ(after_first, spectrum_sum(s.event_period_local_));
  }

  EqFct ef_;
};

// Two event threads, three client threads, one thread resetting and
// relabelling, and one rebuilding the objects, all at once on one location,
// among many other objects (so the events ask for their lines ahead of the
// lock, sets coming and going). The run must end (the watchdog aborts a
// deadlock), raise no fault in any reply, and leave every object with
// registrations and totals that agree.
TEST_F(ConcurrencyStressTest, EverythingAtOnceEndsConsistent) {
  const testing::ManyObjectsAlive others;
  // A near the 2^32 wrap, so its numbers wrap during the run.
  Slot slots[2] = {Slot("A", 0xFFFFFFFFu - 9000u), Slot("B", 1000u)};
  for (int i = 0; i < 2; ++i) build(slots[i], i);

  Workers workers(kWatchdogLimit);
  std::atomic<long> counted{0};
  std::atomic<long> switch_writes{0};

  for (int t = 0; t < 2; ++t) {
    workers.add("events-" + std::to_string(t), [&, t](Progress& p) {
      Rng rng(100 + t);
      EventStream streams[2] = {EventStream(200 + t, &slots[0].numbers),
                                EventStream(300 + t, &slots[1].numbers)};
      for (int i = 0; i < kEventsPerThread; ++i) {
        p.iteration = i;
        const std::uint32_t k = rng.below(2);
        const time_stamp t0 = now_stamp();
        const vrel_time_id tid = streams[k].next(t0.timeup, t0.timelow);
        p.step = "waiting for the object";
        std::shared_lock<std::shared_mutex> lock(slots[k].mutex);
        if (slots[k].stat == nullptr) continue;
        p.step = "update";
        if (!feed(*slots[k].stat, tid, static_cast<unsigned>(i))) ++counted;
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    workers.add("client-" + std::to_string(r), [&, r](Progress& p) {
      Rng rng(400 + r);
      for (int i = 0; i < kRequestsPerThread; ++i) {
        p.iteration = i;
        Slot& slot = slots[rng.below(2)];
        // Every fourth call writes the switch, so it toggles many times.
        if (rng.below(4) == 0) {
          p.step = "switch write";
          ++switch_writes;
          int reply = 0;
          const int code = remote_set_int(ef_, slot.base + ".STAT.ON", rng.below(2), &reply);
          if (code != 0 && code != unknown_property) {
            workers.fail("switch write: error " + std::to_string(code));
          }
          continue;
        }
        remote_call(rng, slot, true, workers, p);
      }
    });
  }
  workers.add("reset", [&](Progress& p) {
    Rng rng(500);
    for (int i = 0; i < kResetOps; ++i) {
      p.iteration = i;
      Slot& slot = slots[rng.below(2)];
      p.step = "waiting for the object";
      std::shared_lock<std::shared_mutex> lock(slot.mutex);
      if (slot.stat == nullptr) continue;
      vrel_daq_event_stat& s = *slot.stat;
      switch (rng.below(6)) {
        case 0:
          p.step = "clear(true)";
          s.clear(true);
          break;
        case 1:
          p.step = "clear(false)";
          s.clear(false);
          break;
        case 2:
          p.step = "set_event_type";
          s.set_event_type(static_cast<int>(rng.below(40)) - 1);
          break;
        case 3:
          p.step = "is_late_event";
          s.is_late_event();
          break;
        case 4:
          p.step = "is_on";
          s.is_on();
          break;
        default:
          p.step = "get_total_events";
          if (s.get_total_events() < 0) workers.fail("negative event total");
          break;
      }
    }
  });
  workers.add("rebuild", [&](Progress& p) {
    Rng rng(600);
    for (int i = 0; i < kRebuilds; ++i) {
      p.iteration = i;
      Slot& slot = slots[i % 2];
      {
        p.step = "waiting to rebuild";
        std::unique_lock<std::shared_mutex> lock(slot.mutex);
        p.step = "destroy";
        slot.stat.reset();
        // Remote calls cannot register anything: whatever is left of the
        // object's names is a registration that outlived it.
        if (!registered_with_prefix(ef_, slot.base).empty()) {
          workers.fail(slot.base + " left properties registered after destruction");
        }
        p.step = "construct";
        build(slot, i / 2 + 1);
      }
      for (int j = 0; j < kRequestsPerRebuild; ++j) {
        remote_call(rng, slots[rng.below(2)], false, workers, p);
      }
    }
  });

  workers.run();

  for (const std::string& failure : workers.failures()) ADD_FAILURE() << failure;
  RecordProperty("counted_events", std::to_string(counted.load()));
  RecordProperty("switch_writes", std::to_string(switch_writes.load()));
  EXPECT_GT(counted.load(), 0);
  EXPECT_GT(switch_writes.load(), 100);
  for (Slot& slot : slots) expect_consistent(slot);
  for (Slot& slot : slots) slot.stat.reset();
  EXPECT_TRUE(ef_.property_names().empty());
}

// Objects built and destroyed while two clients keep writing their switch:
// a write may arrive as soon as the switch is registered, in the middle of
// the construction. Whatever it does, the construction must not lose a set
// the write created (it would stay registered after the destruction), and
// nothing may race (ThreadSanitizer).
TEST_F(ConcurrencyStressTest, ConstructionOverlapsSwitchWrites) {
  std::atomic<bool> building{true};
  std::atomic<long> reached{0};  // writes that found a switch
  Workers workers(kWatchdogLimit);
  workers.add("builder", [&](Progress& p) {
    for (int i = 0; i < kConstructions; ++i) {
      p.iteration = i;
      p.step = "construct";
      auto s = i % 2 == 0 ? std::make_unique<vrel_daq_event_stat>("B overlap", &ef_)
                          : std::make_unique<vrel_daq_event_stat>("B overlap", &ef_, 1);
      // Alive for a while, so that writes reach it.
      p.step = "read";
      for (int j = 0; j < 10; ++j) remote_get_int(ef_, "B.STAT.EV.TOTAL");
      p.step = "destroy";
      s.reset();
      if (!registered_with_prefix(ef_, "B").empty()) {
        workers.fail("properties left registered after destruction " + std::to_string(i));
      }
    }
    building = false;
  });
  for (int c = 0; c < 2; ++c) {
    workers.add("client-" + std::to_string(c), [&, c](Progress& p) {
      // Bounded by a count too, in case the builder stops early.
      for (int i = 0; building && i < 100 * kConstructions; ++i) {
        p.iteration = i;
        p.step = "switch write";
        const int code = remote_set_int(ef_, "B.STAT.ON", (i + c) % 2);
        if (code == 0) ++reached;
        if (code != 0 && code != unknown_property) {
          workers.fail("switch write: error " + std::to_string(code));
        }
      }
    });
  }
  workers.run();
  for (const std::string& failure : workers.failures()) ADD_FAILURE() << failure;
  RecordProperty("writes_that_found_a_switch", std::to_string(reached.load()));
  EXPECT_TRUE(ef_.property_names().empty());
}

// One event thread, never switching, with clients reading and making writes
// that must change nothing: the totals must be exactly those of an
// independent count of the same stream under the same manual clock, rolling
// the lost-events period over many times.
TEST_F(ConcurrencyStressTest, SingleEventThreadCountsExactly) {
  ManualClock clock(1700000000, 0);
  ScopedLocalClock scoped(&clock);
  Slot slot("A", 0xFFFFFFFFu - 5000u);
  build(slot, 0);
  vrel_daq_event_stat& s = *slot.stat;
  ASSERT_NE(nullptr, s.event_period_local_);

  ReferenceModel model;
  Workers workers(kWatchdogLimit);
  workers.add("events", [&](Progress& p) {
    Rng rng(700);
    EventStream stream(701, &slot.numbers);
    for (int i = 0; i < kEventsPerThread; ++i) {
      p.iteration = i;
      // Mostly a few milliseconds apart; now and then a pause that ends the
      // 15 s period, or one that ends just inside it.
      const std::uint32_t dice = rng.below(1000);
      clock.advance_usec(dice < 3 ? 16000000 : dice < 5 ? 14999000 : 1000 + rng.below(5000));
      const timeval local = clock.time_of_day();
      // Event times lag the local clock by up to 3 ms.
      const std::int64_t event_usec =
          static_cast<std::int64_t>(local.tv_sec) * 1000000 + local.tv_usec - rng.below(3000);
      const vrel_time_id tid = stream.next(static_cast<std::uint32_t>(event_usec / 1000000),
                                           static_cast<std::uint32_t>(event_usec % 1000000));
      p.step = "update";
      const bool counted = !feed(s, tid, static_cast<unsigned>(i));
      const bool expected = model.count(tid, static_cast<std::int64_t>(local.tv_sec));
      if (counted != expected) {
        workers.fail("event " + std::to_string(tid.event_number) + " at " + std::to_string(i) +
                     (expected ? " was not counted" : " was counted"));
      }
    }
  });
  for (int r = 0; r < 2; ++r) {
    workers.add("client-" + std::to_string(r), [&, r](Progress& p) {
      Rng rng(800 + r);
      for (int i = 0; i < kRequestsPerThread; ++i) {
        p.iteration = i;
        const std::string& suffix = property_suffixes()[rng.below(11)];
        if (suffix == ".STAT.ON") {
          p.step = "switch read";
          int value = 0;
          const int code = remote_get_int(ef_, slot.base + suffix, &value);
          if (code != 0 || value != 1) {
            workers.fail("switch read " + std::to_string(value) + ", error " +
                         std::to_string(code));
          }
          continue;
        }
        if (suffix == ".STAT.EV.LOST.PERIOD") {
          // Only writes that the period refuses.
          static const int kRefused[] = {0, -5, -1000};
          EqData in;
          EqData out;
          in.set(kRefused[rng.below(3)]);
          if (rng.below(2) == 0) in.error(ill_parameter, "broken input");
          p.step = "refused period write";
          ef_.remote_set(slot.base + suffix, &in, &out);
          if (out.error() != 0 || out.get_int() != 15) {
            workers.fail("period write replied " + std::to_string(out.get_int()) + ", error " +
                         std::to_string(out.error()));
          }
          continue;
        }
        // Counters and the event information ignore writes.
        remote_call(rng, slot.base, suffix, true, workers, p);
      }
    });
  }
  workers.run();
  for (const std::string& failure : workers.failures()) ADD_FAILURE() << failure;

  EXPECT_EQ(model.total, s.get_total_events());
  EXPECT_GT(model.total, kEventsPerThread / 2);
  EXPECT_EQ(static_cast<int>(model.total), s.total_events_->value());
  EXPECT_EQ(model.lost, s.total_lost_events_->value());
  EXPECT_EQ(model.cur, s.get_cur_event().event_number);
  EXPECT_EQ(model.prev, s.get_prev_event().event_number);
  EXPECT_EQ(model.first, s.get_first_event().event_number);
  EXPECT_EQ(model.period_start, s.get_period_start());
  EXPECT_EQ(model.lost_period, s.get_lost_events_period());
  EXPECT_EQ(model.total_period, s.get_total_events_period());
  EXPECT_FLOAT_EQ(model.diff, s.event_id_diff_->value());
  EXPECT_FLOAT_EQ(model.perc_total, s.lost_events_perc_total_->value());
  EXPECT_FLOAT_EQ(model.perc_period, s.lost_events_perc_period_->value());
  EXPECT_EQ(static_cast<double>(model.latency_samples), spectrum_sum(s.event_latency_));
  EXPECT_EQ(static_cast<double>(model.period_samples), spectrum_sum(s.event_period_));
  EXPECT_EQ(static_cast<double>(model.local_period_samples), spectrum_sum(s.event_period_local_));
  EXPECT_EQ(model.total - 1, model.period_samples);
  const USTR* info = s.current_event_->value();
  EXPECT_EQ(static_cast<int>(model.cur), info->i1_data);
  EXPECT_FLOAT_EQ(static_cast<float>(model.total), info->f1_data);
  // The period started over several times; the run must have covered that.
  EXPECT_GT(model.period_start, 1700000000 + 15);
}

}  // namespace
}  // namespace stress
}  // namespace daqevstat
