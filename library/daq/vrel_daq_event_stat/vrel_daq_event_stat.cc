#include "vrel_daq_event_stat.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_fct.h"
#include "lock_free.h"
#include "stat_property_names.h"
#include "thread_annotations.h"

// The object's lifecycle: construction, the property set made by a
// switch-on and removed by a switch-off, and the views for diagnostics.
// The event path is in vrel_daq_event_stat_counting.cc.
//
// Invariants: (1) on_ is set by construct before the object is shared and
// stays set until the destructor. (2) The ten other property pointers change
// only under mx, so the counting steps see the set whole. (3) The values read
// without mx (on_, event_period_local_, cur_event.event_number, event_type,
// the ring) are written with atomic stores wherever they can be read
// concurrently, and read with atomic loads where no lock is held.

namespace stat_property = daqevstat::stat_property;
using daqevstat::lock_free;

namespace {

constexpr std::size_t kMaxBaseName = 63;
constexpr int kSpectrumLength = 8192;
constexpr int kRegisterMode = 2;

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
    lock_free(member).store_release(static_cast<T*>(nullptr));
    ef->rem_property(prop);
    delete prop;
    throw;
  }
}

}  // namespace

// --- The property set ------------------------------------------------------------

namespace {

using stat_property::Statistic;

// How the reset of the statistics (clear) treats a property of the set.
enum class Reset {
  none,      // kept: the event record, the period setting
  always,    // zeroed by every clear
  with_all,  // zeroed only by clear(true)
};

// One property of the set: the member that holds it and how it is made,
// reset and removed. The member's class decides the constructor: statistic
// properties are built from the registered name as char* and get the back
// pointer; spectra are 8192 one-millisecond bins; float histograms take a
// title.
struct SetRow {
  Statistic statistic;
  Reset reset;
  int initial;        // given when the property reads 0 after registration; 0: none
  const char* title;  // float histograms only
  // Makes the property if the member is null. Called under mx, which it is
  // given as `mx`.
  void (*create)(vrel_daq_event_stat& self, EqFct* ef, const std::string& base, const SetRow& row,
                 quelmar::Mutex& mx);
  // Zeroes the property's value if it exists. Called under mx.
  void (*zero)(vrel_daq_event_stat& self);
  // Unregisters, deletes and nulls the property if it exists. Called under mx.
  void (*remove)(vrel_daq_event_stat& self, EqFct* ef);
  // Nulls the member, before the object is shared.
  void (*forget)(vrel_daq_event_stat& self);
};

template <typename M>
struct Pointee;
template <typename T>
struct Pointee<T * vrel_daq_event_stat::*> {
  using type = T;
};

// The three operations of the row whose property is held in `Member`.
template <auto Member>
struct Slot {
  using T = typename Pointee<decltype(Member)>::type;

  static void create(vrel_daq_event_stat& self, EqFct* ef, const std::string& base,
                     const SetRow& row, quelmar::Mutex& mx) {
    T*& member = self.*Member;
    if (member != nullptr) return;
    const stat_property::Name& name = stat_property::name_of(row.statistic);
    // Each property is stored in its member before it is registered; a
    // registration that throws frees it again (publish). The store is
    // atomic since admission reads event_period_local_ without mx.
    if constexpr (std::is_same_v<T, D_spectrum>) {
      lock_free(member).store_release(
          new D_spectrum(prop_name(base, name), kSpectrumLength, ef, false));
      publish(ef, member);
    } else if constexpr (std::is_same_v<T, D_floathist>) {
      lock_free(member).store_release(new D_floathist(prop_name(base, name), ef, row.title));
      publish(ef, member);
    } else {
      std::string text = prop_name(base, name);
      T* const made = new T(text.data(), ef);
      // The event path writes the record under mx only: shared, mx spares
      // it the record's own exclusion of writers. Shared before the pointer
      // is stored, so that no other writer can find the record without it.
      if constexpr (std::is_same_v<T, D_evstat_ustr>) made->share_writer_lock(mx);
      lock_free(member).store_release(made);
      publish(ef, member);
      member->set_ev_statp(&self);
      // A value restored by the registration stays.
      if constexpr (std::is_same_v<T, D_evstat_int>) {
        if (row.initial != 0 && member->value() == 0) member->set_value(row.initial);
      }
    }
  }

  static void zero(vrel_daq_event_stat& self) {
    T* prop = self.*Member;
    if (prop == nullptr) return;
    if constexpr (std::is_same_v<T, D_spectrum>) {
      prop->clear_spectrum();
    } else if constexpr (std::is_same_v<T, D_floathist>) {
      prop->set_value(0.0f);
    } else if constexpr (std::is_same_v<T, D_evstat_int>) {
      prop->set_value(0);
    }
  }

  // The member is made null before the property goes: admission reads
  // event_period_local_ without mx, and an update that still sees it waits
  // here for mx and then finds the pointer null.
  static void remove(vrel_daq_event_stat& self, EqFct* ef) {
    T* prop = self.*Member;
    if (prop == nullptr) return;
    lock_free(self.*Member).store_release(static_cast<T*>(nullptr));
    if (ef != nullptr) ef->rem_property(prop);
    delete prop;
  }

  static void forget(vrel_daq_event_stat& self) {
    lock_free(self.*Member).store_release(static_cast<T*>(nullptr));
  }
};

template <auto Member>
constexpr SetRow row(Statistic statistic, Reset reset, int initial = 0,
                     const char* title = nullptr) {
  SetRow set_row{};
  set_row.statistic = statistic;
  set_row.reset = reset;
  set_row.initial = initial;
  set_row.title = title;
  set_row.create = &Slot<Member>::create;
  set_row.zero = &Slot<Member>::zero;
  set_row.remove = &Slot<Member>::remove;
  set_row.forget = &Slot<Member>::forget;
  return set_row;
}

using S = vrel_daq_event_stat;

// The set a switch-on creates, in the order of stat_property::Statistic: the
// order of creation, reset and removal. Adding a statistic adds its name and
// a row here.
constexpr SetRow kSet[] = {
    row<&S::current_event_>(Statistic::event_info, Reset::none),
    row<&S::total_events_>(Statistic::total, Reset::always),
    row<&S::total_lost_events_>(Statistic::lost, Reset::always),
    // The lost-events period defaults to 15 seconds.
    row<&S::lost_event_period_>(Statistic::lost_period, Reset::none, 15),
    row<&S::event_latency_>(Statistic::latency, Reset::always),
    row<&S::event_period_>(Statistic::period, Reset::always),
    row<&S::event_period_local_>(Statistic::local_period, Reset::always),
    row<&S::event_id_diff_>(Statistic::diff, Reset::with_all, 0, "EVENT_DIFF"),
    row<&S::lost_events_perc_total_>(Statistic::lost_percent, Reset::with_all, 0, "LOST_TOTAL"),
    row<&S::lost_events_perc_period_>(Statistic::lost_period_percent, Reset::with_all, 0,
                                      "LOST_PERIOD"),
};

// The switch is kAll's first entry and no row; every other name has its
// row, at its own position.
constexpr bool rows_follow_names() {
  for (std::size_t i = 0; i < std::size(kSet); ++i) {
    if (stat_property::index_of(kSet[i].statistic) != i + 1) return false;
  }
  return true;
}
static_assert(stat_property::index_of(Statistic::on) == 0, "the switch is listed first");
static_assert(std::size(kSet) + 1 == stat_property::kCount, "a row for every property of the set");
static_assert(rows_follow_names(), "the rows in the order of the names");

}  // namespace

// --- Lifecycle -----------------------------------------------------------------

vrel_daq_event_stat::vrel_daq_event_stat(const char* pn, EqFct* ef)
    : vrel_daq_event_stat(pn, ef, -1) {}

// -1 as unsigned is 0xFFFFFFFF, the type of an object built without one, so
// the two-argument constructor delegates here.
vrel_daq_event_stat::vrel_daq_event_stat(const char* pn, EqFct* ef, int ev_type)
    : event_type(0xFFFFFFFFu),
      ev_id_mask(31),
      total_events(0),
      first_event{},
      prev_event{},
      cur_event{},
      lost_events_period(0),
      total_events_period(0),
      period_start(0),
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
      lost_events_perc_period_(nullptr),
      ef_(ef) {
  // Kept for the host's layout; nothing in the library archives through it.
  arch = nullptr;
  try {
    construct(pn);
    event_type.store_relaxed(static_cast<std::uint32_t>(ev_type));
    ev_id_mask = 31;
    clear(false);
    objects_alive_.add_seq_cst(1);
  } catch (...) {
    // The properties registered so far carry a back pointer to this object,
    // which will never exist: take them all back before the caller sees the
    // failure.
    release_properties();
    throw;
  }
}

vrel_daq_event_stat::~vrel_daq_event_stat() {
  objects_alive_.sub_release(1);
  release_properties();
}

daqevstat::LockFree<std::int32_t> vrel_daq_event_stat::objects_alive_;

// The location's rem_property waits for remote calls in flight on the
// property. A remote write of the switch calls create_all_props or
// delete_all_props, which take mx; so the switch is unregistered before mx is
// taken, or that write and this thread would wait for each other forever.
// Once rem_property returns, no remote call can reach the switch any more.
// The other ten may be removed under mx: remote calls on them never take it.
void vrel_daq_event_stat::release_properties() noexcept {
  D_evstat_int* on = lock_free(on_).load_acquire();
  if (on != nullptr && ef_ != nullptr) ef_->rem_property(on);
  {
    quelmar::MutexLock lock(mx);
    delete lock_free(on_).load_acquire();
    lock_free(on_).store_release(static_cast<D_evstat_int*>(nullptr));
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
  for (const SetRow& set_row : kSet) set_row.forget(*this);

  std::string name = prop_name(basename, stat_property::kOn);
  lock_free(on_).store_release(new D_evstat_int(name.data(), ef_));
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
    if (for_event && (switching_off_.load_acquire() != 0 || !is_on())) {
      return;
    }
    for (const SetRow& set_row : kSet) set_row.create(*this, ef_, base, set_row, mx);
  }
  clear(true);
}

void vrel_daq_event_stat::delete_all_props() {
  quelmar::MutexLock lock(mx);
  for (const SetRow& set_row : kSet) set_row.remove(*this, ef_);
}

void vrel_daq_event_stat::reset_properties(bool all) {
  for (const SetRow& set_row : kSet) {
    if (set_row.reset == Reset::always || (all && set_row.reset == Reset::with_all)) {
      set_row.zero(*this);
    }
  }
}

void vrel_daq_event_stat::set_event_type(int ev_type) {
  event_type.store_relaxed(static_cast<std::uint32_t>(ev_type));
}

std::uint32_t vrel_daq_event_stat::get_event_type() const { return event_type.load_relaxed(); }

// --- Lock and diagnostic views -------------------------------------------------------

void vrel_daq_event_stat::begin_switch_off() { switching_off_.add_seq_cst(1); }

void vrel_daq_event_stat::end_switch_off() { switching_off_.sub_release(1); }

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
