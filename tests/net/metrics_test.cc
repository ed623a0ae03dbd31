// The Prometheus text: exact figures for known events, label escaping, and a
// simulated server's metrics read by the Prometheus client's own parser.

#include "net/metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "net_fixture.h"
#include "tool/simulate/simulated_server.h"

namespace daqnet::testing {
namespace {

bool has_line(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos || text.rfind(line + "\n", 0) == 0;
}

class MetricsTest : public ServedLocation {};

TEST_F(MetricsTest, KnownEventsGiveExactFiguresAndCumulativeBuckets) {
  feed(11);  // 10 periods of 3 ms, 11 latencies of 4 ms
  const std::string text = render_metrics(location_);
  for (const char* line : {
           "# TYPE daqevstat_events_total counter",
           "daqevstat_events_total{base=\"EVSTAT\"} 11",
           "# TYPE daqevstat_lost_events gauge",
           "daqevstat_lost_events{base=\"EVSTAT\"} 0",
           "daqevstat_lost_period_seconds{base=\"EVSTAT\"} 15",
           "daqevstat_current_event_number{base=\"EVSTAT\"} 11",
           "daqevstat_current_event_info{base=\"EVSTAT\",text=\"VREL_EV_UNKNOWN(4294967295)\"} 1",
           "# TYPE daqevstat_event_period_seconds histogram",
           "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"0.001\"} 0",
           "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"0.002\"} 0",
           "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"0.005\"} 10",
           "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"5\"} 10",
           "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"+Inf\"} 10",
           "daqevstat_event_period_seconds_count{base=\"EVSTAT\"} 10",
           "daqevstat_event_period_seconds_sum{base=\"EVSTAT\"} 0.035",  // 10 x 3.5 ms
           "daqevstat_event_latency_seconds_bucket{base=\"EVSTAT\",le=\"0.002\"} 0",
           "daqevstat_event_latency_seconds_bucket{base=\"EVSTAT\",le=\"0.005\"} 11",
           "daqevstat_event_latency_seconds_count{base=\"EVSTAT\"} 11",
       }) {
    EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
  }
  // Each family is announced once, before its samples.
  EXPECT_EQ(text.find("# HELP daqevstat_event_period_seconds "),
            text.rfind("# HELP daqevstat_event_period_seconds "));
}

TEST_F(MetricsTest, TheClampedLastBinStaysOutOfEveryBoundedBucket) {
  // 9 s between two events lands in the last bin (8191 ms and above).
  feed(1);
  vrel_time_id late{2, {1700000009, 3000}};
  clock_.set(1700000009, 7000);
  stat_->update_by_tid(&late);
  const std::string text = render_metrics(location_);
  EXPECT_TRUE(has_line(text, "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"5\"} 0"))
      << text;
  EXPECT_TRUE(
      has_line(text, "daqevstat_event_period_seconds_bucket{base=\"EVSTAT\",le=\"+Inf\"} 1"));
  EXPECT_TRUE(has_line(text, "daqevstat_event_period_seconds_sum{base=\"EVSTAT\"} 8.1915"));
}

TEST_F(MetricsTest, LabelValuesAreEscapedAndUtf8) {
  vrel_daq_event_stat odd("a\"b\\c\xff\xc3\xa9 odd base", &location_);
  write_int("a\"b\\c\xff\xc3\xa9.STAT.ON", 1);
  const std::string text = render_metrics(location_);
  EXPECT_TRUE(has_line(text, "daqevstat_stat_on{base=\"a\\\"b\\\\c\xef\xbf\xbd\xc3\xa9\"} 1"))
      << text;
  EXPECT_TRUE(has_line(text, "daqevstat_stat_on{base=\"EVSTAT\"} 1"));
  // Both objects' samples stay under one announcement of the family.
  EXPECT_EQ(text.find("# TYPE daqevstat_stat_on"), text.rfind("# TYPE daqevstat_stat_on"));
}

TEST_F(MetricsTest, OtherNumericPropertiesAreGenericGaugesAndSwitchedOffObjectsShrink) {
  write_int("EVSTAT.STAT.ON", 0);
  const std::string text = render_metrics(location_);
  EXPECT_TRUE(has_line(text, "daqevstat_stat_on{base=\"EVSTAT\"} 0")) << text;
  EXPECT_EQ(std::string::npos, text.find("daqevstat_events_total"));
  EXPECT_EQ(std::string::npos, text.find("histogram"));
}

// A simulated server with lost, reordered and repeated events on two
// objects, paused so that the two reads agree, checked by the Prometheus
// client's parser.
TEST(MetricsParsedTest, PrometheusClientReadsEveryPropertyConsistently) {
  // scripts/deps.sh installs the parser (python3-prometheus-client).
  ASSERT_EQ(0, std::system((std::string(DAQNET_PYTHON) + " -c 'import prometheus_client'").c_str()))
      << DAQNET_PYTHON << " cannot import prometheus_client";
  daqevstat::tool::ServerOptions options;
  options.rate_hz = 5000;
  options.objects = 2;
  options.faults.loss = 0.02;
  options.faults.reorder = 0.01;
  options.faults.duplicate = 0.01;
  options.faults.latency_ms = 30;
  options.faults.jitter_ms = 20;
  daqevstat::tool::SimulatedServer server(options);
  HttpServer http(server.location(), HttpServerOptions{});
  http.start();
  server.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  server.pause();
  const std::string command =
      std::string(DAQNET_PYTHON) + " " + DAQNET_METRICS_CHECK + " " + http.url() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  server.resume();
  http.stop();
  server.stop();
  EXPECT_EQ(0, status) << output;
  EXPECT_NE(std::string::npos, output.find("22 properties, 6 histograms")) << output;
}

}  // namespace
}  // namespace daqnet::testing
