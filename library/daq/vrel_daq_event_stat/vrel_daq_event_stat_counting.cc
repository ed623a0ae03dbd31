#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_data.h"
#include "evutl.h"
#include "local_clock.h"
#include "lock_free.h"
#include "thread_annotations.h"
#include "vrel_daq_event_stat.h"

// The event path: what an update counts and publishes, and the reset. The
// switch (is_on) is read here too since every update reads it.
// See vrel_daq_event_stat.cc for the invariants both files keep.

using daqevstat::lock_free;

// The steps of count_event are always inlined into it, its only caller: as
// calls they would cost the event path a few nanoseconds, and as inline
// functions of an exported class they would be reached through the PLT.
#define COUNTING_STEP [[gnu::always_inline]] inline

namespace {

// Event and clock times in microseconds, in double precision.
double usec_of(const time_stamp& t) {
  return static_cast<double>(t.timeup) * 1000000.0 + static_cast<double>(t.timelow);
}

double usec_of(const timeval& t) {
  return static_cast<double>(t.tv_sec) * 1000000.0 + static_cast<double>(t.tv_usec);
}

// The same times as whole microseconds, for the integer form of a timing
// sample. An event time always has one: below 2^52, so its double form
// above is this integer exactly.
std::int64_t whole_usec_of(const time_stamp& t) {
  return static_cast<std::int64_t>(t.timeup) * 1000000 + static_cast<std::int64_t>(t.timelow);
}

// A clock reading has one when its double form is exactly the integer and
// far enough below 2^53 that the difference of two is exact too: within
// 4e9 s of the epoch (any real clock; an installed one may read anything).
bool whole_usec_of(const timeval& t, std::int64_t& usec) {
  constexpr std::int64_t kSecLimit = 4000000000;
  constexpr std::int64_t kUsecLimit = 1000000000;
  const auto sec = static_cast<std::int64_t>(t.tv_sec);
  const auto part = static_cast<std::int64_t>(t.tv_usec);
  if (sec < -kSecLimit || sec > kSecLimit || part < -kUsecLimit || part > kUsecLimit) return false;
  usec = sec * 1000000 + part;
  return true;
}

// The bin that fill_timing_spectrum picks for (later - earlier) / 1000.0 ms,
// from the exact difference in microseconds, without floating point. For an
// integer d below 2^53 in magnitude the double quotient d / 1000.0 is below
// 1.0, at or above max_len, or truncated to k exactly when d / 1000 is: it is
// never nearer than 0.001 / max_len (relative) to an integer it is not, far
// more than the rounding of one division.
std::int64_t bin_of_usec(std::int64_t d, std::int64_t max_len) {
  if (d < 1000) return 0;
  if (d >= max_len * 1000) return max_len - 1;
  return d / 1000;
}

// A clock reading as a property stamp (nanoseconds since the epoch).
quelmar::Timestamp stamp_of(const timeval& t) {
  return static_cast<quelmar::Timestamp>(t.tv_sec) * 1000000000 +
         static_cast<quelmar::Timestamp>(t.tv_usec) * 1000;
}

// The host's stamp for a store without a time, taken in a fresh scope: a
// wall-clock reading. Out of line: only an installed clock needs it.
[[gnu::noinline]] quelmar::Timestamp wall_clock_stamp() {
  const quelmar::SharedStampTime fresh(0);
  return quelmar::launder_timestamp(0);
}

// 32-bit two's-complement arithmetic without signed overflow: the sum is
// taken modulo 2^32 and read back as signed.
std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrap_sub(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b); }

}  // namespace

// --- Per-event update ------------------------------------------------------------

// The header is copied under mx. When the set is made and statistics are
// on, the event is counted in the same hold of mx: releasing it only to
// take it again would cost the event a second pair of atomic instructions,
// and the tests update_by_tid would make give the same answers on the copy
// (the switch is read before the copy instead of after it, which is the
// same as a switch turned just after the copy).
bool vrel_daq_event_stat::update(vrel_serv_block_head_2010* sbhd) {
  if (sbhd == nullptr) return true;
  if (counts_as_is()) {
    ask_for_event_lines();
    quelmar::MutexLock lock(mx);
    return admit_and_count(static_cast<std::uint32_t>(sbhd->mpulse), sbhd->time.timeup,
                           sbhd->time.timelow);
  }
  vrel_time_id tid{};
  {
    quelmar::MutexLock lock(mx);
    tid.event_number = static_cast<std::uint32_t>(sbhd->mpulse);
    tid.time.timeup = sbhd->time.timeup;
    tid.time.timelow = sbhd->time.timelow;
  }
  return update_by_tid(&tid);
}

bool vrel_daq_event_stat::update(vrel_eventheader* sbhd) {
  if (sbhd == nullptr) return true;
  if (counts_as_is()) {
    ask_for_event_lines();
    quelmar::MutexLock lock(mx);
    return admit_and_count(sbhd->event_number, sbhd->event_time.timeup, sbhd->event_time.timelow);
  }
  vrel_time_id tid{};
  {
    quelmar::MutexLock lock(mx);
    tid.event_number = sbhd->event_number;
    tid.time.timeup = sbhd->event_time.timeup;
    tid.time.timelow = sbhd->event_time.timelow;
  }
  return update_by_tid(&tid);
}

bool vrel_daq_event_stat::update_by_tid(vrel_time_id* tid) {
  // The set is looked at before the switch, in this order: a switch-off
  // removes the set before it stores 0, and the later the switch is read
  // after the set was found missing, the likelier a switch-off under way
  // is seen and the set is not made again. The switch is read once unless
  // the set is created.
  if (lock_free(event_period_local_).load_acquire() == nullptr) {
    if (!is_on()) return false;
    create_props(true);
  }
  if (!is_on()) return false;
  if (tid == nullptr) return true;
  // Copied before mx is taken, since the record belongs to the caller, one
  // field at a time: callers (the header forms among them) have usually
  // just written the fields one by one, and a wider load across two of
  // those stores waits for them to reach the cache instead of being served
  // from the store buffer.
  const std::uint32_t number = tid->event_number;
  const std::uint32_t timeup = tid->time.timeup;
  if (refuses_record(number, timeup)) return true;
  const std::uint32_t timelow = tid->time.timelow;
  ask_for_event_lines();
  quelmar::MutexLock lock(mx);
  count_event(number, timeup, timelow);
  return false;
}

COUNTING_STEP bool vrel_daq_event_stat::counts_as_is() {
  return lock_free(event_period_local_).load_acquire() != nullptr && is_on();
}

// A record without a number or a time, or a repeat of the event counted
// last, is not counted.
COUNTING_STEP bool vrel_daq_event_stat::refuses_record(std::uint32_t number,
                                                       std::uint32_t timeup) const {
  return number == 0 || timeup == 0 || number == lock_free(cur_event.event_number).load_relaxed();
}

COUNTING_STEP bool vrel_daq_event_stat::admit_and_count(std::uint32_t number, std::uint32_t timeup,
                                                        std::uint32_t timelow) {
  if (refuses_record(number, timeup)) return true;
  count_event(number, timeup, timelow);
  return false;
}

// A server that feeds many objects in turn finds few of an object's lines
// in the core's caches, and each property's line is found only through the
// object's line, and an array's line only through its property's: one wait
// for memory after the other. The lock's atomic instruction lets no later
// load start before it completes, either. Asked for here, before the lock,
// the lines arrive together while the lock is taken: the properties' lines,
// and the array lines the previous event left for this one. The pointers
// are read with atomic loads, without mx: a set removed meanwhile costs one
// prefetch of freed memory, which does no harm.
COUNTING_STEP void vrel_daq_event_stat::ask_for_event_lines() const {
  if (!feeds_many_objects()) return;
  constexpr int kForWriting = 1;
  const void* const properties[] = {lock_free(current_event_).load_relaxed(),
                                    lock_free(total_events_).load_relaxed(),
                                    lock_free(total_lost_events_).load_relaxed(),
                                    lock_free(lost_event_period_).load_relaxed(),
                                    lock_free(event_latency_).load_relaxed(),
                                    lock_free(event_period_).load_relaxed(),
                                    lock_free(event_period_local_).load_relaxed(),
                                    lock_free(event_id_diff_).load_relaxed(),
                                    lock_free(lost_events_perc_total_).load_relaxed(),
                                    lock_free(lost_events_perc_period_).load_relaxed()};
  for (const void* property : properties) {
    if (property != nullptr) __builtin_prefetch(D_fct::store_line_of(property), kForWriting);
  }
  for (const auto& line : next_array_lines_) {
    const void* address = line.load_relaxed();
    if (address != nullptr) __builtin_prefetch(address, kForWriting);
  }
}

// An event's lines come from the caches of one core as long as they all fit
// there: about thirty lines per object against the 750 of a first-level
// cache.
COUNTING_STEP bool vrel_daq_event_stat::feeds_many_objects() {
  constexpr std::int32_t kObjectsInTheCaches = 8;
  return objects_alive_.load_relaxed() > kObjectsInTheCaches;
}

// Every step runs under mx, in this order: the record and the ring first,
// so the lost-event test of a later step sees this event; the arrival
// clock before the stamps are opened, since it supplies their time; the
// reference event last, since the steps before it compare with the old one.
void vrel_daq_event_stat::count_event(std::uint32_t number, std::uint32_t timeup,
                                      std::uint32_t timelow) {
  remember_current_event(number, timeup, timelow);
  // Every store below stamps its property with the time the event was
  // processed: the arrival time just read, or (on an installed clock, which
  // is not wall-clock time) one wall-clock reading.
  const quelmar::Timestamp stamp = event_stamp(fill_arrival_period());
  count_in_totals(stamp);
  publish_current_event();
  fill_latency();
  // The first event after a reset has nothing to be compared with: it only
  // becomes the reference.
  if (prev_event.event_number == 0) {
    prev_event = cur_event;
    return;
  }
  compare_with_reference(stamp);
}

// The stamp the host gives a store without one, in a scope of the event's
// own (so that a scope the caller's thread has open does not lend its
// time): with the arrival time that time; on an installed clock one
// wall-clock reading. The stores then take it as given, which is what
// their laundering would have made of it.
COUNTING_STEP quelmar::Timestamp vrel_daq_event_stat::event_stamp(
    quelmar::Timestamp arrival_stamp) {
  if (arrival_stamp != 0) return arrival_stamp;
  return wall_clock_stamp();
}

COUNTING_STEP void vrel_daq_event_stat::remember_current_event(std::uint32_t number,
                                                               std::uint32_t timeup,
                                                               std::uint32_t timelow) {
  cur_event.time.timeup = timeup;
  cur_event.time.timelow = timelow;
  // Stored atomically: update_by_tid and is_late_event read them without mx.
  lock_free(cur_event.event_number).store_relaxed(number);
  ev_id_fifo[number & static_cast<std::uint32_t>(ev_id_mask)].store_relaxed(number);
  // The smallest event number since the reset, whatever order they come in.
  if (first_event.event_number == 0 || first_event.event_number > cur_event.event_number) {
    first_event = cur_event;
  }
}

COUNTING_STEP quelmar::Timestamp vrel_daq_event_stat::fill_arrival_period() {
  // Only the real clock gives a wall-clock stamp; an installed clock (a
  // replay's recorded arrival) leaves the stamp to be taken when first used.
  quelmar::Timestamp arrival_stamp = 0;
  if (event_period_local_ != nullptr) {
    const timeval cur_event_time = daqevstat::local_time_of_day();
    if (daqevstat::local_clock_is_system()) arrival_stamp = stamp_of(cur_event_time);
    // The first event after a reset only starts the clock.
    if (last_event_time.tv_sec != 0) {
      std::int64_t later = 0;
      std::int64_t earlier = 0;
      if (whole_usec_of(cur_event_time, later) && whole_usec_of(last_event_time, earlier)) {
        fill_timing_spectrum_usec(event_period_local_, later - earlier, local_period_bin);
      } else {
        fill_timing_spectrum(event_period_local_,
                             (usec_of(cur_event_time) - usec_of(last_event_time)) / 1000.0,
                             local_period_bin);
      }
    }
    last_event_time = cur_event_time;
  }
  return arrival_stamp;
}

COUNTING_STEP void vrel_daq_event_stat::count_in_totals(quelmar::Timestamp stamp) {
  total_events += 1;
  // Published as the low 32 bits, as clients have always read it. The
  // properties below are the object's own, of classes that override none of
  // the calls used here, so they are made inline (see D_value and
  // D_floathist).
  if (total_events_ != nullptr) {
    total_events_->store_stamped(static_cast<int>(static_cast<std::uint32_t>(total_events)), stamp);
  }

  // The lost-events period runs on the local clock in whole seconds, read at
  // most once per event.
  time_t now_seconds = 0;
  if (period_start == 0 || lost_event_period_ != nullptr) {
    now_seconds = daqevstat::local_time_seconds();
  }
  if (period_start == 0) period_start = now_seconds;
  if (lost_event_period_ != nullptr) {
    const std::int64_t p = lost_event_period_->stored_value();
    if (static_cast<std::int64_t>(now_seconds) - static_cast<std::int64_t>(period_start) < p) {
      total_events_period = wrap_add(total_events_period, 1);
    } else {
      // The event that begins a period is not counted in it.
      total_events_period = 0;
      lost_events_period = 0;
      period_start = now_seconds;
    }
  }
}

COUNTING_STEP void vrel_daq_event_stat::fill_latency() {
  // A second clock reading: the record and the counters above are published
  // first, and the latency includes the time they took.
  const timeval now = daqevstat::local_time_of_day();
  if (event_latency_ != nullptr) {
    std::int64_t now_usec = 0;
    if (whole_usec_of(now, now_usec)) {
      fill_timing_spectrum_usec(event_latency_, now_usec - whole_usec_of(cur_event.time),
                                latency_bin);
    } else {
      fill_timing_spectrum(event_latency_, (usec_of(now) - usec_of(cur_event.time)) / 1000.0,
                           latency_bin);
    }
  }
}

COUNTING_STEP void vrel_daq_event_stat::compare_with_reference(quelmar::Timestamp stamp) {
  // The distance in event time, backwards events included.
  if (event_period_ != nullptr) {
    fill_timing_spectrum_usec(
        event_period_, whole_usec_of(cur_event.time) - whole_usec_of(prev_event.time), period_bin);
  }

  // The number step, read as signed so that a forward step across the 2^32
  // wrap is small and positive.
  const std::int32_t val = wrap_sub(cur_event.event_number, prev_event.event_number);
  if (event_id_diff_ != nullptr) {
    store_in_history(event_id_diff_, static_cast<float>(val), stamp, id_diff_slot);
  }

  if (total_lost_events_ != nullptr) {
    count_lost_events(val, stamp);
    if (lost_events_perc_total_ != nullptr) {
      store_in_history(lost_events_perc_total_,
                       static_cast<float>(total_lost_events_->stored_value()) /
                           static_cast<float>(total_events) * 100.0f,
                       stamp, perc_total_slot);
    }
  }
  if (lost_events_perc_period_ != nullptr && total_events_period != 0) {
    store_in_history(
        lost_events_perc_period_,
        static_cast<float>(lost_events_period) / static_cast<float>(total_events_period) * 100.0f,
        stamp, perc_period_slot);
  }

  // A backwards event leaves the reference where it was, so the events
  // after it are not counted as lost a second time.
  if (val >= 0) prev_event = cur_event;
}

void vrel_daq_event_stat::count_lost_events(std::int32_t val, quelmar::Timestamp stamp) {
  if (val > 1) {
    if (is_late_event()) return;
    const std::int32_t n = wrap_add(total_lost_events_->stored_value(), wrap_add(val, -1));
    if (n < 0) {
      // A total this far off is kept as it was and only reported; the period
      // count below still grows.
      std::printf("NEGATIVE LOST EVENTS %d   cur_event:%d  prev_event:%d  val:%d\n", n,
                  static_cast<int>(cur_event.event_number),
                  static_cast<int>(prev_event.event_number), val);
      std::fflush(nullptr);
    } else {
      total_lost_events_->store_stamped(n, stamp);
    }
    if (period_start != 0 && total_events_period != 0) {
      lost_events_period = wrap_add(lost_events_period, wrap_add(val, -1));
    }
  } else if (val < 0) {
    // One lost event is taken back, however far back the event lies.
    total_lost_events_->store_stamped(wrap_add(total_lost_events_->stored_value(), -1), stamp);
    if (period_start != 0 && total_events_period != 0 && lost_events_period >= 1) {
      lost_events_period -= 1;
    }
  }
}

void vrel_daq_event_stat::publish_current_event() {
  // The name is formatted when the type changes, not per event: the type is
  // set rarely, the record is made for every event.
  const std::uint32_t type = event_type.load_relaxed();
  if (!type_name_.valid || type_name_.type != type) {
    std::snprintf(type_name_text_, sizeof(type_name_text_), "%s",
                  event_name_itoa(static_cast<int>(type)));
    type_name_.length = std::strlen(type_name_text_);
    type_name_.type = type;
    type_name_.valid = true;
    type_name_.published = false;
  }
  if (current_event_ == nullptr) return;
  // The record set_value(USTR*) would be given, field by field; its text
  // only when the property does not hold this name already (a new type, a
  // new set, or a text that another write put there).
  const int number = static_cast<int>(cur_event.event_number);
  const auto count = static_cast<float>(total_events);
  const auto msec = static_cast<float>(static_cast<double>(cur_event.time.timelow) / 1000.0);
  const auto seconds = static_cast<time_t>(cur_event.time.timeup);
  if (type_name_.published && current_event_->set_numbers_keeping_text(
                                  type_name_.text_version, number, count, msec, seconds)) {
    return;
  }
  type_name_.text_version = current_event_->set_record(type_name_text_, type_name_.length + 1,
                                                       number, count, msec, seconds);
  type_name_.published = true;
}

void vrel_daq_event_stat::fill_timing_spectrum(D_spectrum* obj, double tm, ArrayLine line) {
  const std::int64_t max_len = obj->max_length();
  std::int64_t sp_idx;
  if (tm < 1.0) {
    sp_idx = 0;
  } else if (tm >= static_cast<double>(max_len)) {
    sp_idx = max_len - 1;
  } else {
    sp_idx = static_cast<std::int64_t>(tm);
  }
  count_in_bin(obj, static_cast<int>(sp_idx), line);
}

COUNTING_STEP void vrel_daq_event_stat::fill_timing_spectrum_usec(D_spectrum* obj,
                                                                  std::int64_t usec,
                                                                  ArrayLine line) {
  count_in_bin(obj, static_cast<int>(bin_of_usec(usec, obj->max_length())), line);
}

// The next event most often falls into the same bin.
COUNTING_STEP void vrel_daq_event_stat::count_in_bin(D_spectrum* obj, int idx, ArrayLine line) {
  obj->fill_spectrum(idx, obj->read_spectrum(idx) + 1.0);
  obj->spectrum_parameter(static_cast<time_t>(cur_event.time.timeup), cur_event.event_number, 0,
                          0.0f, 1.0f);
  if (feeds_many_objects()) next_array_lines_[line].store_relaxed(obj->bin_address(idx));
}

COUNTING_STEP void vrel_daq_event_stat::store_in_history(D_floathist* history, float value,
                                                         quelmar::Timestamp stamp, ArrayLine line) {
  history->set_value_stamped(value, stamp);
  if (feeds_many_objects()) next_array_lines_[line].store_relaxed(history->next_slot_address());
}

bool vrel_daq_event_stat::is_late_event() {
  const std::uint32_t n = lock_free(cur_event.event_number).load_relaxed();
  const std::uint32_t mask = static_cast<std::uint32_t>(ev_id_mask);
  const std::uint32_t slot = (n & mask) == 0 ? mask : ((n - 1) & mask);
  return ev_id_fifo[slot].load_relaxed() + 1u == n;
}

bool vrel_daq_event_stat::is_on() {
  D_evstat_int* on = lock_free(on_).load_acquire();
  return on != nullptr && on->stored_value() != 0;
}

// --- Reset -------------------------------------------------------------------------

void vrel_daq_event_stat::clear(bool all) {
  quelmar::MutexLock lock(mx);
  total_events = 0;
  first_event = vrel_time_id{};
  prev_event = vrel_time_id{};
  cur_event.time = time_stamp{};
  lock_free(cur_event.event_number).store_relaxed(0u);
  last_event_time = timeval{};
  period_start = 0;
  lost_events_period = 0;
  total_events_period = 0;
  for (auto& slot : ev_id_fifo) slot.store_relaxed(0u);

  reset_properties(all);
}
