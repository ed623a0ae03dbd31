#include "tool/output/distribution.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "D_spectrum.h"

namespace daqevstat::tool {
namespace {

// Rows of the text histogram given to the span between the clamped bins.
constexpr std::size_t kInteriorRows = 8;
constexpr int kBarColumns = 40;

bool holds_samples(double count) { return std::isfinite(count) && count > 0.0; }

std::string format_number(double value) {
  char buffer[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
  }
  return buffer;
}

double lower_edge(const Distribution& d, std::size_t bin) {
  return d.start_ms + static_cast<double>(bin) * d.bin_ms;
}

// The nearest rank ceil(p * total) for p = percent / 100, at least 1. Whole
// totals below 2^53 are done in integers, so that 99% of 100 is exactly 99.
double nearest_rank(unsigned percent, double total) {
  if (total == std::floor(total) && total < 9007199254740992.0) {
    const auto n = static_cast<std::uint64_t>(total);
    return static_cast<double>(std::max<std::uint64_t>(1, (n * percent + 99) / 100));
  }
  return std::max(1.0, std::ceil(total * percent / 100.0));
}

std::optional<std::size_t> percentile_bin(const std::vector<double>& bins, double total,
                                          unsigned percent) {
  if (total <= 0.0) return std::nullopt;
  const double rank = nearest_rank(percent, total);
  double cumulative = 0.0;
  std::optional<std::size_t> last_non_empty;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (!holds_samples(bins[i])) continue;
    cumulative += bins[i];
    last_non_empty = i;
    if (cumulative >= rank) return i;
  }
  // Only reachable through rounding of fractional counts.
  return last_non_empty;
}

struct HistogramRow {
  std::string label;
  double count = 0.0;
};

std::string range_label(const Distribution& d, std::size_t first, std::size_t last) {
  if (first == last) return bin_label(d, first);
  return "[" + format_number(lower_edge(d, first)) + ", " + format_number(lower_edge(d, last + 1)) +
         ") ms";
}

// Splits the non-empty bins strictly between the two clamped ones into at
// most kInteriorRows ranges: one per bin when they fit, geometric ranges
// when the span covers more than two decades of ms (so that a bulk at a few
// ms and a tail at hundreds both stay visible), equal ranges otherwise.
void add_interior_rows(const Distribution& d, std::vector<HistogramRow>* rows) {
  const std::vector<double>& bins = d.bins;
  if (bins.size() < 3) return;
  std::size_t first = 0;
  std::size_t last = 0;
  for (std::size_t i = 1; i + 1 < bins.size(); ++i) {
    if (!holds_samples(bins[i])) continue;
    if (first == 0) first = i;
    last = i;
  }
  if (first == 0) return;

  std::vector<std::size_t> starts;  // first bin of each row; the row ends before the next
  const std::size_t span = last - first + 1;
  const double low_ms = lower_edge(d, first);
  const double high_ms = lower_edge(d, last + 1);
  const bool geometric = span > kInteriorRows && low_ms > 0.0 && high_ms / low_ms > 100.0;
  if (span <= kInteriorRows) {
    for (std::size_t i = first; i <= last; ++i) starts.push_back(i);
  } else if (geometric) {
    const double ratio = high_ms / low_ms;
    for (std::size_t k = 0; k < kInteriorRows; ++k) {
      const double ms = low_ms * std::pow(ratio, static_cast<double>(k) / kInteriorRows);
      const auto bin = static_cast<std::size_t>(std::llround((ms - d.start_ms) / d.bin_ms));
      const std::size_t start = std::clamp(bin, first, last);
      if (starts.empty() || start > starts.back()) starts.push_back(start);
    }
  } else {
    const std::size_t width = (span + kInteriorRows - 1) / kInteriorRows;
    for (std::size_t i = first; i <= last; i += width) starts.push_back(i);
  }

  // Equal ranges: the last one keeps the full width where the clamped bin
  // allows, so that a short remainder does not look like a drop.
  std::size_t end = last;
  if (!geometric && starts.size() >= 2) {
    end = std::min(starts.back() + (starts[1] - starts[0]) - 1, bins.size() - 2);
  }
  for (std::size_t r = 0; r < starts.size(); ++r) {
    const std::size_t row_last = r + 1 < starts.size() ? starts[r + 1] - 1 : end;
    HistogramRow row;
    row.label = range_label(d, starts[r], row_last);
    for (std::size_t i = starts[r]; i <= row_last; ++i) {
      if (holds_samples(bins[i])) row.count += bins[i];
    }
    rows->push_back(row);
  }
}

std::string render_histogram(const Distribution& d) {
  const std::vector<double>& bins = d.bins;
  std::vector<HistogramRow> rows;
  if (bins.size() == 1) {
    rows.push_back({bin_label(d, 0) + " (clamped)", bins[0]});
  } else {
    // Bin 0 holds genuine times under its upper edge as well as negative ones,
    // so it is not called clamped; only the last bin is.
    if (holds_samples(bins.front())) rows.push_back({bin_label(d, 0), bins.front()});
    add_interior_rows(d, &rows);
    if (holds_samples(bins.back())) {
      rows.push_back({bin_label(d, bins.size() - 1) + " (clamped)", bins.back()});
    }
  }

  std::size_t label_width = 0;
  double highest = 0.0;
  for (const HistogramRow& row : rows) {
    label_width = std::max(label_width, row.label.size());
    highest = std::max(highest, row.count);
  }
  std::string out;
  for (const HistogramRow& row : rows) {
    int columns = 0;
    if (row.count > 0.0) {
      columns = std::max(1, static_cast<int>(std::lround(row.count / highest * kBarColumns)));
    }
    out += "    " + row.label + std::string(label_width - row.label.size(), ' ') + " |" +
           std::string(static_cast<std::size_t>(columns), '#') +
           std::string(static_cast<std::size_t>(kBarColumns - columns), ' ') + " " +
           format_number(row.count) + "\n";
  }
  return out;
}

}  // namespace

Distribution read_distribution(D_spectrum& spectrum) {
  Distribution d;
  d.name = spectrum.basename();
  d.description = spectrum.description();
  d.bins = spectrum.bins();
  d.start_ms = static_cast<double>(spectrum.start());
  d.bin_ms = static_cast<double>(spectrum.increment());
  return d;
}

DistributionSummary summarize(const Distribution& d) {
  DistributionSummary summary;
  for (std::size_t i = 0; i < d.bins.size(); ++i) {
    if (!holds_samples(d.bins[i])) continue;
    summary.samples += d.bins[i];
    summary.highest_bin = i;
  }
  if (!d.bins.empty()) {
    if (holds_samples(d.bins.front())) summary.first_bin = d.bins.front();
    if (holds_samples(d.bins.back())) summary.last_bin = d.bins.back();
  }
  summary.p50_bin = percentile_bin(d.bins, summary.samples, 50);
  summary.p90_bin = percentile_bin(d.bins, summary.samples, 90);
  summary.p99_bin = percentile_bin(d.bins, summary.samples, 99);
  return summary;
}

std::string bin_label(const Distribution& d, std::size_t bin) {
  if (d.bins.size() == 1) return "any ms";
  if (bin == 0) return "<" + format_number(lower_edge(d, 1)) + " ms";
  if (bin + 1 == d.bins.size()) return ">=" + format_number(lower_edge(d, bin)) + " ms";
  return format_number(lower_edge(d, bin)) + " ms";
}

std::string render_distribution_block(const Distribution& d) {
  std::string out = d.name;
  if (!d.description.empty()) out += " - " + d.description;
  out += "\n";
  const DistributionSummary s = summarize(d);
  if (!s.highest_bin) return out + "  no samples\n";

  out += "  samples: " + format_number(s.samples) + "\n";
  out += "  p50 " + bin_label(d, *s.p50_bin) + ", p90 " + bin_label(d, *s.p90_bin) + ", p99 " +
         bin_label(d, *s.p99_bin) + "\n";
  out += "  highest non-empty bin: " + bin_label(d, *s.highest_bin) + " (bin " +
         std::to_string(*s.highest_bin) + ")\n";
  if (d.bins.size() == 1) {
    out += "  every sample (one bin, clamped): " + format_number(s.first_bin) + "\n";
  } else {
    const std::size_t last = d.bins.size() - 1;
    out += "  below " + format_number(lower_edge(d, 1)) +
           " ms (bin 0, negative times included): " + format_number(s.first_bin) + "\n";
    out += "  at or above " + format_number(lower_edge(d, last)) + " ms (clamped into bin " +
           std::to_string(last) + "): " + format_number(s.last_bin) + "\n";
  }
  out += "  histogram:\n" + render_histogram(d);
  return out;
}

}  // namespace daqevstat::tool
