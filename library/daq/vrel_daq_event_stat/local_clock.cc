#include "local_clock.h"

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <ctime>

namespace daqevstat {

namespace {

constexpr std::int64_t kUsecPerSec = 1000000;

// Null means the system clock. Acquire/release so that a clock installed by
// one thread is seen fully constructed by the threads that read it.
std::atomic<LocalClock*> g_clock{nullptr};

// Whole seconds and the microseconds within them, rounding toward minus
// infinity so that tv_usec stays in [0, 1000000) also before the epoch.
timeval split_usec(std::int64_t usec) {
  std::int64_t sec = usec / kUsecPerSec;
  std::int64_t rem = usec % kUsecPerSec;
  if (rem < 0) {
    rem += kUsecPerSec;
    --sec;
  }
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(sec);
  tv.tv_usec = static_cast<suseconds_t>(rem);
  return tv;
}

}  // namespace

LocalClock::~LocalClock() = default;

LocalClock* set_local_clock(LocalClock* clock) {
  return g_clock.exchange(clock, std::memory_order_acq_rel);
}

bool local_clock_is_system() { return g_clock.load(std::memory_order_acquire) == nullptr; }

timeval local_time_of_day() {
  if (LocalClock* clock = g_clock.load(std::memory_order_acquire)) {
    return clock->time_of_day();
  }
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

time_t local_time_seconds() {
  if (LocalClock* clock = g_clock.load(std::memory_order_acquire)) {
    return clock->seconds();
  }
  return time(nullptr);
}

ManualClock::ManualClock(std::int64_t sec, std::int64_t usec)
    : usec_since_epoch_(sec * kUsecPerSec + usec) {}

timeval ManualClock::time_of_day() {
  return split_usec(usec_since_epoch_.load(std::memory_order_relaxed));
}

time_t ManualClock::seconds() {
  return split_usec(usec_since_epoch_.load(std::memory_order_relaxed)).tv_sec;
}

void ManualClock::set(std::int64_t sec, std::int64_t usec) {
  usec_since_epoch_.store(sec * kUsecPerSec + usec, std::memory_order_relaxed);
}

void ManualClock::advance_usec(std::int64_t usec) {
  usec_since_epoch_.fetch_add(usec, std::memory_order_relaxed);
}

}  // namespace daqevstat
