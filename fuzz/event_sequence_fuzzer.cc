// Arbitrary sequences of events (all three update operations), switch and
// period writes, resets and event-type changes against one statistics object
// on a manual clock. After every step the harness compares the object with a
// small model of what it must have counted and aborts on a difference:
//   (1) the events counted since the last reset (creation of the property set
//       included) equal the member total and <base>.STAT.EV.TOTAL;
//   (2) the latency distribution holds one sample per counted event, the two
//       period distributions one per counted event after the first;
//   (3) the ring holds only numbers counted since the last reset, seen
//       through is_late_event, and so the lost-event total, the number step
//       and the overall lost percentage are exactly what those numbers give;
//   (4) the property set exists as a whole or not at all; after a remote
//       switch write that found the switch and the set agreeing, the set
//       exists exactly when the switch is on; after an update with the
//       switch on, it exists;
//   (5) the period length stays above 0 and the events of the current period
//       never exceed the events counted.

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_data.h"
#include "eq_errors.h"
#include "eq_fct.h"
#include "event.h"
#include "fuzz_input.h"
#include "local_clock.h"
#include "quelmar_types.h"
#include "vrel_daq_event_stat.h"

namespace {

using daqevstat::fuzz::fill_request;
using daqevstat::fuzz::FuzzInput;

constexpr std::int64_t kUsecPerSec = 1000000;
// The clock stays within [1 s, 2^40 s]: a local time of 0 s would read as "no
// previous arrival", which no real clock gives.
constexpr std::int64_t kMinClockUsec = kUsecPerSec;
constexpr std::int64_t kMaxClockUsec = (std::int64_t{1} << 40) * kUsecPerSec;

// What the statistics must hold, rebuilt from the operations alone.
struct Model {
  std::int64_t count = 0;
  std::uint32_t cur = 0;    // last counted number, 0 after a reset
  std::uint32_t first = 0;  // smallest counted number, 0 when none
  std::uint32_t prev = 0;   // reference for gaps
  std::uint32_t ring[32] = {};
  std::int32_t lost = 0;

  void reset() { *this = Model(); }

  // The ring slot holding the number just below the current one.
  bool late() const { return ring[(cur - 1u) & 31u] + 1u == cur; }

  // Returns the number step to the reference, or nullopt for the first event
  // after a reset, which has none.
  std::optional<std::int32_t> count_event(std::uint32_t number) {
    ++count;
    cur = number;
    ring[number & 31u] = number;
    if (first == 0 || number < first) first = number;
    if (prev == 0) {
      prev = number;
      return std::nullopt;
    }
    const auto val = static_cast<std::int32_t>(number - prev);
    if (val > 1 && !late()) {
      const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(lost) +
                                               static_cast<std::uint32_t>(val) - 1u);
      if (n >= 0) lost = n;
    } else if (val < 0) {
      lost = static_cast<std::int32_t>(static_cast<std::uint32_t>(lost) - 1u);
    }
    if (val >= 0) prev = number;
    return val;
  }
};

double sum(const std::vector<double>& bins) {
  double total = 0.0;
  for (double bin : bins) total += bin;
  return total;
}

class Harness {
 public:
  explicit Harness(FuzzInput& in)
      : in_(in), clock_(1000000000 + in.take<std::uint16_t>(), 0), scoped_(&clock_) {
    stat_ = std::make_unique<vrel_daq_event_stat>("FZ fuzzed statistics", &location_,
                                                  static_cast<int>(in.interesting_int()));
  }

  ~Harness() {
    // Destroyed before the location it registered with.
    stat_.reset();
  }

  void step() {
    switch (in_.u8() % 12) {
      case 0:
      case 1:
      case 2: {
        vrel_time_id tid = next_record();
        const bool null = in_.u8() == 0xff;
        const bool result = stat_->update_by_tid(null ? nullptr : &tid);
        after_update(null ? nullptr : &tid, true, result);
        break;
      }
      case 3: {
        const vrel_time_id tid = next_record();
        vrel_eventheader header{};
        header.pattern = in_.take<std::uint32_t>();
        header.event_number = tid.event_number;
        header.event_type = static_cast<VREL_EVTYPE>(in_.take<std::int32_t>() & 0x3f);
        header.event_time = tid.time;
        const bool null = in_.u8() == 0xff;
        const bool result = stat_->update(null ? nullptr : &header);
        after_update(&tid, !null, result);
        break;
      }
      case 4: {
        const vrel_time_id tid = next_record();
        vrel_serv_block_head_2010 block{};
        block.time = tid.time;
        block.mpulse = static_cast<std::int32_t>(tid.event_number);
        const bool null = in_.u8() == 0xff;
        const bool result = stat_->update(null ? nullptr : &block);
        after_update(&tid, !null, result);
        break;
      }
      case 5:
        write_switch();
        break;
      case 6:
        write_period();
        break;
      case 7:
        stat_->clear(in_.flag());
        model_.reset();
        break;
      case 8:
        stat_->set_event_type(static_cast<int>(in_.interesting_int()));
        break;
      case 9:
      case 10:
        move_clock();
        break;
      default:
        // A switch value that arrives without a remote write, as a restored
        // setting would: the set follows only at the next event.
        stat_->on_->set_value(static_cast<int>(in_.interesting_int() % 3));
        break;
    }
    check();
  }

 private:
  bool set_exists() const { return stat_->event_period_local_ != nullptr; }

  // Mostly numbers near the last one, so that gaps, repeats, late and
  // backward events and the 2^32 wrap all come up.
  vrel_time_id next_record() {
    vrel_time_id tid{};
    const std::uint8_t mode = in_.u8();
    switch (mode % 6) {
      case 0:
        tid.event_number =
            model_.cur + static_cast<std::uint32_t>(static_cast<std::int8_t>(in_.u8()));
        break;
      case 1:
      case 2:
        tid.event_number = last_fed_ + 1u + in_.u8() % 4u;
        break;
      case 3:
        tid.event_number = 0xffffffffu - in_.u8() % 8u;
        break;
      case 4:
        tid.event_number = in_.u8() % 40u;
        break;
      default:
        tid.event_number = in_.take<std::uint32_t>();
        break;
    }
    last_fed_ = tid.event_number;
    const timeval now = clock_.time_of_day();
    switch ((mode >> 3) % 4) {
      case 0:
      case 1:
        tid.time.timeup = static_cast<std::uint32_t>(now.tv_sec) -
                          static_cast<std::uint32_t>(static_cast<std::int8_t>(in_.u8()));
        tid.time.timelow = in_.take<std::uint32_t>() % kUsecPerSec;
        break;
      case 2:
        tid.time.timeup = in_.u8() % 2u;
        tid.time.timelow = in_.take<std::uint32_t>();
        break;
      default:
        tid.time.timeup = in_.take<std::uint32_t>();
        tid.time.timelow = in_.take<std::uint32_t>();
        break;
    }
    return tid;
  }

  // `tid` is the record the update saw after reduction (null for a null
  // record); `reached` is false for a null header, which returns before
  // anything else happens.
  void after_update(const vrel_time_id* tid, bool reached, bool result) {
    if (!reached) {
      FUZZ_CHECK(result);
      return;
    }
    const bool on = stat_->on_->value() != 0;
    // The update completed a missing set, and creating it resets.
    if (on && created_by_update_) model_.reset();
    bool expected;
    if (!on) {
      expected = false;
    } else if (tid == nullptr || tid->event_number == 0 || tid->time.timeup == 0 ||
               tid->event_number == model_.cur) {
      expected = true;
    } else {
      const std::optional<std::int32_t> val = model_.count_event(tid->event_number);
      expected = false;
      if (val) {
        // The difference and the overall percentage follow every counted
        // event that has a reference.
        FUZZ_CHECK(stat_->event_id_diff_->value() == static_cast<float>(*val));
        FUZZ_CHECK(stat_->lost_events_perc_total_->value() ==
                   static_cast<float>(model_.lost) / static_cast<float>(model_.count) * 100.0f);
      }
    }
    FUZZ_CHECK(result == expected);
    if (on) FUZZ_CHECK(set_exists());
  }

  void write_switch() {
    EqData request;
    if (in_.flag()) {
      fill_request(in_, request);
    } else {
      request.set(static_cast<int>(in_.u8() % 3));
    }
    const int param = request.get_int();
    const int old = stat_->on_->value();
    const bool agreed = (old != 0) == set_exists();
    EqData reply;
    location_.remote_set("FZ.STAT.ON", &request, &reply);
    FUZZ_CHECK(reply.error() == 0 && reply.get_int() == param);
    FUZZ_CHECK(stat_->on_->value() == param);
    if (old == 0 && param != 0) model_.reset();
    if (agreed) FUZZ_CHECK((param != 0) == set_exists());
  }

  void write_period() {
    EqData request;
    if (in_.flag()) {
      fill_request(in_, request);
    } else {
      request.set(static_cast<int>(static_cast<std::int8_t>(in_.u8())));
    }
    const bool existed = set_exists();
    const int before = existed ? stat_->lost_event_period_->value() : 0;
    EqData reply;
    location_.remote_set("FZ.STAT.EV.LOST.PERIOD", &request, &reply);
    if (!existed) {
      FUZZ_CHECK(reply.error() == unknown_property);
      return;
    }
    const int param = request.get_int();
    FUZZ_CHECK(stat_->lost_event_period_->value() == (param > 0 ? param : before));
  }

  void move_clock() {
    const timeval now = clock_.time_of_day();
    std::int64_t usec = now.tv_sec * kUsecPerSec + now.tv_usec;
    switch (in_.u8() % 4) {
      case 0:
        usec += in_.take<std::uint16_t>();  // under 66 ms
        break;
      case 1:
        usec += static_cast<std::int64_t>(in_.u8()) * kUsecPerSec / 8;  // up to 32 s
        break;
      case 2:
        usec -= static_cast<std::int64_t>(in_.take<std::uint16_t>()) * 1000;  // back up to 66 s
        break;
      default:
        usec += in_.take<std::int32_t>() * std::int64_t{1000};
        break;
    }
    if (usec < kMinClockUsec) usec = kMinClockUsec;
    if (usec > kMaxClockUsec) usec = kMaxClockUsec;
    clock_.set(usec / kUsecPerSec, usec % kUsecPerSec);
  }

  void check() {
    FUZZ_CHECK(stat_->is_on() == (stat_->on_->value() != 0));
    FUZZ_CHECK(stat_->get_total_events() == model_.count);
    FUZZ_CHECK(stat_->get_cur_event().event_number == model_.cur);
    FUZZ_CHECK(stat_->get_first_event().event_number == model_.first);
    FUZZ_CHECK(stat_->get_prev_event().event_number == model_.prev);
    FUZZ_CHECK(stat_->is_late_event() == model_.late());
    const std::int32_t in_period = stat_->get_total_events_period();
    FUZZ_CHECK(in_period >= 0 && in_period <= model_.count);

    const void* const set[] = {stat_->current_event_,          stat_->total_events_,
                               stat_->total_lost_events_,      stat_->lost_event_period_,
                               stat_->event_latency_,          stat_->event_period_,
                               stat_->event_period_local_,     stat_->event_id_diff_,
                               stat_->lost_events_perc_total_, stat_->lost_events_perc_period_};
    const bool exists = set_exists();
    for (const void* prop : set) FUZZ_CHECK((prop != nullptr) == exists);
    // Updates that find the switch on and the set missing create it first;
    // remember whether the next one will.
    created_by_update_ = !exists;
    if (!exists) return;

    FUZZ_CHECK(stat_->total_events_->value() == static_cast<int>(model_.count));
    FUZZ_CHECK(stat_->total_lost_events_->value() == model_.lost);
    FUZZ_CHECK(stat_->lost_event_period_->value() > 0);
    const double after_first = model_.count > 0 ? static_cast<double>(model_.count - 1) : 0.0;
    FUZZ_CHECK(sum(stat_->event_latency_->bins()) == static_cast<double>(model_.count));
    FUZZ_CHECK(sum(stat_->event_period_->bins()) == after_first);
    FUZZ_CHECK(sum(stat_->event_period_local_->bins()) == after_first);
    if (model_.count > 0) {
      const EqData::UstrElement record = stat_->current_event_->snapshot();
      FUZZ_CHECK(record.i1 == static_cast<int>(model_.cur));
      FUZZ_CHECK(record.f1 == static_cast<float>(model_.count));
    }
  }

  FuzzInput& in_;
  daqevstat::ManualClock clock_;
  daqevstat::ScopedLocalClock scoped_;
  EqFct location_{"FUZZ"};
  std::unique_ptr<vrel_daq_event_stat> stat_;
  Model model_;
  std::uint32_t last_fed_ = 0;
  bool created_by_update_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  daqevstat::fuzz::silence_output_once();

  FuzzInput in(data, size);
  Harness harness(in);
  for (int steps = 0; steps < 200 && !in.empty(); ++steps) harness.step();
  return 0;
}
