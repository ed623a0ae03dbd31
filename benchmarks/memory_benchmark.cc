// The heap held by one statistics object with its whole property set,
// counted by the binary's allocator: after the switch-on, and in steady state
// once every history ring is full.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "counting_allocator.h"
#include "event.h"
#include "event_stream.h"
#include "vrel_daq_event_stat.h"

namespace {

void BM_ObjectMemory(benchmark::State& state) {
  EqFct location("BENCH_LOCATION");
  std::int64_t switched_on = 0;
  std::int64_t steady = 0;
  for (auto _ : state) {
    const std::int64_t before = bench::live_heap_bytes();
    auto stat = std::make_unique<vrel_daq_event_stat>("BENCH benchmark statistics", &location,
                                                      VREL_EV_NORMAL);
    bench::switch_on(location, "BENCH");
    switched_on = bench::live_heap_bytes() - before;
    bench::EventStream stream;
    // Past every ring and buffer the set keeps.
    for (int i = 0; i < 5000; ++i) stat->update_by_tid(stream.next());
    steady = bench::live_heap_bytes() - before;
    stat.reset();
  }
  state.counters["bytes_switched_on"] = static_cast<double>(switched_on);
  state.counters["bytes_per_object"] = static_cast<double>(steady);
}
BENCHMARK(BM_ObjectMemory)->Iterations(1);

}  // namespace
