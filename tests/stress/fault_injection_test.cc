#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "d_hist.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "eq_fct.h"
#include "local_clock.h"
#include "stress_support.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace stress {
namespace {

constexpr char kFault[] = "Archiving failed with wrong archiver data type";
constexpr char kRefused[] = "registration refused";
constexpr std::int64_t kT0 = 1700000000;

// A location that refuses its n-th registration (counting from 1) by
// throwing, either before or after registering the property, and that runs
// a hook on every property offered to it.
//
// Thread safety: as EqFct; the registration count is an atomic, and
// on_register is set before the location is shared.
class RefusingLocation : public EqFct {
 public:
  enum class When { before, after };

  explicit RefusingLocation(int refuse_at = 0, When when = When::before)
      : EqFct("LOC"), refuse_at_(refuse_at), when_(when) {}

  void add_property(D_fct* prop, int mode) override {
    const int n = ++registrations_;
    if (on_register) on_register(prop);
    if (n == refuse_at_ && when_ == When::before) throw std::runtime_error(kRefused);
    EqFct::add_property(prop, mode);
    if (n == refuse_at_ && when_ == When::after) throw std::runtime_error(kRefused);
  }

  std::function<void(D_fct*)> on_register;

 private:
  std::atomic<int> registrations_{0};
  const int refuse_at_;
  const When when_;
};

// Attaches to `prop` a history that refuses every sample with code 126.
D_hist* attach_failing_history(quelmar::D_value<int>* prop) {
  auto hist = std::make_unique<D_hist>("HIST", nullptr, DATA_INT);
  D_hist* raw = hist.get();
  raw->fail_with(wrong_archiver_type);
  prop->set_history(std::move(hist));
  return raw;
}

// The text of the quelmar::Error that `call` throws, or a note that it threw
// none.
template <typename Call>
std::string error_of(Call&& call) {
  try {
    call();
  } catch (const quelmar::Error& e) {
    EXPECT_EQ(e.what(), e.get_message());
    return e.what();
  }
  return "no exception";
}

double spectrum_sum(const D_spectrum* s) {
  double total = 0;
  for (double bin : s->bins()) total += bin;
  return total;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  FaultInjectionTest() : clock_(kT0, 0), scoped_clock_(&clock_) {}

  std::unique_ptr<vrel_daq_event_stat> make_on(EqFct& ef) {
    auto s = std::make_unique<vrel_daq_event_stat>("X fault injection", &ef);
    EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
    return s;
  }

  // Counts event `number`, one millisecond after the previous one.
  bool event(vrel_daq_event_stat& s, std::uint32_t number) {
    clock_.advance_usec(1000);
    const timeval now = clock_.time_of_day();
    vrel_time_id tid{
        number, {static_cast<std::uint32_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_usec)}};
    return s.update_by_tid(&tid);
  }

  // Every remote call on every name `base` may publish either answers
  // without a fault or finds no property; a dangling registration would
  // crash here (or be reported by AddressSanitizer).
  static void expect_all_answer(EqFct& ef, const std::string& base) {
    for (const std::string& name : property_names_of(base)) {
      EqData in;
      EqData out;
      ef.remote_get(name, &in, &out);
      if (out.error() != unknown_property) {
        EXPECT_EQ(0, out.error()) << name;
      }
      EqData multi;
      ef.remote_get_multi(name, &in, &multi, 0, kT0);
      if (multi.error() != unknown_property) {
        EXPECT_EQ(0, multi.error()) << name;
      }
    }
  }

  ManualClock clock_;
  ScopedLocalClock scoped_clock_;
};

// A history refusing the event total: the update throws at the store, with
// what ran before it kept and what follows it skipped; the lock is free, and
// later updates, resets and switch changes run.
TEST_F(FaultInjectionTest, FaultOnTheEventTotalStopsUpdateAndReset) {
  EqFct ef("LOC");
  auto s = make_on(ef);
  EXPECT_FALSE(event(*s, 100));
  EXPECT_FALSE(event(*s, 103));  // two lost
  attach_failing_history(s->total_events_);

  EXPECT_EQ(kFault, error_of([&] { event(*s, 105); }));
  EXPECT_TRUE(lock_is_free(*s));
  // Done before the store: the current event, the local period, the total.
  EXPECT_EQ(105u, s->get_cur_event().event_number);
  EXPECT_EQ(2.0, spectrum_sum(s->event_period_local_));
  EXPECT_EQ(3, s->get_total_events());
  EXPECT_EQ(3, s->total_events_->value());
  // Skipped: the period count, the event record, the latency, the gap.
  EXPECT_EQ(2, s->get_total_events_period());
  EXPECT_EQ(103, s->current_event_->get_int());
  EXPECT_EQ(2.0, spectrum_sum(s->event_latency_));
  EXPECT_EQ(1.0, spectrum_sum(s->event_period_));
  EXPECT_EQ(103u, s->get_prev_event().event_number);
  EXPECT_EQ(2, s->total_lost_events_->value());

  // The next update runs into the same store.
  EXPECT_EQ(kFault, error_of([&] { event(*s, 106); }));
  EXPECT_EQ(4, s->get_total_events());

  // The reset zeroes the members and the total, then stops: the lost total,
  // the spectra and the float values keep theirs.
  EXPECT_EQ(kFault, error_of([&] { s->clear(true); }));
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(0, s->get_total_events());
  EXPECT_EQ(0u, s->get_cur_event().event_number);
  EXPECT_EQ(0, s->total_events_->value());
  EXPECT_EQ(2, s->total_lost_events_->value());
  EXPECT_EQ(2.0, spectrum_sum(s->event_latency_));
  EXPECT_FLOAT_EQ(3.0f, s->event_id_diff_->value());

  // Switching off and on replaces the faulty property; counting resumes.
  EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 0));
  EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
  EXPECT_FALSE(event(*s, 200));
  EXPECT_FALSE(event(*s, 201));
  EXPECT_EQ(2, s->total_events_->value());
  EXPECT_EQ(0, s->total_lost_events_->value());
}

// A history refusing the lost total: a gap throws after the difference is
// set and before the reference moves; a late event, which stores no lost
// total, still counts; the reset stops after storing the lost total.
TEST_F(FaultInjectionTest, FaultOnTheLostTotalStopsUpdateAndReset) {
  EqFct ef("LOC");
  auto s = make_on(ef);
  EXPECT_FALSE(event(*s, 100));
  D_hist* hist = attach_failing_history(s->total_lost_events_);

  EXPECT_EQ(kFault, error_of([&] { event(*s, 104); }));
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(2, s->total_events_->value());
  EXPECT_EQ(104, s->current_event_->get_int());
  EXPECT_EQ(2.0, spectrum_sum(s->event_latency_));
  EXPECT_EQ(1.0, spectrum_sum(s->event_period_));
  EXPECT_FLOAT_EQ(4.0f, s->event_id_diff_->value());
  EXPECT_EQ(3, s->total_lost_events_->value());  // stored, then refused
  EXPECT_EQ(0, s->get_lost_events_period());     // skipped after the store
  EXPECT_FLOAT_EQ(0.0f, s->lost_events_perc_total_->value());
  EXPECT_EQ(100u, s->get_prev_event().event_number);

  // 105 follows 104, which is in the ring: late, so no store and no fault.
  EXPECT_FALSE(event(*s, 105));
  EXPECT_EQ(105u, s->get_prev_event().event_number);
  EXPECT_FLOAT_EQ(100.0f, s->lost_events_perc_total_->value());

  EXPECT_EQ(kFault, error_of([&] { s->clear(false); }));
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(0, s->total_events_->value());
  EXPECT_EQ(0, s->total_lost_events_->value());
  EXPECT_EQ(3.0, spectrum_sum(s->event_latency_));  // not emptied

  hist->fail_with(0);
  s->clear(true);
  EXPECT_EQ(0.0, spectrum_sum(s->event_latency_));
  EXPECT_FLOAT_EQ(0.0f, s->lost_events_perc_total_->value());
}

// Remote writes to a switch or period whose history refuses: a direct call
// throws the archiving error, a call by name answers code 126 with its text;
// either way the value and the property set have changed first.
TEST_F(FaultInjectionTest, FaultOnRemoteWritesKeepsTheChangeMade) {
  EqFct ef("LOC");
  auto s = std::make_unique<vrel_daq_event_stat>("X fault injection", &ef);
  attach_failing_history(s->on_);

  EqAdr adr{"LOC", "X.STAT.ON"};
  EqData in;
  EqData out;
  in.set(1);
  EXPECT_EQ(kFault, error_of([&] { s->on_->set(&adr, &in, &out, &ef); }));
  EXPECT_EQ(DATA_NULL, out.type());  // no reply was written
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(1, s->on_->value());
  EXPECT_NE(nullptr, s->event_period_local_);
  EXPECT_EQ(11u, ef.property_names().size());

  EqData by_name;
  in.set(0);
  ef.remote_set("X.STAT.ON", &in, &by_name);
  EXPECT_EQ(wrong_archiver_type, by_name.error());
  EXPECT_EQ(kFault, by_name.error_text());
  EXPECT_EQ(0, s->on_->value());
  EXPECT_EQ(nullptr, s->event_period_local_);
  EXPECT_EQ(1u, ef.property_names().size());

  EXPECT_EQ(wrong_archiver_type, remote_set_int(ef, "X.STAT.ON", 1));
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(11u, ef.property_names().size());
  EXPECT_FALSE(event(*s, 7));
  EXPECT_EQ(1, s->total_events_->value());

  // The period stores a valid value and then throws; a refused one is
  // answered normally since nothing is stored.
  attach_failing_history(s->lost_event_period_);
  EXPECT_EQ(wrong_archiver_type, remote_set_int(ef, "X.STAT.EV.LOST.PERIOD", 30));
  int reply = 0;
  EXPECT_EQ(0, remote_set_int(ef, "X.STAT.EV.LOST.PERIOD", -5, &reply));
  EXPECT_EQ(30, reply);
  EXPECT_FALSE(event(*s, 8));
  EXPECT_EQ(2, s->total_events_->value());
}

// The period default refused by its history stops the creation of the set
// after the period: switching on fails with 126 and leaves the switch off
// and four properties published; the next switch-on completes the set.
// During construction the same fault takes everything back.
TEST_F(FaultInjectionTest, FaultOnThePeriodDefaultLeavesACompletableSet) {
  RefusingLocation ef;
  ef.on_register = [](D_fct* prop) {
    if (prop->basename() == "X.STAT.EV.LOST.PERIOD") {
      attach_failing_history(dynamic_cast<D_evstat_int*>(prop));
    }
  };
  auto s = std::make_unique<vrel_daq_event_stat>("X fault injection", &ef);
  EXPECT_EQ(wrong_archiver_type, remote_set_int(ef, "X.STAT.ON", 1));
  EXPECT_TRUE(lock_is_free(*s));
  EXPECT_EQ(0, s->on_->value());
  std::vector<std::string> names = property_names_of("X");
  names.resize(5);
  EXPECT_EQ(names, ef.property_names());
  EXPECT_EQ(15, s->lost_event_period_->value());
  EXPECT_EQ(nullptr, s->event_latency_);
  EXPECT_FALSE(event(*s, 1));  // switched off: ignored
  EXPECT_EQ(0, s->get_total_events());
  expect_all_answer(ef, "X");

  EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
  EXPECT_EQ(property_names_of("X"), ef.property_names());
  EXPECT_FALSE(event(*s, 1));
  EXPECT_FALSE(event(*s, 4));
  EXPECT_EQ(2, s->total_lost_events_->value());
  s.reset();
  EXPECT_TRUE(ef.property_names().empty());

  ef.config().load_text("X.STAT.ON 1\n", "saved");
  EXPECT_THROW(vrel_daq_event_stat("X fault injection", &ef), quelmar::Error);
  EXPECT_TRUE(ef.property_names().empty());
}

// A location refusing any one registration while a switched-on object is
// built: the constructor throws and leaves nothing registered.
TEST_F(FaultInjectionTest, RefusedRegistrationDuringConstructionTakesAllBack) {
  for (RefusingLocation::When when :
       {RefusingLocation::When::before, RefusingLocation::When::after}) {
    for (int n = 1; n <= 12; ++n) {
      SCOPED_TRACE("refused registration " + std::to_string(n) +
                   (when == RefusingLocation::When::before ? " before" : " after"));
      RefusingLocation ef(n, when);
      ef.config().load_text("X.STAT.ON 1\n", "saved");
      std::unique_ptr<vrel_daq_event_stat> s;
      try {
        s = std::make_unique<vrel_daq_event_stat>("X fault injection", &ef);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(kRefused, e.what());
      }
      if (n <= 11) {
        EXPECT_EQ(nullptr, s);
        EXPECT_TRUE(ef.property_names().empty());
        expect_all_answer(ef, "X");
      } else {
        // Eleven registrations: the twelfth refusal never comes.
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(property_names_of("X"), ef.property_names());
      }
    }
  }
}

// A location refusing one registration of the set during a remote
// switch-on: the write answers the failure, the switch stays off, the lock
// is free, what was published answers; switching on again publishes the
// whole set, each property fresh (the period with its default).
TEST_F(FaultInjectionTest, RefusedRegistrationDuringSwitchOnCanBeRetried) {
  for (RefusingLocation::When when :
       {RefusingLocation::When::before, RefusingLocation::When::after}) {
    for (int entry = 1; entry <= 10; ++entry) {
      SCOPED_TRACE("refused entry " + std::to_string(entry) +
                   (when == RefusingLocation::When::before ? " before" : " after"));
      RefusingLocation ef(entry + 1, when);  // the switch is registration 1
      auto s = std::make_unique<vrel_daq_event_stat>("X fault injection", &ef);
      EqData in;
      EqData out;
      in.set(1);
      ef.remote_set("X.STAT.ON", &in, &out);
      EXPECT_EQ(internal_error, out.error());
      EXPECT_EQ(kRefused, out.error_text());
      EXPECT_TRUE(lock_is_free(*s));
      EXPECT_EQ(0, s->on_->value());
      // The entries before the refused one stay published.
      std::vector<std::string> names = property_names_of("X");
      names.resize(static_cast<std::size_t>(entry));
      EXPECT_EQ(names, ef.property_names());
      expect_all_answer(ef, "X");
      EXPECT_FALSE(event(*s, 1));
      EXPECT_EQ(0, s->get_total_events());

      EXPECT_EQ(0, remote_set_int(ef, "X.STAT.ON", 1));
      EXPECT_EQ(property_names_of("X"), ef.property_names());
      EXPECT_EQ(15, s->lost_event_period_->value());
      EXPECT_FALSE(event(*s, 1));
      EXPECT_FALSE(event(*s, 4));
      int value = 0;
      EXPECT_EQ(0, remote_get_int(ef, "X.STAT.EV.LOST", &value));
      EXPECT_EQ(2, value);
      EXPECT_EQ(0, remote_get_int(ef, "X.STAT.EV.TOTAL", &value));
      EXPECT_EQ(2, value);
      s.reset();
      EXPECT_TRUE(ef.property_names().empty());
    }
  }
}

}  // namespace
}  // namespace stress
}  // namespace daqevstat
