#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCAL_CLOCK_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCAL_CLOCK_H_

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "daqevstat_export.h"

namespace daqevstat {

// The library reads the local clock only through local_time_of_day() and
// local_time_seconds(), so that tests and replays can drive it exactly.
class DAQEVSTAT_EXPORT LocalClock {
 public:
  virtual ~LocalClock();
  // What gettimeofday gives.
  virtual timeval time_of_day() = 0;
  // What time(nullptr) gives.
  virtual time_t seconds() = 0;
};

// Installs `clock` for every later reading by any thread and returns the one
// it replaces (null for the system clock). Null restores the system clock.
// The clock is not owned and must outlive its use; install it before events
// flow and restore the old one after they stop.
DAQEVSTAT_EXPORT LocalClock* set_local_clock(LocalClock* clock);

// Whether readings come from the system clock (no clock installed).
DAQEVSTAT_EXPORT bool local_clock_is_system();

DAQEVSTAT_EXPORT timeval local_time_of_day();
DAQEVSTAT_EXPORT time_t local_time_seconds();

// A clock that reads what it was last set to. Both readings come from the
// same microsecond time: seconds() is its whole seconds. Thread-safe.
class DAQEVSTAT_EXPORT ManualClock : public LocalClock {
 public:
  explicit ManualClock(std::int64_t sec = 0, std::int64_t usec = 0);
  timeval time_of_day() override;
  time_t seconds() override;

  void set(std::int64_t sec, std::int64_t usec);
  // Moves the time forward (or back, for a negative step) by microseconds.
  void advance_usec(std::int64_t usec);

 private:
  std::atomic<std::int64_t> usec_since_epoch_;
};

// Installs a clock for the lifetime of the scope and restores the previous
// one on the way out.
class DAQEVSTAT_EXPORT ScopedLocalClock {
 public:
  explicit ScopedLocalClock(LocalClock* clock) : previous_(set_local_clock(clock)) {}
  ScopedLocalClock(const ScopedLocalClock&) = delete;
  ScopedLocalClock& operator=(const ScopedLocalClock&) = delete;
  ~ScopedLocalClock() { set_local_clock(previous_); }

 private:
  LocalClock* previous_;
};

}  // namespace daqevstat

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_LOCAL_CLOCK_H_
