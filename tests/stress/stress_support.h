#ifndef TESTS_STRESS_STRESS_SUPPORT_H_
#define TESTS_STRESS_STRESS_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat {
namespace stress {

// The suffixes of everything a statistics object publishes, the switch first
// and then the set in the order of its creation.
inline const std::vector<std::string>& property_suffixes() {
  static const std::vector<std::string> suffixes = {
      ".STAT.ON",           ".STAT.EV.INFO",         ".STAT.EV.TOTAL",
      ".STAT.EV.LOST",      ".STAT.EV.LOST.PERIOD",  ".STAT.EV.LATENCY.TD",
      ".STAT.EV.PERIOD.TD", ".STAT.EV.PERIODL.TD",   ".STAT.EV.DIFF",
      ".STAT.EV.LOST.PERC", ".STAT.EV.LOST.PRD.PERC"};
  return suffixes;
}

inline std::vector<std::string> property_names_of(const std::string& base) {
  std::vector<std::string> names;
  for (const std::string& suffix : property_suffixes()) names.push_back(base + suffix);
  return names;
}

// The names registered with `ef` that begin with "<base>.".
inline std::vector<std::string> registered_with_prefix(const EqFct& ef, const std::string& base) {
  std::vector<std::string> names;
  for (const std::string& name : ef.property_names()) {
    if (name.compare(0, base.size() + 1, base + ".") == 0) names.push_back(name);
  }
  return names;
}

// A small deterministic generator, identical on every platform (the standard
// distributions are not). Not thread-safe: one per thread.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<std::uint32_t>(state_ >> 16);
  }
  // Uniform in [0, n).
  std::uint32_t below(std::uint32_t n) { return next() % n; }

 private:
  std::uint64_t state_;
};

// Event numbers as a receiver sees them: mostly consecutive, with gaps,
// swapped pairs, repeats of the previous number, late stragglers, a rare
// record without number or time, wrapping through 2^32 (which makes one
// number 0, an empty record, on the way). Numbers are drawn from `counter`,
// which several streams may share so that they interleave like the threads
// of one receiver.
//
// Thread safety: a stream belongs to one thread; the shared counter is an
// atomic. Generating a record allocates nothing.
class EventStream {
 public:
  EventStream(std::uint64_t seed, std::atomic<std::uint32_t>* counter)
      : rng_(seed), counter_(counter) {}

  // The next record; `sec`/`usec` become its time unless the record is one
  // of the rare ones without a time.
  vrel_time_id next(std::uint32_t sec, std::uint32_t usec) {
    vrel_time_id tid{0, {sec, usec}};
    if (has_pending_) {
      tid.event_number = pending_;
      has_pending_ = false;
    } else {
      const std::uint32_t dice = rng_.below(100);
      if (dice < 70) {
        tid.event_number = take(1);
      } else if (dice < 78) {
        tid.event_number = take(2 + rng_.below(40));  // a gap
      } else if (dice < 85) {
        // A swapped pair: n + 1 arrives before n.
        const std::uint32_t n = take(2) - 1;
        tid.event_number = n + 1;
        pending_ = n;
        has_pending_ = true;
      } else if (dice < 90) {
        tid.event_number = last_;  // a repeat
      } else if (dice < 96) {
        tid.event_number = last_ - 1 - rng_.below(20);  // a late straggler
      } else if (dice < 98) {
        tid.event_number = take(100 + rng_.below(5000));  // a burst lost
      } else if (dice < 99) {
        tid.event_number = 0;  // no event
      } else {
        tid.event_number = take(1);
        tid.time.timeup = 0;  // no time
      }
    }
    last_ = tid.event_number;
    return tid;
  }

 private:
  // Reserves `count` numbers and returns the last of them.
  std::uint32_t take(std::uint32_t count) {
    return counter_->fetch_add(count, std::memory_order_relaxed) + count;
  }

  Rng rng_;
  std::atomic<std::uint32_t>* counter_;
  // The second number of a swapped pair. Not a container: generating events
  // must not allocate, so that allocation checks see only the library's.
  std::uint32_t pending_ = 0;
  bool has_pending_ = false;
  std::uint32_t last_ = 0;
};

// Feeds `tid` through one of the three update operations, chosen by `form`
// (0: server block header, 1: event header, 2: the record itself).
inline bool feed(vrel_daq_event_stat& stat, const vrel_time_id& tid, unsigned form) {
  switch (form % 3) {
    case 0: {
      vrel_serv_block_head_2010 block{};
      block.time = tid.time;
      block.mpulse = static_cast<std::int32_t>(tid.event_number);
      return stat.update(&block);
    }
    case 1: {
      vrel_eventheader header{};
      header.event_number = tid.event_number;
      header.event_time = tid.time;
      header.event_type = VREL_EV_NORMAL;
      return stat.update(&header);
    }
    default: {
      vrel_time_id copy = tid;
      return stat.update_by_tid(&copy);
    }
  }
}

// The statistics as the update is documented to compute them, kept apart
// from the library to check its totals after a run. Knows nothing of
// property objects: "lost" is the value the lost-events property holds.
// Not thread-safe: fed by the one thread that feeds the object.
struct ReferenceModel {
  std::int64_t total = 0;
  std::uint32_t cur = 0;
  std::uint32_t prev = 0;
  std::uint32_t first = 0;
  std::uint32_t ring[32] = {};
  bool local_started = false;
  std::int32_t lost = 0;
  std::int64_t period_start = 0;
  std::int32_t lost_period = 0;
  std::int32_t total_period = 0;
  std::int32_t period = 15;
  float diff = 0.0f;
  float perc_total = 0.0f;
  float perc_period = 0.0f;
  std::int64_t latency_samples = 0;
  std::int64_t period_samples = 0;
  std::int64_t local_period_samples = 0;
  std::int64_t negative_reports = 0;

  // Counts `tid` with the local clock reading `now` seconds; returns whether
  // it was counted.
  bool count(const vrel_time_id& tid, std::int64_t now) {
    const std::uint32_t n = tid.event_number;
    if (n == 0 || tid.time.timeup == 0 || n == cur) return false;
    cur = n;
    ring[n % 32] = n;
    if (local_started) ++local_period_samples;
    local_started = true;
    ++total;
    if (period_start == 0) period_start = now;
    if (now - period_start < period) {
      ++total_period;
    } else {
      total_period = 0;
      lost_period = 0;
      period_start = now;
    }
    ++latency_samples;
    if (first == 0 || first > n) first = n;
    if (prev == 0) {
      prev = n;
      return true;
    }
    ++period_samples;
    const std::int32_t step = static_cast<std::int32_t>(n - prev);
    diff = static_cast<float>(step);
    if (step > 1) {
      const bool late = ring[(n - 1) % 32] + 1u == n;
      if (!late) {
        const std::int64_t sum = static_cast<std::int64_t>(lost) + (step - 1);
        const std::int32_t wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(sum));
        if (wrapped < 0) {
          ++negative_reports;
        } else {
          lost = wrapped;
        }
        if (period_start != 0 && total_period != 0) lost_period += step - 1;
      }
    } else if (step < 0) {
      lost -= 1;
      if (period_start != 0 && total_period != 0 && lost_period >= 1) lost_period -= 1;
    }
    perc_total = static_cast<float>(lost) / static_cast<float>(total) * 100.0f;
    if (total_period != 0) {
      perc_period = static_cast<float>(lost_period) / static_cast<float>(total_period) * 100.0f;
    }
    if (step >= 0) prev = n;
    return true;
  }
};

// What a worker thread is doing, for the watchdog's report.
struct Progress {
  std::atomic<const char*> step{"not started"};
  std::atomic<long> iteration{0};
  std::atomic<bool> done{false};
};

// Runs named worker threads and fails the process, with a report of every
// unfinished worker's last step, if they have not all finished within
// `limit`: a deadlock must end the test run, not hang it. Failures that
// workers record are collected for the test to assert on.
//
// Thread-safe: mutex_ guards remaining_ and failures_; the progress records
// are atomics.
class Workers {
 public:
  explicit Workers(std::chrono::seconds limit) : limit_(limit) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() { join(); }

  // Adds a worker; `body` gets its progress record. Workers start together
  // once run() is called.
  void add(std::string name, std::function<void(Progress&)> body) {
    names_.push_back(std::move(name));
    bodies_.push_back(std::move(body));
  }

  // Starts every worker and the watchdog, and waits for the workers.
  void run() {
    progress_ = std::vector<Progress>(bodies_.size());
    remaining_ = bodies_.size();
    watchdog_ = std::thread([this] { watch(); });
    for (std::size_t i = 0; i < bodies_.size(); ++i) {
      threads_.emplace_back([this, i] { work(i); });
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_ = true;
    }
    start_.notify_all();
    join();
  }

  void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.size() < 20) failures_.push_back(what);
  }

  std::vector<std::string> failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
  }

 private:
  void work(std::size_t i) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [this] { return started_; });
    }
    try {
      bodies_[i](progress_[i]);
    } catch (const std::exception& e) {
      fail(names_[i] + ": " + progress_[i].step.load() + ": exception: " + e.what());
    } catch (...) {
      fail(names_[i] + ": " + progress_[i].step.load() + ": unknown exception");
    }
    progress_[i].done = true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (--remaining_ == 0) finished_.notify_all();
  }

  void watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_.wait_for(lock, limit_, [this] { return remaining_ == 0; })) return;
    std::fprintf(stderr, "watchdog: workers still running after %lld s:\n",
                 static_cast<long long>(limit_.count()));
    for (std::size_t i = 0; i < progress_.size(); ++i) {
      if (progress_[i].done) continue;
      std::fprintf(stderr, "  %s: iteration %ld, last step: %s\n", names_[i].c_str(),
                   progress_[i].iteration.load(), progress_[i].step.load());
    }
    std::fflush(stderr);
    std::abort();
  }

  void join() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
    if (watchdog_.joinable()) watchdog_.join();
  }

  const std::chrono::seconds limit_;
  std::vector<std::string> names_;
  std::vector<std::function<void(Progress&)>> bodies_;
  std::vector<Progress> progress_;
  std::vector<std::thread> threads_;
  std::thread watchdog_;

  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable finished_;
  bool started_ = false;               // guarded by mutex_
  std::size_t remaining_ = 0;          // guarded by mutex_
  std::vector<std::string> failures_;  // guarded by mutex_
};

// Whether another thread can take and release the statistics lock, i.e. no
// thread holds it. A lock left held by a failed operation would block that
// thread for good: after a generous bound the process is aborted, since the
// blocked thread cannot be joined.
inline bool lock_is_free(vrel_daq_event_stat& stat) {
  std::promise<void> taken;
  std::future<void> done = taken.get_future();
  std::thread other([&stat, &taken] {
    stat.mxlock();
    stat.mxunlock();
    taken.set_value();
  });
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "the statistics lock is still held by a finished operation\n");
    std::fflush(stderr);
    std::abort();
  }
  other.join();
  return true;
}

// Remote calls by name, with the reply's error code as the result.
inline int remote_set_int(EqFct& ef, const std::string& name, int value, int* reply = nullptr) {
  EqData in;
  EqData out;
  in.set(value);
  ef.remote_set(name, &in, &out);
  if (reply != nullptr) *reply = out.get_int();
  return out.error();
}

inline int remote_get_int(EqFct& ef, const std::string& name, int* value = nullptr) {
  EqData in;
  EqData out;
  ef.remote_get(name, &in, &out);
  if (value != nullptr) *value = out.get_int();
  return out.error();
}

}  // namespace stress
}  // namespace daqevstat

#endif  // TESTS_STRESS_STRESS_SUPPORT_H_
