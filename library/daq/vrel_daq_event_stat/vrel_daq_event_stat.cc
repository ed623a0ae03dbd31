#include "vrel_daq_event_stat.h"

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_data.h"
#include "eq_fct.h"
#include "evutl.h"
#include "local_clock.h"
#include "stat_property_names.h"
#include "thread_annotations.h"

// Invariants: (1) on_ is set by construct before the object is shared and
// stays set until the destructor. (2) The ten other property pointers change
// only under mx, so the counting steps see the set whole. (3) The values read
// without mx (on_, event_period_local_, cur_event.event_number, event_type,
// the ring) are written with atomic stores wherever they can be read
// concurrently, and read with atomic loads where no lock is held.

namespace stat_property = daqevstat::stat_property;

namespace {

constexpr std::size_t kMaxBaseName = 63;
constexpr int kSpectrumLength = 8192;
constexpr int kRegisterMode = 2;

// The current value of an atomic-accessed pointer member.
template <typename T>
T* load_ptr(T* const* p) {
  return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

template <typename T>
void store_ptr(T** p, T* value) {
  __atomic_store_n(p, value, __ATOMIC_RELEASE);
}

// Event and clock times in microseconds, in double precision.
double usec_of(const time_stamp& t) {
  return static_cast<double>(t.timeup) * 1000000.0 + static_cast<double>(t.timelow);
}

double usec_of(const timeval& t) {
  return static_cast<double>(t.tv_sec) * 1000000.0 + static_cast<double>(t.tv_usec);
}

// A clock reading as a property stamp (nanoseconds since the epoch).
quelmar::Timestamp stamp_of(const timeval& t) {
  return static_cast<quelmar::Timestamp>(t.tv_sec) * 1000000000 +
         static_cast<quelmar::Timestamp>(t.tv_usec) * 1000;
}

// 32-bit two's-complement arithmetic without signed overflow: the sum is
// taken modulo 2^32 and read back as signed.
std::int32_t wrap_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t wrap_sub(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b); }

// The registered name as a modifiable buffer for the statistic property
// constructors, which take char*.
std::string prop_name(const std::string& base, const stat_property::Name& name) {
  return stat_property::registered_name(base, name);
}

// Registers the property just stored in `member` with `ef` (if any). When the
// registration throws (no memory, or a location refusing it, possibly after
// registering it), the property is taken back and freed and `member` is null
// again, so that the next creation of the set makes and registers it afresh;
// kept, it would count as present and stay unpublished for good. The member
// is nulled with an atomic store since admission reads event_period_local_
// without the lock.
template <typename T>
void publish(EqFct* ef, T*& member) {
  if (ef == nullptr) return;
  try {
    ef->add_property(member, kRegisterMode);
  } catch (...) {
    T* prop = member;
    store_ptr(&member, static_cast<T*>(nullptr));
    ef->rem_property(prop);
    delete prop;
    throw;
  }
}

}  // namespace

// --- Lifecycle -----------------------------------------------------------------

vrel_daq_event_stat::vrel_daq_event_stat(const char* pn, EqFct* ef)
    : vrel_daq_event_stat(pn, ef, -1) {}

// -1 as unsigned is 0xFFFFFFFF, the type of an object built without one, so
// the two-argument constructor delegates here.
vrel_daq_event_stat::vrel_daq_event_stat(const char* pn, EqFct* ef, int ev_type)
    : ef_(ef),
      event_type(0xFFFFFFFFu),
      total_events(0),
      first_event{},
      prev_event{},
      cur_event{},
      period_start(0),
      lost_events_period(0),
      total_events_period(0),
      ev_id_fifo{},
      ev_id_mask(31),
      last_event_time{},
      on_(nullptr),
      current_event_(nullptr),
      total_events_(nullptr),
      total_lost_events_(nullptr),
      lost_event_period_(nullptr),
      event_latency_(nullptr),
      event_period_(nullptr),
      event_period_local_(nullptr),
      event_id_diff_(nullptr),
      lost_events_perc_total_(nullptr),
      lost_events_perc_period_(nullptr) {
  // Kept for the host's layout; nothing in the library archives through it.
  arch = nullptr;
  try {
    construct(pn);
    __atomic_store_n(&event_type, static_cast<std::uint32_t>(ev_type), __ATOMIC_RELAXED);
    ev_id_mask = 31;
    clear(false);
  } catch (...) {
    // The properties registered so far carry a back pointer to this object,
    // which will never exist: take them all back before the caller sees the
    // failure.
    release_properties();
    throw;
  }
}

vrel_daq_event_stat::~vrel_daq_event_stat() { release_properties(); }

// The location's rem_property waits for remote calls in flight on the
// property. A remote write of the switch calls create_all_props or
// delete_all_props, which take mx; so the switch is unregistered before mx is
// taken, or that write and this thread would wait for each other forever.
// Once rem_property returns, no remote call can reach the switch any more.
// The other ten may be removed under mx: remote calls on them never take it.
void vrel_daq_event_stat::release_properties() noexcept {
  D_evstat_int* on = load_ptr(&on_);
  if (on != nullptr && ef_ != nullptr) ef_->rem_property(on);
  {
    quelmar::MutexLock lock(mx);
    delete load_ptr(&on_);
    store_ptr(&on_, static_cast<D_evstat_int*>(nullptr));
  }
  delete_all_props();
}

void vrel_daq_event_stat::construct(const char* pn) {
  if (pn == nullptr) {
    throw std::invalid_argument("null statistics name");
  }
  const char* blank = std::strchr(pn, ' ');
  const std::size_t length =
      blank != nullptr ? static_cast<std::size_t>(blank - pn) : std::strlen(pn);
  if (length > kMaxBaseName) {
    throw std::invalid_argument("statistics base name longer than 63 characters");
  }
  basename.assign(pn, length);

  // The set is emptied and the switch given its back pointer before the
  // switch is registered: from the registration on, a client may write the
  // switch and so create the set from its own thread. Done afterwards, the
  // back pointer would be written while that write reads it, and the nulling
  // would drop a set just created, leaving it registered and never deleted.
  current_event_ = nullptr;
  total_events_ = nullptr;
  total_lost_events_ = nullptr;
  lost_event_period_ = nullptr;
  event_latency_ = nullptr;
  event_period_ = nullptr;
  store_ptr(&event_period_local_, static_cast<D_spectrum*>(nullptr));
  event_id_diff_ = nullptr;
  lost_events_perc_total_ = nullptr;
  lost_events_perc_period_ = nullptr;

  std::string name = prop_name(basename, stat_property::kOn);
  store_ptr(&on_, new D_evstat_int(name.data(), ef_));
  on_->set_ev_statp(this);
  if (ef_ != nullptr) ef_->add_property(on_, kRegisterMode);

  if (on_->value() != 0) create_all_props();
}

void vrel_daq_event_stat::create_all_props() { create_props(false); }

void vrel_daq_event_stat::create_props(bool for_event) {
  const std::string base = basename;
  {
    quelmar::MutexLock lock(mx);
    // An update that found the set missing makes it only while the switch
    // still reads on and is not being switched off: a switch-off removes
    // the set before it stores 0, and a set made in between would stay
    // published, frozen, under a switch that reads 0.
    if (for_event && (__atomic_load_n(&switching_off_, __ATOMIC_ACQUIRE) != 0 || !is_on())) {
      return;
    }
    // Each property is stored in its member before it is registered; a
    // registration that throws frees it again (publish).
    if (current_event_ == nullptr) {
      std::string name = prop_name(base, stat_property::kEventInfo);
      current_event_ = new D_evstat_ustr(name.data(), ef_);
      publish(ef_, current_event_);
      current_event_->set_ev_statp(this);
    }
    if (total_events_ == nullptr) {
      std::string name = prop_name(base, stat_property::kTotal);
      total_events_ = new D_evstat_int(name.data(), ef_);
      publish(ef_, total_events_);
      total_events_->set_ev_statp(this);
    }
    if (total_lost_events_ == nullptr) {
      std::string name = prop_name(base, stat_property::kLost);
      total_lost_events_ = new D_evstat_int(name.data(), ef_);
      publish(ef_, total_lost_events_);
      total_lost_events_->set_ev_statp(this);
    }
    if (lost_event_period_ == nullptr) {
      std::string name = prop_name(base, stat_property::kLostPeriod);
      lost_event_period_ = new D_evstat_int(name.data(), ef_);
      publish(ef_, lost_event_period_);
      lost_event_period_->set_ev_statp(this);
      // A period restored by the registration stays; otherwise 15 seconds.
      if (lost_event_period_->value() == 0) lost_event_period_->set_value(15);
    }
    if (event_latency_ == nullptr) {
      event_latency_ =
          new D_spectrum(prop_name(base, stat_property::kLatency), kSpectrumLength, ef_, false);
      publish(ef_, event_latency_);
    }
    if (event_period_ == nullptr) {
      event_period_ =
          new D_spectrum(prop_name(base, stat_property::kPeriod), kSpectrumLength, ef_, false);
      publish(ef_, event_period_);
    }
    if (event_period_local_ == nullptr) {
      store_ptr(&event_period_local_, new D_spectrum(prop_name(base, stat_property::kLocalPeriod),
                                                     kSpectrumLength, ef_, false));
      publish(ef_, event_period_local_);
    }
    if (event_id_diff_ == nullptr) {
      event_id_diff_ = new D_floathist(prop_name(base, stat_property::kDiff), ef_, "EVENT_DIFF");
      publish(ef_, event_id_diff_);
    }
    if (lost_events_perc_total_ == nullptr) {
      lost_events_perc_total_ =
          new D_floathist(prop_name(base, stat_property::kLostPercent), ef_, "LOST_TOTAL");
      publish(ef_, lost_events_perc_total_);
    }
    if (lost_events_perc_period_ == nullptr) {
      lost_events_perc_period_ =
          new D_floathist(prop_name(base, stat_property::kLostPeriodPercent), ef_, "LOST_PERIOD");
      publish(ef_, lost_events_perc_period_);
    }
  }
  clear(true);
}

namespace {

// Unregisters, deletes and nulls one property of the set.
template <typename T>
void remove_prop(EqFct* ef, T*& member) {
  if (member == nullptr) return;
  if (ef != nullptr) ef->rem_property(member);
  delete member;
  member = nullptr;
}

}  // namespace

void vrel_daq_event_stat::delete_all_props() {
  quelmar::MutexLock lock(mx);
  remove_prop(ef_, current_event_);
  remove_prop(ef_, total_events_);
  remove_prop(ef_, total_lost_events_);
  remove_prop(ef_, lost_event_period_);
  remove_prop(ef_, event_latency_);
  remove_prop(ef_, event_period_);
  if (D_spectrum* local = event_period_local_) {
    // Admission reads this pointer without mx: make it null before the
    // spectrum goes, so an update that still sees it waits here for mx and
    // then finds the pointer null.
    store_ptr(&event_period_local_, static_cast<D_spectrum*>(nullptr));
    if (ef_ != nullptr) ef_->rem_property(local);
    delete local;
  }
  remove_prop(ef_, event_id_diff_);
  remove_prop(ef_, lost_events_perc_total_);
  remove_prop(ef_, lost_events_perc_period_);
}

// --- Per-event update ------------------------------------------------------------

bool vrel_daq_event_stat::update(vrel_serv_block_head_2010* sbhd) {
  if (sbhd == nullptr) return true;
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
  if (load_ptr(&event_period_local_) == nullptr) {
    if (!is_on()) return false;
    create_props(true);
  }
  if (!is_on()) return false;
  if (tid == nullptr) return true;
  if (tid->event_number == 0 || tid->time.timeup == 0) return true;
  if (tid->event_number == __atomic_load_n(&cur_event.event_number, __ATOMIC_RELAXED)) {
    return true;
  }
  // Copied before mx is taken: the record belongs to the caller.
  const vrel_time_id event = *tid;
  quelmar::MutexLock lock(mx);
  count_event(event);
  return false;
}

void vrel_daq_event_stat::count_event(const vrel_time_id& tid) {
  // 6, 7: the current event and its ring slot.
  cur_event.time = tid.time;
  __atomic_store_n(&cur_event.event_number, tid.event_number, __ATOMIC_RELAXED);
  __atomic_store_n(&ev_id_fifo[tid.event_number & static_cast<std::uint32_t>(ev_id_mask)],
                   tid.event_number, __ATOMIC_RELAXED);

  // 8: local arrival period; the first event only starts the clock.
  quelmar::Timestamp arrival_stamp = 0;
  if (event_period_local_ != nullptr) {
    const timeval cur_event_time = daqevstat::local_time_of_day();
    if (daqevstat::local_clock_is_system()) arrival_stamp = stamp_of(cur_event_time);
    if (last_event_time.tv_sec != 0) {
      fill_timing_spectrum(event_period_local_,
                           (usec_of(cur_event_time) - usec_of(last_event_time)) / 1000.0);
    }
    last_event_time = cur_event_time;
  }
  // Every store below stamps its property with the time the event was
  // processed: the arrival time just read, or (on an installed clock, which
  // is not wall-clock time) one wall-clock reading taken at the first stamp.
  const quelmar::SharedStampTime event_stamps(arrival_stamp);

  // 9: the event total.
  total_events += 1;
  if (total_events_ != nullptr) {
    total_events_->set_value(static_cast<int>(static_cast<std::uint32_t>(total_events)));
  }

  // 10, 11: the lost-events period, on the local clock in whole seconds,
  // read at most once per event.
  time_t now_seconds = 0;
  if (period_start == 0 || lost_event_period_ != nullptr) {
    now_seconds = daqevstat::local_time_seconds();
  }
  if (period_start == 0) period_start = now_seconds;
  if (lost_event_period_ != nullptr) {
    const std::int64_t p = lost_event_period_->value();
    if (static_cast<std::int64_t>(now_seconds) - static_cast<std::int64_t>(period_start) < p) {
      total_events_period = wrap_add(total_events_period, 1);
    } else {
      // The event that begins a period is not counted in it.
      total_events_period = 0;
      lost_events_period = 0;
      period_start = now_seconds;
    }
  }

  // 12: the current-event record.
  publish_current_event();

  // 13: latency against the local clock.
  const timeval start = daqevstat::local_time_of_day();
  if (event_latency_ != nullptr) {
    fill_timing_spectrum(event_latency_, (usec_of(start) - usec_of(cur_event.time)) / 1000.0);
  }

  // 14: the smallest event number since the reset.
  if (first_event.event_number == 0 || first_event.event_number > cur_event.event_number) {
    first_event = cur_event;
  }

  // 15: the first event after a reset only becomes the reference.
  if (prev_event.event_number == 0) {
    prev_event = cur_event;
    return;
  }

  // 16: event-time period, backwards events included.
  if (event_period_ != nullptr) {
    fill_timing_spectrum(event_period_,
                         (usec_of(cur_event.time) - usec_of(prev_event.time)) / 1000.0);
  }

  // 17, 18: the number step, read as signed so that a forward step across
  // the 2^32 wrap is small and positive.
  const std::int32_t val = wrap_sub(cur_event.event_number, prev_event.event_number);
  if (event_id_diff_ != nullptr) event_id_diff_->set_value(static_cast<float>(val));

  // 19: lost events and the overall percentage.
  if (total_lost_events_ != nullptr) {
    count_lost_events(val);
    if (lost_events_perc_total_ != nullptr) {
      lost_events_perc_total_->set_value(static_cast<float>(total_lost_events_->value()) /
                                         static_cast<float>(total_events) * 100.0f);
    }
  }

  // 20: the period percentage.
  if (lost_events_perc_period_ != nullptr && total_events_period != 0) {
    lost_events_perc_period_->set_value(static_cast<float>(lost_events_period) /
                                        static_cast<float>(total_events_period) * 100.0f);
  }

  // 21: a backwards event leaves the reference where it was.
  if (val >= 0) prev_event = cur_event;
}

void vrel_daq_event_stat::count_lost_events(std::int32_t val) {
  if (val > 1) {
    if (is_late_event()) return;
    const std::int32_t n = wrap_add(total_lost_events_->value(), wrap_add(val, -1));
    if (n < 0) {
      // A total this far off is kept as it was and only reported; the period
      // count below still grows.
      std::printf("NEGATIVE LOST EVENTS %d   cur_event:%d  prev_event:%d  val:%d\n", n,
                  static_cast<int>(cur_event.event_number),
                  static_cast<int>(prev_event.event_number), val);
      std::fflush(nullptr);
    } else {
      total_lost_events_->set_value(n);
    }
    if (period_start != 0 && total_events_period != 0) {
      lost_events_period = wrap_add(lost_events_period, wrap_add(val, -1));
    }
  } else if (val < 0) {
    // One lost event is taken back, however far back the event lies.
    total_lost_events_->set_value(wrap_add(total_lost_events_->value(), -1));
    if (period_start != 0 && total_events_period != 0 && lost_events_period >= 1) {
      lost_events_period -= 1;
    }
  }
}

void vrel_daq_event_stat::publish_current_event() {
  // The name is formatted when the type changes, not per event: the type is
  // set rarely, the record is made for every event.
  const std::uint32_t type = __atomic_load_n(&event_type, __ATOMIC_RELAXED);
  if (!type_name_.valid || type_name_.type != type) {
    std::snprintf(type_name_.text, sizeof(type_name_.text), "%s",
                  event_name_itoa(static_cast<int>(type)));
    type_name_.length = std::strlen(type_name_.text);
    type_name_.type = type;
    type_name_.valid = true;
  }
  char* const text = type_name_.text;
  USTR record{};
  record.i1_data = static_cast<int>(cur_event.event_number);
  record.f1_data = static_cast<float>(total_events);
  record.f2_data = static_cast<float>(static_cast<double>(cur_event.time.timelow) / 1000.0);
  record.tm = static_cast<time_t>(cur_event.time.timeup);
  record.str_data.str_data_len = static_cast<u_int>(type_name_.length + 1);
  record.str_data.str_data_val = text;
  if (current_event_ != nullptr) current_event_->set_value(&record);
}

void vrel_daq_event_stat::fill_timing_spectrum(D_spectrum* obj, double tm) {
  const std::int64_t max_len = obj->max_length();
  std::int64_t sp_idx;
  if (tm < 1.0) {
    sp_idx = 0;
  } else if (tm >= static_cast<double>(max_len)) {
    sp_idx = max_len - 1;
  } else {
    sp_idx = static_cast<std::int64_t>(tm);
  }
  const int idx = static_cast<int>(sp_idx);
  obj->fill_spectrum(idx, obj->read_spectrum(idx) + 1.0);
  obj->spectrum_parameter(static_cast<time_t>(cur_event.time.timeup), cur_event.event_number, 0,
                          0.0f, 1.0f);
}

bool vrel_daq_event_stat::is_late_event() {
  const std::uint32_t n = __atomic_load_n(&cur_event.event_number, __ATOMIC_RELAXED);
  const std::uint32_t mask = static_cast<std::uint32_t>(ev_id_mask);
  const std::uint32_t slot = (n & mask) == 0 ? mask : ((n - 1) & mask);
  return __atomic_load_n(&ev_id_fifo[slot], __ATOMIC_RELAXED) + 1u == n;
}

bool vrel_daq_event_stat::is_on() {
  D_evstat_int* on = load_ptr(&on_);
  return on != nullptr && on->value() != 0;
}

void vrel_daq_event_stat::set_event_type(int ev_type) {
  __atomic_store_n(&event_type, static_cast<std::uint32_t>(ev_type), __ATOMIC_RELAXED);
}

std::uint32_t vrel_daq_event_stat::get_event_type() const {
  return __atomic_load_n(&event_type, __ATOMIC_RELAXED);
}

// --- Reset -------------------------------------------------------------------------

void vrel_daq_event_stat::clear(bool all) {
  quelmar::MutexLock lock(mx);
  total_events = 0;
  first_event = vrel_time_id{};
  prev_event = vrel_time_id{};
  cur_event.time = time_stamp{};
  __atomic_store_n(&cur_event.event_number, 0u, __ATOMIC_RELAXED);
  last_event_time = timeval{};
  period_start = 0;
  lost_events_period = 0;
  total_events_period = 0;
  for (std::uint32_t& slot : ev_id_fifo) __atomic_store_n(&slot, 0u, __ATOMIC_RELAXED);

  if (total_events_ != nullptr) total_events_->set_value(0);
  if (total_lost_events_ != nullptr) total_lost_events_->set_value(0);

  if (event_latency_ != nullptr) event_latency_->clear_spectrum();
  if (event_period_ != nullptr) event_period_->clear_spectrum();
  if (event_period_local_ != nullptr) event_period_local_->clear_spectrum();

  if (all) {
    if (event_id_diff_ != nullptr) event_id_diff_->set_value(0.0f);
    if (lost_events_perc_total_ != nullptr) lost_events_perc_total_->set_value(0.0f);
    if (lost_events_perc_period_ != nullptr) lost_events_perc_period_->set_value(0.0f);
  }
}

// --- Lock and diagnostic views -------------------------------------------------------

void vrel_daq_event_stat::begin_switch_off() {
  __atomic_add_fetch(&switching_off_, 1, __ATOMIC_SEQ_CST);
}

void vrel_daq_event_stat::end_switch_off() {
  __atomic_sub_fetch(&switching_off_, 1, __ATOMIC_RELEASE);
}

void vrel_daq_event_stat::mxlock() { mx.lock(); }

void vrel_daq_event_stat::mxunlock() { mx.unlock(); }

std::int64_t vrel_daq_event_stat::get_total_events() {
  quelmar::MutexLock lock(mx);
  return total_events;
}

std::int32_t vrel_daq_event_stat::get_lost_events_period() {
  quelmar::MutexLock lock(mx);
  return lost_events_period;
}

std::int32_t vrel_daq_event_stat::get_total_events_period() {
  quelmar::MutexLock lock(mx);
  return total_events_period;
}

vrel_time_id vrel_daq_event_stat::get_first_event() {
  quelmar::MutexLock lock(mx);
  return first_event;
}

vrel_time_id vrel_daq_event_stat::get_prev_event() {
  quelmar::MutexLock lock(mx);
  return prev_event;
}

vrel_time_id vrel_daq_event_stat::get_cur_event() {
  quelmar::MutexLock lock(mx);
  return cur_event;
}

time_t vrel_daq_event_stat::get_period_start() {
  quelmar::MutexLock lock(mx);
  return period_start;
}
