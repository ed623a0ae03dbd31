// Cost of counting one event on the real clock, set against the platform work
// that no counted event can avoid; and the same while a client polls.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event.h"
#include "event_stream.h"
#include "local_clock.h"
#include "thread_annotations.h"
#include "vrel_daq_event_stat.h"

namespace {

constexpr const char* kBase = "BENCH";
constexpr const char* kName = "BENCH benchmark statistics";

// A server always runs more than one thread, and glibc drops the atomic
// instructions of an uncontended mutex for as long as a process has never
// started a second one: every benchmark here runs after one has been.
const bool kProcessIsMultiThreaded = [] {
  std::thread([] {}).join();
  return true;
}();

// Two microsecond readings, one whole-second reading and one uncontended
// lock and unlock of the statistics mutex: what one counted event needs.
void BM_Floor(benchmark::State& state) {
  quelmar::Mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::DoNotOptimize(daqevstat::local_time_of_day());
    benchmark::DoNotOptimize(daqevstat::local_time_seconds());
    benchmark::DoNotOptimize(daqevstat::local_time_of_day());
    mutex.unlock();
  }
}
BENCHMARK(BM_Floor);

void BM_LockUnlock(benchmark::State& state) {
  quelmar::Mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_LockUnlock);

// One statistics object with its whole set on a location of its own,
// switched on by a client.
struct SwitchedOn {
  explicit SwitchedOn(bool on = true) {
    if (on) bench::switch_on(location, kBase);
  }
  EqFct location{"BENCH_LOCATION"};
  vrel_daq_event_stat stat{kName, &location, VREL_EV_NORMAL};
  bench::EventStream stream;
};

void BM_CountedEvent(benchmark::State& state) {
  SwitchedOn s;
  for (auto _ : state) benchmark::DoNotOptimize(s.stat.update_by_tid(s.stream.next()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountedEvent);

// The header forms copy the header under the lock first. The header is
// filled field by field: the stream has just written its time's two fields
// one at a time, and copying them as one 8-byte struct would make the
// benchmark's own load wait for those stores to reach the cache.
template <typename Header, typename Fill>
void count_through_headers(benchmark::State& state, Fill fill) {
  SwitchedOn s;
  Header header{};
  for (auto _ : state) {
    fill(header, *s.stream.next());
    benchmark::DoNotOptimize(s.stat.update(&header));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CountedEventHeader(benchmark::State& state) {
  count_through_headers<vrel_eventheader>(state, [](vrel_eventheader& h, const vrel_time_id& t) {
    h.event_number = t.event_number;
    h.event_time.timeup = t.time.timeup;
    h.event_time.timelow = t.time.timelow;
  });
}
BENCHMARK(BM_CountedEventHeader);

void BM_CountedEventBlock(benchmark::State& state) {
  count_through_headers<vrel_serv_block_head_2010>(
      state, [](vrel_serv_block_head_2010& b, const vrel_time_id& t) {
        b.mpulse = static_cast<std::int32_t>(t.event_number);
        b.time.timeup = t.time.timeup;
        b.time.timelow = t.time.timelow;
      });
}
BENCHMARK(BM_CountedEventBlock);

// A repeat of the event counted last: refused before the lock.
void BM_DuplicateEvent(benchmark::State& state) {
  SwitchedOn s;
  vrel_time_id* tid = s.stream.next();
  s.stat.update_by_tid(tid);
  for (auto _ : state) benchmark::DoNotOptimize(s.stat.update_by_tid(tid));
}
BENCHMARK(BM_DuplicateEvent);

void BM_StatisticsOff(benchmark::State& state) {
  SwitchedOn s(false);
  for (auto _ : state) benchmark::DoNotOptimize(s.stat.update_by_tid(s.stream.next()));
}
BENCHMARK(BM_StatisticsOff);

// Counts events while `other` runs on a second thread, calling it until the
// measurement ends; returns how often it was called.
template <typename Other>
long count_beside(benchmark::State& state, SwitchedOn& s, Other other) {
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};
  std::thread beside([&stop, &rounds, &other] {
    while (!stop.load(std::memory_order_relaxed)) {
      other();
      rounds.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (auto _ : state) benchmark::DoNotOptimize(s.stat.update_by_tid(s.stream.next()));
  stop = true;
  beside.join();
  state.SetItemsProcessed(state.iterations());
  return rounds.load();
}

// Counting while a request thread reads every published property by name,
// back to back, as a client polling as fast as it can would.
void BM_CountedEventWithReader(benchmark::State& state) {
  SwitchedOn s;
  const std::vector<std::string> names = s.location.property_names();
  EqData in;
  EqData out;
  const long sweeps = count_beside(state, s, [&] {
    for (const std::string& name : names) s.location.remote_get(name, &in, &out);
  });
  state.counters["reader_sweeps"] = static_cast<double>(sweeps);
}
BENCHMARK(BM_CountedEventWithReader)->UseRealTime();

// Counting while a request thread reads every published property through
// the remote calls 100 times a second, ten times what a busy deployment
// asks: the CPU time of the event thread per event, to set beside
// BM_CountedEvent of the same run.
void BM_CountedEventWithPacedReader(benchmark::State& state) {
  SwitchedOn s;
  const std::vector<std::string> names = s.location.property_names();
  EqData in;
  EqData out;
  auto next = std::chrono::steady_clock::now();
  const long sweeps = count_beside(state, s, [&] {
    for (const std::string& name : names) s.location.remote_get(name, &in, &out);
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
  });
  state.counters["reader_sweeps"] = static_cast<double>(sweeps);
}
BENCHMARK(BM_CountedEventWithPacedReader);

// The same with the other thread busy on its own data only, touching nothing
// the event thread uses: what a second busy thread costs the event thread
// on this machine by itself (cores that share execution units or are
// time-sliced by a hypervisor), the reference for the reader case.
void BM_CountedEventWithBusyThread(benchmark::State& state) {
  SwitchedOn s;
  volatile long sink = 0;
  count_beside(state, s, [&sink] {
    for (long i = 0; i < 1000; ++i) sink = sink + i;
  });
}
BENCHMARK(BM_CountedEventWithBusyThread)->UseRealTime();

// Many statistics objects on one location, fed round robin: the per-event
// cost once the objects no longer fit the caches together.
void BM_Objects(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  EqFct location("BENCH_LOCATION");
  std::vector<std::unique_ptr<vrel_daq_event_stat>> stats;
  std::vector<bench::EventStream> streams(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string base = "BENCH" + std::to_string(i);
    stats.push_back(std::make_unique<vrel_daq_event_stat>((base + " statistics").c_str(), &location,
                                                          VREL_EV_NORMAL));
    bench::switch_on(location, base);
  }
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(stats[next]->update_by_tid(streams[next].next()));
    if (++next == count) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Objects)->Arg(1)->Arg(100)->Arg(1000);

// The old manual-clock measurement: the counting alone, no clock cost.
void BM_CountedEventManualClock(benchmark::State& state) {
  daqevstat::ManualClock clock(1700000000, 0);
  daqevstat::ScopedLocalClock use_clock(&clock);
  EqFct location("BENCH_LOCATION");
  vrel_daq_event_stat stat(kName, &location);
  bench::switch_on(location, kBase);
  vrel_time_id tid{1, {1700000000u, 0u}};
  for (auto _ : state) {
    tid.event_number += (tid.event_number % 100 == 0) ? 2 : 1;
    tid.time.timelow = (tid.time.timelow + 1000) % 1000000;
    clock.advance_usec(1000);
    benchmark::DoNotOptimize(stat.update_by_tid(&tid));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CountedEventManualClock);

}  // namespace
