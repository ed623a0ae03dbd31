#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_VREL_DAQ_EVENT_STAT_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_VREL_DAQ_EVENT_STAT_H_

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "daqevstat_export.h"
#include "event.h"
#include "lock_free.h"
#include "quelmar_types.h"
#include "thread_annotations.h"

class D_evstat_int;
class D_evstat_ustr;
class D_floathist;
class D_spectrum;
class EqFct;

// Running statistics on a stream of events, published as properties of one
// location under "<base>.STAT...".
//
// The object owns every property a pointer member designates: it creates,
// registers, unregisters and deletes them. The switch on_ lives as long as
// the object; the other ten exist together while statistics are on.
//
// Thread safety. One non-recursive mutex, mx, guards the counters, the
// reference events, the ring, the period and the creation and removal of the
// property set. It is taken by the header updates (for the copy, and with
// the set made and statistics on, for the counting that follows it in the
// same hold), by the counting part of update_by_tid, by clear, create_all_props,
// delete_all_props and the destructor; none of them holds it while calling
// another one, and every way out releases it, exceptions included. The host
// must not hold mx (through mxlock) when calling any of them. Updates,
// clear, set_event_type, is_on and the remote calls on the properties may
// run concurrently from any threads; the destructor may overlap remote
// calls on the properties but no other call on the object. Reads made
// without mx (the switch value, the presence of the set, the last event
// number, the event type, the ring in is_late_event, and the property
// pointers and array addresses an update prefetches) are atomic loads
// (lock_free.h).
// Counting takes no lock but mx: the properties it stores into are atomics,
// rings and sequence locks whose remote readers never make it wait, and all
// stores of one counted event carry one stamp, the time it was processed.
// mx is also the writers' lock of the current-event record (see
// D_ustr::share_writer_lock): the update writes the record under mx without
// the record's own exclusion, and any other write of the record takes mx
// for its length, so the host must not write the record while it holds mx.
// A remote switch-off marks the object from before it removes the set until
// it has stored 0, and an update that finds the set gone meanwhile does not
// make it again.
class DAQEVSTAT_EXPORT __attribute__((aligned(64))) vrel_daq_event_stat {
 public:
  // `pn` is "<base name> <free text>"; the base name is the text before the
  // first blank, or the whole string when it has none. Throws
  // std::invalid_argument for a null `pn` or a base name longer than 63
  // characters. `ef` may be null: the properties then belong to no location.
  // The two-argument form has the event type 0xFFFFFFFF. A constructor that
  // throws leaves no property registered and nothing allocated.
  vrel_daq_event_stat(const char* pn, EqFct* ef);
  vrel_daq_event_stat(const char* pn, EqFct* ef, int ev_type);
  vrel_daq_event_stat(const vrel_daq_event_stat&) = delete;
  vrel_daq_event_stat& operator=(const vrel_daq_event_stat&) = delete;
  // Unregisters the switch before taking mx (a remote write of the switch in
  // flight may be waiting for mx), then deletes it and removes the set.
  ~vrel_daq_event_stat();

  // Count one event. Return true when the record was not counted with
  // statistics on (null record, event number 0, time 0, a repeat of the last
  // counted event), false otherwise (counted, or statistics off); a null
  // header gives true whatever the switch reads. May throw
  // quelmar::Error from an archiving fault; mx is released all the same.
  bool update(vrel_serv_block_head_2010* sbhd);
  bool update(vrel_eventheader* sbhd);
  bool update_by_tid(vrel_time_id* tid);

  // Whether the number just below the current event is in the ring. Takes
  // no lock (the update calls it under mx); its reads are atomic, so a call
  // from another thread is safe but may see an update half done.
  bool is_late_event() NO_THREAD_SAFETY_ANALYSIS;
  // False while the switch is absent, else whether its value is non-zero.
  bool is_on();
  // Labels the current-event record from the next counted event on. Takes
  // no lock.
  void set_event_type(int ev_type);

  // Zeroes the statistics; with `all` also the three float values. May
  // throw quelmar::Error from an archiving fault; mx is released all the same.
  void clear(bool all);

  // Called by the constructors: takes the base name from `pn`, creates and
  // registers the switch, and creates the property set if the switch reads
  // non-zero after its registration. Takes no lock itself.
  void construct(const char* pn);
  // Creates and registers every missing property of the set (the period
  // defaults to 15 s unless registration gave it a value), then calls
  // clear(true). Safe to call when the set exists. When a creation or a
  // registration throws, the properties made before it stay published, the
  // one that failed is freed and the exception propagates without the reset;
  // a later call completes the set.
  void create_all_props();
  // Unregisters and deletes the ten properties of the set; the switch stays.
  void delete_all_props();

  // For callers outside the library; the library never calls them.
  void mxlock() ACQUIRE(mx);
  void mxunlock() RELEASE(mx);

  // Read-only views for diagnostics and tests; take mx.
  std::int64_t get_total_events();
  std::int32_t get_lost_events_period();
  std::int32_t get_total_events_period();
  vrel_time_id get_first_event();
  vrel_time_id get_prev_event();
  vrel_time_id get_cur_event();
  time_t get_period_start();
  const std::string& get_basename() const { return basename; }
  std::uint32_t get_event_type() const;

 private:
  // The switch marks the time from before it removes the set until it has
  // stored 0, so that an update in that time does not make the set again.
  friend class D_evstat_int;
  void begin_switch_off();
  void end_switch_off();
  // create_all_props, or for an update that found the set missing
  // (`for_event`): then only while the switch reads on and no switch-off
  // is under way, checked under mx.
  void create_props(bool for_event);
  // The property side of clear: zeroes the counters and the spectra, with
  // `all` also the three float values, in the order of the set.
  void reset_properties(bool all) REQUIRES(mx);

  // The array lines an event writes, as ask_for_event_lines finds them:
  // the bin each distribution counted in last, the slot each history
  // writes next.
  enum ArrayLine {
    latency_bin,
    period_bin,
    local_period_bin,
    id_diff_slot,
    perc_total_slot,
    perc_period_slot,
    array_line_count
  };
  // Only a server with more objects than the core's caches hold lines for
  // gains from asking for the lines ahead; with a few objects it would only
  // pay the instructions.
  static bool feeds_many_objects();

  void fill_timing_spectrum(D_spectrum* obj, double tm, ArrayLine line) REQUIRES(mx);
  // The same for a sample of `usec` microseconds given as an exact integer,
  // which picks the same bin without floating point; and the bin's count.
  void fill_timing_spectrum_usec(D_spectrum* obj, std::int64_t usec, ArrayLine line) REQUIRES(mx);
  void count_in_bin(D_spectrum* obj, int idx, ArrayLine line) REQUIRES(mx);
  void store_in_history(D_floathist* history, float value, quelmar::Timestamp stamp, ArrayLine line)
      REQUIRES(mx);
  // Asks the processor for the lines that counting an event writes, before
  // mx is taken (see the definition).
  void ask_for_event_lines() const;
  // The record tests of update_by_tid that come after the switch's.
  bool refuses_record(std::uint32_t number, std::uint32_t timeup) const;
  // The header forms' counting once the header is copied under mx: those
  // tests, then count_event.
  bool admit_and_count(std::uint32_t number, std::uint32_t timeup, std::uint32_t timelow)
      REQUIRES(mx);
  // Whether the set is made and statistics are on: update_by_tid would go
  // straight to the record's tests.
  bool counts_as_is();
  // The event's three fields come as scalars, each read from the caller's
  // record with a load of its own width (see update_by_tid).
  void count_event(std::uint32_t number, std::uint32_t timeup, std::uint32_t timelow) REQUIRES(mx);
  // The steps of count_event, in the order it runs them. fill_arrival_period
  // returns the arrival time as a stamp (0 on an installed clock), from
  // which event_stamp makes the one stamp of the event's stores.
  void remember_current_event(std::uint32_t number, std::uint32_t timeup, std::uint32_t timelow)
      REQUIRES(mx);
  quelmar::Timestamp fill_arrival_period() REQUIRES(mx);
  static quelmar::Timestamp event_stamp(quelmar::Timestamp arrival_stamp);
  void count_in_totals(quelmar::Timestamp stamp) REQUIRES(mx);
  void fill_latency() REQUIRES(mx);
  void compare_with_reference(quelmar::Timestamp stamp) REQUIRES(mx);
  void count_lost_events(std::int32_t val, quelmar::Timestamp stamp) REQUIRES(mx);
  void publish_current_event() REQUIRES(mx);
  // Unregisters the switch (before taking mx, see the definition), deletes
  // it, then removes the set. Used by the destructor and by a constructor
  // that fails.
  void release_properties() noexcept;

  // The members in the order a counted event touches them: the mutex and
  // the event state, the property pointers, the record's name, the ring;
  // what the event path never reads comes last. With the object aligned to
  // a cache line, an event touches five lines of it.
  quelmar::Mutex mx;
  daqevstat::LockFree<std::uint32_t> event_type;
  std::int32_t ev_id_mask;
  std::int64_t total_events GUARDED_BY(mx);
  vrel_time_id first_event GUARDED_BY(mx);
  vrel_time_id prev_event GUARDED_BY(mx);
  // Written under mx; event_number through lock_free, read without mx.
  vrel_time_id cur_event;
  std::int32_t lost_events_period GUARDED_BY(mx);
  std::int32_t total_events_period GUARDED_BY(mx);
  time_t period_start GUARDED_BY(mx);
  timeval last_event_time GUARDED_BY(mx);

 public:
  D_evstat_int* on_;
  D_evstat_ustr* current_event_;  // this and the nine below: written under mx
  D_evstat_int* total_events_;
  D_evstat_int* total_lost_events_;
  D_evstat_int* lost_event_period_;
  D_spectrum* event_latency_;
  D_spectrum* event_period_;
  D_spectrum* event_period_local_;  // also read without mx, through lock_free
  D_floathist* event_id_diff_;
  D_floathist* lost_events_perc_total_;
  D_floathist* lost_events_perc_period_;

 private:
  // Written under mx by the event path, read without it by the next
  // update's ask_for_event_lines: addresses only, never read through.
  daqevstat::LockFree<const void*> next_array_lines_[array_line_count];

  // The current-event record's text for the type `type`, kept from one event
  // to the next (publish_current_event); with `published`, the version of it
  // that the record property holds (D_ustr::set_record). The text itself is
  // read only when the type changes or the record must be written whole.
  struct EventTypeName {
    bool valid = false;
    bool published = false;
    std::uint32_t type = 0;
    std::size_t length = 0;
    std::uint64_t text_version = 0;
  };
  EventTypeName type_name_ GUARDED_BY(mx);
  daqevstat::LockFree<std::uint32_t> ev_id_fifo[32] GUARDED_BY(mx);
  char type_name_text_[256] GUARDED_BY(mx) = {};

  EqFct* ef_;
  std::string basename;
  ArchiveFile* arch;
  // Switch-offs under way (begin_switch_off).
  daqevstat::LockFree<int> switching_off_;

  // The objects of the process, for feeds_many_objects.
  static daqevstat::LockFree<std::int32_t> objects_alive_;
};

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_VREL_DAQ_EVENT_STAT_H_
