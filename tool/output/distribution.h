#ifndef TOOL_OUTPUT_DISTRIBUTION_H_
#define TOOL_OUTPUT_DISTRIBUTION_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class D_spectrum;

namespace daqevstat::tool {

// A copy of one timing distribution: bins of bin_ms milliseconds starting at
// start_ms (1 ms bins from 0 for the statistics' spectra). Bin 0 also holds
// every sample below its upper edge (1 ms, negative samples included) and the
// last bin every sample at or beyond its start (8191 ms): those two bins are
// clamped. A plain value; copies may be used from any thread.
struct Distribution {
  std::string name;         // property name, e.g. "EVSTAT.STAT.EV.LATENCY.TD"
  std::string description;  // the rest of the property's name string, if any
  std::vector<double> bins;
  double start_ms = 0.0;
  double bin_ms = 1.0;
};

// Copies the spectrum's name, description, bins, start and increment. Each
// of bins(), start() and increment() takes the spectrum's lock on its own,
// so a concurrent change of the parameters between them is not excluded
// (the statistics set them to the same 0 and 1 on every sample).
Distribution read_distribution(D_spectrum& spectrum);

// Counts and percentiles of a distribution, in bins. Only positive, finite
// bin contents count as samples; any other content reads as an empty bin.
//
// Percentiles use the nearest rank over the N samples: the p-th percentile
// bin is the smallest bin whose cumulative count (from bin 0 up) reaches
// ceil(p * N), with a rank of at least 1. So p50 of {bin 2: 1, bin 7: 1} is
// bin 2, p99 of 99 samples in bin 1 and 1 in bin 40 is bin 1, of 99 and 2 it
// is bin 40. The rank is computed exactly for whole counts.
struct DistributionSummary {
  double samples = 0;                                    // sum of bins
  std::optional<std::size_t> p50_bin, p90_bin, p99_bin;  // empty when no samples
  std::optional<std::size_t> highest_bin;                // highest non-empty bin
  double first_bin = 0;  // count in bin 0 (below its upper edge, clamped)
  double last_bin = 0;   // count in the last bin (at or beyond its start, clamped)
};
DistributionSummary summarize(const Distribution& d);

// The text of a bin in milliseconds: "<1 ms" for bin 0 (below its upper
// edge), ">=8191 ms" for the last bin (its lower edge and beyond), "12 ms"
// (the lower edge, start_ms + bin * bin_ms) otherwise. A distribution of one
// bin holds every sample in it: "any ms".
std::string bin_label(const Distribution& d, std::size_t bin);

// A readable block of lines for a report, ending in a newline: the name and
// description, the sample count, p50/p90/p99, the highest non-empty bin, the
// two clamped counts and a text histogram of about 10 rows (clamped bins on
// rows of their own, the other non-empty span grouped into ranges, in
// geometric steps when it covers more than two decades of ms; bars of '#'
// scaled to 40 columns). An empty distribution says "no samples" on one line
// after its name.
std::string render_distribution_block(const Distribution& d);

}  // namespace daqevstat::tool

#endif  // TOOL_OUTPUT_DISTRIBUTION_H_
