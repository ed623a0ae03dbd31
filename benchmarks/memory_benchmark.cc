// The memory held by one statistics object with its whole property set: the
// heap, counted by the binary's allocator, and the blocks of the large-block
// pool (the distributions' bins and the histories' rings); after the
// switch-on, and in steady state once every history ring is full.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "counting_allocator.h"
#include "event.h"
#include "event_stream.h"
#include "large_block_pool.h"
#include "vrel_daq_event_stat.h"

namespace {

std::int64_t live_bytes() {
  return bench::live_heap_bytes() +
         static_cast<std::int64_t>(quelmar::LargeBlockPool::usage().bytes_in_use);
}

void BM_ObjectMemory(benchmark::State& state) {
  EqFct location("BENCH_LOCATION");
  {
    // A thread keeps what its first remote call allocates for its later
    // calls: made here, so that it is not counted as the object's.
    vrel_daq_event_stat first("FIRST first call", &location, VREL_EV_NORMAL);
    bench::switch_on(location, "FIRST");
  }
  std::int64_t switched_on = 0;
  std::int64_t steady = 0;
  for (auto _ : state) {
    const std::int64_t before = live_bytes();
    auto stat = std::make_unique<vrel_daq_event_stat>("BENCH benchmark statistics", &location,
                                                      VREL_EV_NORMAL);
    bench::switch_on(location, "BENCH");
    switched_on = live_bytes() - before;
    bench::EventStream stream;
    // Past every ring and buffer the set keeps.
    for (int i = 0; i < 5000; ++i) stat->update_by_tid(stream.next());
    steady = live_bytes() - before;
    stat.reset();
  }
  state.counters["bytes_switched_on"] = static_cast<double>(switched_on);
  state.counters["bytes_per_object"] = static_cast<double>(steady);
  // The pool's regions, as mapped after the object has gone: what its
  // blocks cost the process beyond their own size.
  state.counters["pool_bytes_reserved"] =
      static_cast<double>(quelmar::LargeBlockPool::usage().bytes_reserved);
}
BENCHMARK(BM_ObjectMemory)->Iterations(1);

}  // namespace
