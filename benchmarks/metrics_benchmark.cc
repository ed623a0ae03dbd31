// Cost of one /metrics answer's text: every property of a location with one
// switched-on statistics object, read through its remote calls and written
// in the exposition format, as the HTTP server's I/O thread does per scrape.
//
// `metrics_benchmark --print` writes that text once to standard output, so
// that two builds can be compared byte for byte; --print-protobuf the same
// scrape in the protobuf exposition, --print-properties the location's
// /api/v1/properties document. BM_PropertiesJson is the cost of that document.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "eq_fct.h"
#include "event.h"
#include "event_stream.h"
#include "local_clock.h"
#include "net/metrics.h"
#include "net/property_json.h"
#include "vrel_daq_event_stat.h"

namespace {

// A location fed a stream as a loaded DAQ server sees it: 10 kHz, one lost
// event in 100, latencies of 20 ms +- 6 ms and arrival jitter, so that each
// distribution holds a realistic spread of bins and most bins stay empty.
struct FedLocation {
  FedLocation() {
    bench::switch_on(location, "BENCH");
    std::uint32_t seed = 12345;
    const auto jitter = [&seed](int range) {
      seed = seed * 1664525u + 1013904223u;
      return static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(2 * range + 1)) - range;
    };
    vrel_time_id tid{1, {1700000000u, 0u}};
    std::int64_t event_usec = 0;
    for (int i = 0; i < 200000; ++i) {
      tid.event_number += (tid.event_number % 100 == 0) ? 2 : 1;
      event_usec += 100;
      tid.time.timeup = static_cast<std::uint32_t>(1700000000 + event_usec / 1000000);
      tid.time.timelow = static_cast<std::uint32_t>(event_usec % 1000000);
      const std::int64_t arrival = event_usec + 20000 + 1000 * jitter(6) + jitter(300);
      clock.set(1700000000 + arrival / 1000000, arrival % 1000000);
      stat.update_by_tid(&tid);
    }
  }

  daqevstat::ManualClock clock{1700000000, 0};
  daqevstat::ScopedLocalClock use_clock{&clock};
  EqFct location{"BENCH_LOCATION"};
  vrel_daq_event_stat stat{"BENCH benchmark statistics", &location, VREL_EV_NORMAL};
};

// Argument 0: the text format; 1: the protobuf exposition.
void BM_RenderMetrics(benchmark::State& state) {
  FedLocation fed;
  const std::vector<EqFct*> locations{&fed.location};
  const auto format =
      state.range(0) == 1 ? daqnet::MetricsFormat::protobuf : daqnet::MetricsFormat::text;
  state.SetLabel(state.range(0) == 1 ? "protobuf" : "text");
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = daqnet::render_metrics(locations, format);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderMetrics)->Arg(0)->Arg(1);

void BM_PropertiesJson(benchmark::State& state) {
  FedLocation fed;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = daqnet::json_text(daqnet::properties_json(fed.location));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PropertiesJson);

}  // namespace

int main(int argc, char** argv) {
  const bool print_protobuf = argc == 2 && std::strcmp(argv[1], "--print-protobuf") == 0;
  if (argc == 2 && std::strcmp(argv[1], "--print-properties") == 0) {
    FedLocation fed;
    const std::string text = daqnet::json_text(daqnet::properties_json(fed.location));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  if ((argc == 2 && std::strcmp(argv[1], "--print") == 0) || print_protobuf) {
    FedLocation fed;
    const std::string text =
        daqnet::render_metrics({&fed.location}, print_protobuf ? daqnet::MetricsFormat::protobuf
                                                               : daqnet::MetricsFormat::text);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
