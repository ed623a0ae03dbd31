#ifndef TOOL_REPLAY_SUMMARY_WRITER_H_
#define TOOL_REPLAY_SUMMARY_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

class vrel_daq_event_stat;

namespace daqevstat::tool {

// Sample count and occupied range of a distribution, in bins (1 ms each).
struct BinRangeSummary {
  double samples = 0.0;
  std::int64_t min_bin = -1;  // -1 when there are no samples
  std::int64_t max_bin = -1;
  double mean_bin = 0.0;  // count-weighted mean of the bin indices
};

BinRangeSummary summarize_bins(const std::vector<double>& bins);

// A readable account of one statistics object: the base name it publishes
// under, event and lost
// counts, lost percentage, the period and its counters, the first, last and
// reference events, the current-event record and, per distribution, the
// sample count and the lowest, highest and mean occupied bin in ms. Ends in
// a newline. Takes the statistics lock through the object's read-only views.
std::string render_summary(const std::string& base_name, vrel_daq_event_stat& stat);

}  // namespace daqevstat::tool

#endif  // TOOL_REPLAY_SUMMARY_WRITER_H_
