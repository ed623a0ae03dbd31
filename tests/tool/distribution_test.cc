#include "tool/output/distribution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "D_spectrum.h"

namespace daqevstat::tool {
namespace {

// A distribution of 8192 bins of 1 ms with the given (bin, count) pairs.
Distribution timing(std::vector<std::pair<std::size_t, double>> counts) {
  Distribution d;
  d.name = "EVSTAT.STAT.EV.LATENCY.TD";
  d.bins.assign(8192, 0.0);
  for (const auto& [bin, count] : counts) d.bins[bin] = count;
  return d;
}

TEST(DistributionTest, ReadsNameDescriptionAndBinsOfASpectrum) {
  D_spectrum spectrum("B.STAT.EV.PERIOD.TD time distance (ms)", 16, nullptr, false);
  spectrum.fill_spectrum(3, 7.0);
  spectrum.spectrum_parameter(0, 1, 0, 0.0f, 1.0f);
  const Distribution d = read_distribution(spectrum);
  EXPECT_EQ("B.STAT.EV.PERIOD.TD", d.name);
  EXPECT_EQ("time distance (ms)", d.description);
  ASSERT_EQ(16u, d.bins.size());
  EXPECT_EQ(7.0, d.bins[3]);
  EXPECT_EQ(0.0, d.start_ms);
  EXPECT_EQ(1.0, d.bin_ms);
}

TEST(DistributionTest, PercentilesUseTheNearestRank) {
  // One bin holds everything.
  DistributionSummary s = summarize(timing({{5, 10}}));
  EXPECT_EQ(10.0, s.samples);
  EXPECT_EQ(5u, s.p50_bin);
  EXPECT_EQ(5u, s.p99_bin);
  EXPECT_EQ(5u, s.highest_bin);

  // rank ceil(0.5 * 2) = 1: the lower of two single samples.
  EXPECT_EQ(2u, summarize(timing({{2, 1}, {7, 1}})).p50_bin);

  // 99 of 100 samples reach the p99 rank exactly; one more sample in the
  // tail moves it there.
  s = summarize(timing({{1, 99}, {40, 1}}));
  EXPECT_EQ(1u, s.p90_bin);
  EXPECT_EQ(1u, s.p99_bin);
  EXPECT_EQ(40u, s.highest_bin);
  s = summarize(timing({{1, 99}, {40, 2}}));
  EXPECT_EQ(40u, s.p99_bin);
  s = summarize(timing({{3, 50}, {4, 40}, {9, 9}, {200, 1}}));
  EXPECT_EQ(3u, s.p50_bin);
  EXPECT_EQ(4u, s.p90_bin);
  EXPECT_EQ(9u, s.p99_bin);
}

TEST(DistributionTest, ClampedBinsCountAndRank) {
  const DistributionSummary s = summarize(timing({{0, 3}, {8191, 2}}));
  EXPECT_EQ(5.0, s.samples);
  EXPECT_EQ(3.0, s.first_bin);
  EXPECT_EQ(2.0, s.last_bin);
  EXPECT_EQ(0u, s.p50_bin);
  EXPECT_EQ(8191u, s.p90_bin);
  EXPECT_EQ(8191u, s.highest_bin);
}

TEST(DistributionTest, EmptyOrInvalidContentHasNoPercentiles) {
  const DistributionSummary empty = summarize(timing({}));
  EXPECT_EQ(0.0, empty.samples);
  EXPECT_FALSE(empty.p50_bin);
  EXPECT_FALSE(empty.p99_bin);
  EXPECT_FALSE(empty.highest_bin);
  EXPECT_FALSE(summarize(Distribution{}).highest_bin);
  // Negative or NaN content is no sample.
  const DistributionSummary odd = summarize(timing({{4, -3}, {6, std::nan("")}, {9, 2}}));
  EXPECT_EQ(2.0, odd.samples);
  EXPECT_EQ(9u, odd.p50_bin);
}

TEST(DistributionTest, LabelsNameTheClampedEdges) {
  const Distribution d = timing({});
  EXPECT_EQ("<1 ms", bin_label(d, 0));
  EXPECT_EQ("1 ms", bin_label(d, 1));
  EXPECT_EQ("12 ms", bin_label(d, 12));
  EXPECT_EQ(">=8191 ms", bin_label(d, 8191));
  Distribution half = d;
  half.bins.resize(10);
  half.start_ms = 2.0;
  half.bin_ms = 0.5;
  EXPECT_EQ("<2.5 ms", bin_label(half, 0));
  EXPECT_EQ("3.5 ms", bin_label(half, 3));
  EXPECT_EQ(">=6.5 ms", bin_label(half, 9));
}

TEST(DistributionTest, BlockOfAnEmptyDistributionIsOneLine) {
  Distribution d = timing({});
  d.description = "event latency distribution (ms)";
  EXPECT_EQ("EVSTAT.STAT.EV.LATENCY.TD - event latency distribution (ms)\n  no samples\n",
            render_distribution_block(d));
}

TEST(DistributionTest, BlockOfOneBin) {
  const std::string block = render_distribution_block(timing({{5, 12}}));
  EXPECT_EQ(
      "EVSTAT.STAT.EV.LATENCY.TD\n"
      "  samples: 12\n"
      "  p50 5 ms, p90 5 ms, p99 5 ms\n"
      "  highest non-empty bin: 5 ms (bin 5)\n"
      "  below 1 ms (bin 0, negative times included): 0\n"
      "  at or above 8191 ms (clamped into bin 8191): 0\n"
      "  histogram:\n"
      "    5 ms |######################################## 12\n",
      block);
}

TEST(DistributionTest, HistogramGroupsAWideSpanAndKeepsClampedRows) {
  std::vector<std::pair<std::size_t, double>> counts = {{0, 12}, {8191, 3}, {700, 1}};
  for (std::size_t bin = 3; bin <= 8; ++bin) counts.push_back({bin, 100});
  const std::string block = render_distribution_block(timing(counts));
  EXPECT_NE(std::string::npos, block.find("below 1 ms (bin 0, negative times included): 12\n"));
  EXPECT_NE(std::string::npos, block.find("at or above 8191 ms (clamped into bin 8191): 3\n"));
  // Bin 0 keeps its own row but is not called clamped: it holds genuine times.
  EXPECT_NE(std::string::npos, block.find("\n    <1 ms "));
  EXPECT_EQ(std::string::npos, block.find("<1 ms (clamped)"));
  EXPECT_NE(std::string::npos, block.find(">=8191 ms (clamped)"));

  const std::string histogram = block.substr(block.find("histogram:\n") + 11);
  std::size_t rows = 0;
  double total = 0;
  std::size_t widest = 0;
  for (std::size_t at = 0; at < histogram.size();) {
    const std::size_t end = histogram.find('\n', at);
    const std::string row = histogram.substr(at, end - at);
    total += std::stod(row.substr(row.rfind(' ') + 1));
    const std::size_t bar = row.find('|');
    widest = std::max(widest, row.find_first_not_of('#', bar + 1) - bar - 1);
    ++rows;
    at = end + 1;
  }
  EXPECT_LE(rows, 10u);
  EXPECT_GE(rows, 5u);
  EXPECT_EQ(616.0, total);  // every sample lands in exactly one row
  EXPECT_EQ(40u, widest);
  // Geometric ranges keep the bulk apart from the 700 ms sample.
  EXPECT_EQ(std::string::npos, histogram.find("[3, 701) ms"));

  // Equal ranges over 1..29 ms: the last row is as wide as the others.
  std::vector<std::pair<std::size_t, double>> flat;
  for (std::size_t bin = 1; bin <= 29; ++bin) flat.push_back({bin, 10});
  const std::string even = render_distribution_block(timing(flat));
  EXPECT_NE(std::string::npos, even.find("    [29, 33) ms |##########")) << even;
}

}  // namespace
}  // namespace daqevstat::tool
