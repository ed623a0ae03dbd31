// The exposition encoder without a location where it can be: native buckets
// read back as Prometheus reads them, the protobuf messages decoded by protoc
// against our schema, and the choice of format by Accept header.

#include "net/exposition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "distributions.h"
#include "net/metrics.h"
#include "net_fixture.h"

namespace daqnet::testing {
namespace {

using exposition::Bins;
using exposition::NativeHistogram;

constexpr double kQuantiles[] = {0.5, 0.9, 0.99};

// What Prometheus' histogram_quantile makes of a native histogram: the zero
// bucket first, from 0 (there are no negative buckets), then the positive
// buckets in order; the rank's bucket interpolated linearly.
double native_quantile(double q, const NativeHistogram& h) {
  const double rank = q * static_cast<double>(h.count);
  double seen = static_cast<double>(h.zero_count);
  if (h.zero_count > 0 && seen >= rank) return h.zero_threshold * rank / seen;
  double upper = h.zero_threshold;
  for (const auto& [key, count] : h.buckets) {
    const double lower = exposition::native_upper_bound(key - 1);
    upper = exposition::native_upper_bound(key);
    const double below = seen;
    seen += static_cast<double>(count);
    if (seen >= rank) return lower + (upper - lower) * (rank - below) / static_cast<double>(count);
  }
  return upper;
}

// |native - exact| for each quantile, with the bound proved in docs/http.md:
// the bucket's width, under 2^(1/32) - 1 = 2.19 % of the exact value, or for
// the zero bucket its threshold, under 1 ms.
void expect_within_bound(const std::vector<double>& bins, const std::string& what) {
  NativeHistogram h;
  exposition::native_histogram({&bins, 0.0, 1.0}, &h);
  ASSERT_TRUE(h.exact) << what;
  const double relative = std::exp2(1.0 / 32) - 1;
  for (const double q : kQuantiles) {
    const double exact = exact_percentile(q, bins);
    const double native = native_quantile(q, h);
    const double bound = exact > 0.0 ? relative * exact : h.zero_threshold;
    ASSERT_LE(std::fabs(native - exact), bound) << what << " p" << q * 100 << " exact " << exact;
    ASSERT_LE(std::fabs(native - exact), std::max(0.03 * exact, 0.001)) << what;
  }
}

// The text writer puts each distribution's bucket lines together in one
// buffer, sharing a line's digits with the next where the count is the
// same, and skips the bins from the reply's used bound on. Whatever the
// counts (fractions, NaN, -0.0, counts too large for an integer form), its
// text must be that of the figures written line by line, and the same with
// the bound as without it.
TEST(TextExpositionTest, HistogramLinesAreItsFiguresLineByLine) {
  struct Case {
    const char* label;
    std::vector<double> bins;
    double start_ms;
  };
  std::vector<double> spread(8192, 0.0);
  for (std::size_t i = 0; i < 400; i += 7) spread[i] = static_cast<double>(i % 5);
  spread[8191] = 3.0;
  const Case cases[] = {
      {"empty tail", {0, 4, 0, 1, 0, 0, 0, 0}, 0.0},
      {"all zero", std::vector<double>(64, 0.0), 0.0},
      {"fractions and -0.0", {0.5, -0.0, 2.25, 0, 1e-3, 0, 0, 0}, 0.0},
      {"NaN bin", {1, std::nan(""), 2, 0}, 0.0},
      {"beyond integers", {1e20, 3, 0, 0}, 0.0},
      {"shifted start", {1, 1, 1, 1, 1, 1, 1, 1}, 7.0},
      {"spread, clamped top", spread, 0.0},
  };
  const exposition::Family family{"h", exposition::Kind::histogram, "help"};
  exposition::Labels labels;
  labels.add("location", "L");
  labels.add("base", "B");
  exposition::TextWriter writer(&family, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    exposition::ClassicHistogram figures;
    exposition::classic_histogram({&c.bins, c.start_ms, 1.0}, &figures);
    std::string expected = "# HELP h help\n# TYPE h histogram\n";
    const auto line = [&](const std::string& name, const std::string& more, double value) {
      expected += name + "{" + labels.text() + more + "} ";
      exposition::append_number(expected, value);
      expected += "\n";
    };
    for (std::size_t b = 0; b < figures.cumulative.size(); ++b) {
      char bound[32];
      std::snprintf(bound, sizeof bound, ",le=\"%.15g\"", exposition::kClassicBoundsMs[b] / 1000.0);
      line("h_bucket", bound, figures.cumulative[b]);
    }
    line("h_bucket", ",le=\"+Inf\"", figures.count);
    line("h_sum", "", figures.sum_seconds);
    line("h_count", "", figures.count);
    const std::size_t used = exposition::used_length(c.bins);
    for (const std::size_t bound : {static_cast<std::size_t>(-1), c.bins.size(), used}) {
      writer.clear();
      writer.histogram(0, labels, {&c.bins, c.start_ms, 1.0, bound});
      EXPECT_EQ(expected, writer.finish()) << "bound " << bound;
    }
  }
}

TEST(NativeHistogramTest, QuantilesLandWithinTheBucketOfTheExactPercentile) {
  for (const Distribution& d : distributions()) expect_within_bound(d.bins, d.what);
  // Every bin on its own, from the zero bucket to the clamped top.
  std::vector<double> bins(kBins, 0.0);
  for (int at = 0; at < kBins; ++at) {
    if (at > 0) bins[static_cast<std::size_t>(at - 1)] = 0.0;
    bins[static_cast<std::size_t>(at)] = 7.0;
    expect_within_bound(bins, "spike at " + std::to_string(at) + " ms");
  }
}

TEST(NativeHistogramTest, CountsAreExactAndEdgesGoToTheZeroBucketAndTheTop) {
  std::vector<double> bins(kBins, 0.0);
  bins[0] = 3;          // below 1 ms
  bins[1] = 4;          // 1 ms
  bins[500] = 5;        // 0.5 s, a bucket's upper bound exactly
  bins[kBins - 1] = 6;  // 8191 ms and above
  NativeHistogram h;
  exposition::native_histogram({&bins, 0.0, 1.0}, &h);
  ASSERT_TRUE(h.exact);
  EXPECT_EQ(18u, h.count);
  EXPECT_EQ(3u, h.zero_count);
  EXPECT_LT(h.zero_threshold, 0.001);
  ASSERT_EQ(3u, h.buckets.size());
  EXPECT_LT(exposition::native_upper_bound(h.buckets[0].first - 1), 0.001);
  EXPECT_EQ(h.zero_threshold, exposition::native_upper_bound(h.buckets[0].first - 1));
  EXPECT_EQ(0.5, exposition::native_upper_bound(h.buckets[1].first));
  EXPECT_EQ(5u, h.buckets[1].second);
  EXPECT_LE(exposition::native_upper_bound(h.buckets[2].first - 1), 8.191);
  EXPECT_GE(exposition::native_upper_bound(h.buckets[2].first), 8.191);
  EXPECT_EQ(6u, h.buckets[2].second);

  // A count that is not a whole number leaves the native buckets out.
  bins[7] = 0.5;
  exposition::native_histogram({&bins, 0.0, 1.0}, &h);
  EXPECT_FALSE(h.exact);
  EXPECT_TRUE(h.buckets.empty());
}

// Each length-delimited message of `stream` in protoc's text form.
std::vector<std::string> decoded(const std::string& stream) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t length = 0;
    for (int shift = 0;; shift += 7) {
      const auto byte = static_cast<unsigned char>(stream.at(at++));
      length |= static_cast<std::size_t>(byte & 0x7f) << shift;
      if (byte < 0x80) break;
    }
    const std::string path = ::testing::TempDir() + "exposition_message.bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(stream.data() + at, 1, length, file);
    std::fclose(file);
    at += length;
    const std::string command = "protoc --decode=io.prometheus.client.MetricFamily -I " +
                                std::string(DAQNET_EXPOSITION_PROTO_DIR) + " exposition.proto < " +
                                path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      text.append(buffer, n);
    EXPECT_EQ(0, pclose(pipe)) << text;
    out.push_back(text);
  }
  return out;
}

class ProtobufExpositionTest : public ServedLocation {};

TEST_F(ProtobufExpositionTest, DecodesAgainstTheSchemaWithTheTextsFamiliesAndFigures) {
  if (std::system("command -v protoc >/dev/null 2>&1") != 0) GTEST_SKIP() << "no protoc";
  feed(11);  // 10 periods of 3 ms, 11 latencies of 4 ms
  vrel_daq_event_stat odd("Q\"\\\xff odd base", &location_);
  write_int("Q\"\\\xff.STAT.ON", 1);
  const std::string text = render_metrics({&location_});
  const std::vector<std::string> families =
      decoded(render_metrics({&location_}, MetricsFormat::protobuf));
  std::size_t announced = 0;
  for (std::size_t at = text.find("# TYPE "); at != std::string::npos;
       at = text.find("# TYPE ", at + 1)) {
    const std::string name = text.substr(at + 7, text.find(' ', at + 7) - at - 7);
    ASSERT_LT(announced, families.size());
    EXPECT_EQ(0u, families[announced].find("name: \"" + name + "\"")) << families[announced];
    ++announced;
  }
  EXPECT_EQ(announced, families.size());

  const auto family = [&](const std::string& name) {
    for (const std::string& f : families) {
      if (f.find("name: \"" + name + "\"") == 0) return f;
    }
    return std::string();
  };
  const std::string period = family("daqevstat_event_period_seconds");
  for (const char* line :
       {"type: HISTOGRAM", "sample_count: 10", "sample_sum: 0.035", "schema: 5", "zero_count: 0",
        "cumulative_count: 10\n      upper_bound: 0.004",
        "cumulative_count: 0\n      upper_bound: 0.003", "positive_span {", "positive_delta: 10"}) {
    EXPECT_NE(std::string::npos, period.find(line)) << line << "\n" << period;
  }
  EXPECT_EQ(std::string::npos, period.find("upper_bound: inf"));
  EXPECT_NE(std::string::npos, family("daqevstat_events_total")
                                   .find("type: COUNTER\nmetric {\n  label {\n    name: "
                                         "\"location\"\n    value: \"LOC\""));
  // Label values unescaped, invalid UTF-8 replaced.
  EXPECT_NE(std::string::npos,
            family("daqevstat_stat_on").find("value: \"Q\\\"\\\\\\357\\277\\275\""))
      << family("daqevstat_stat_on");
}

TEST_F(ProtobufExpositionTest, ServedByAcceptWithItsContentType) {
  serve();
  auto c = client();
  const std::string kProtobuf =
      "application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; "
      "encoding=delimited";
  const auto proto = c->Get("/metrics", {{"Accept", kProtobuf}});
  ASSERT_TRUE(proto);
  EXPECT_EQ(kProtobuf, proto->get_header_value("Content-Type"));
  EXPECT_EQ("Accept", proto->get_header_value("Vary"));
  EXPECT_EQ(render_metrics({&location_}, MetricsFormat::protobuf), proto->body);
  const auto text = c->Get("/metrics", {{"Accept", "text/plain"}});
  ASSERT_TRUE(text);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", text->get_header_value("Content-Type"));
  EXPECT_EQ(render_metrics({&location_}), text->body);
}

TEST_F(ProtobufExpositionTest, ProtobufOnlyWhenNamedWholeAndPreferred) {
  serve();
  auto client_ = client();
  struct Case {
    const char* accept;
    MetricsFormat format;
  };
  const auto protobuf = MetricsFormat::protobuf;
  const auto text = MetricsFormat::text;
  for (const Case& c : {
           Case{"", text},
           Case{"*/*", text},
           Case{"text/plain;version=0.0.4", text},
           Case{"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=delimited",
                protobuf},
           // What a Prometheus with native histograms on sends.
           Case{"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=delimited;q=0.8,application/openmetrics-text;version=1.0.0;q=0.7,"
                "text/plain;version=0.0.4;q=0.6,*/*;q=0.5",
                protobuf},
           // And one without.
           Case{"application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1",
                text},
           Case{"APPLICATION/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; "
                "encoding=\"delimited\"",
                protobuf},
           Case{"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=text",
                text},
           Case{"application/vnd.google.protobuf;encoding=delimited", text},
           Case{"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=delimited;q=0",
                text},
           Case{"text/plain;q=0.9,application/vnd.google.protobuf;"
                "proto=io.prometheus.client.MetricFamily;encoding=delimited;q=0.5",
                text},
           Case{"application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=delimited;q=2",
                text},
           Case{"application/vnd.google.protobuf;proto=\"a,b\";encoding=delimited,"
                "application/vnd.google.protobuf;proto=io.prometheus.client.MetricFamily;"
                "encoding=delimited;q=0.2, text/*;q=0.1",
                protobuf},
       }) {
    const auto reply = client_->Get("/metrics", {{"Accept", c.accept}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(c.format == protobuf ? exposition::kProtobufContentType
                                   : "text/plain; version=0.0.4; charset=utf-8",
              reply->get_header_value("Content-Type"))
        << c.accept;
  }
}

}  // namespace
}  // namespace daqnet::testing
