// Cost of counting one event, alone and with request threads reading the
// published properties at the same time.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"
#include "local_clock.h"
#include "vrel_daq_event_stat.h"

namespace {

constexpr const char* kBase = "BENCH";

void switch_on(EqFct& location) {
  EqData in;
  EqData out;
  in.set(1);
  location.remote_set(std::string(kBase) + ".STAT.ON", &in, &out);
}

// Events in order with one lost event every 100, arriving 1 ms apart.
void BM_UpdateByTid(benchmark::State& state) {
  daqevstat::ManualClock clock(1700000000, 0);
  daqevstat::ScopedLocalClock use_clock(&clock);
  EqFct location("BENCH_LOCATION");
  vrel_daq_event_stat stat("BENCH benchmark statistics", &location);
  switch_on(location);

  vrel_time_id tid{1, {1700000000u, 0u}};
  for (auto _ : state) {
    tid.event_number += (tid.event_number % 100 == 0) ? 2 : 1;
    tid.time.timelow = (tid.time.timelow + 1000) % 1000000;
    clock.advance_usec(1000);
    benchmark::DoNotOptimize(stat.update_by_tid(&tid));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateByTid);

// The same through the event-header form, which copies under the lock first.
void BM_UpdateEventHeader(benchmark::State& state) {
  daqevstat::ManualClock clock(1700000000, 0);
  daqevstat::ScopedLocalClock use_clock(&clock);
  EqFct location("BENCH_LOCATION");
  vrel_daq_event_stat stat("BENCH benchmark statistics", &location, VREL_EV_NORMAL);
  switch_on(location);

  vrel_eventheader header{};
  header.event_time.timeup = 1700000000u;
  for (auto _ : state) {
    ++header.event_number;
    clock.advance_usec(1000);
    benchmark::DoNotOptimize(stat.update(&header));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateEventHeader);

// Statistics switched off: the admission test alone.
void BM_UpdateWhileOff(benchmark::State& state) {
  EqFct location("BENCH_LOCATION");
  vrel_daq_event_stat stat("BENCH benchmark statistics", &location);
  vrel_time_id tid{1, {1700000000u, 0u}};
  for (auto _ : state) {
    ++tid.event_number;
    benchmark::DoNotOptimize(stat.update_by_tid(&tid));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateWhileOff);

// Counting while two request threads keep reading every published property.
void BM_UpdateWithRemoteReaders(benchmark::State& state) {
  EqFct location("BENCH_LOCATION");
  vrel_daq_event_stat stat("BENCH benchmark statistics", &location);
  switch_on(location);

  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&location, &stop] {
      const std::vector<std::string> names = location.property_names();
      EqData in;
      EqData out;
      while (!stop.load(std::memory_order_relaxed)) {
        for (const std::string& name : names) location.remote_get(name, &in, &out);
      }
    });
  }

  vrel_time_id tid{1, {1700000000u, 0u}};
  for (auto _ : state) {
    ++tid.event_number;
    benchmark::DoNotOptimize(stat.update_by_tid(&tid));
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateWithRemoteReaders)->UseRealTime();

}  // namespace
