#ifndef TOOL_OUTPUT_PLOT_WRITER_H_
#define TOOL_OUTPUT_PLOT_WRITER_H_

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tool/output/distribution.h"

namespace daqevstat::tool {

// A figure or data file could not be written; the message names the path.
class PlotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes the distributions as one SVG figure, one panel per distribution,
// stacked in the given order. Each panel is titled with the property name,
// the sample count, p50, p90 and p99 (see summarize), and shows the bins as
// bars over an x axis in ms and a y axis in counts per bin. The y axis is
// logarithmic when the non-zero counts span more than two decades; the x
// axis places ms at log10(ms + 1) ("log scale of ms + 1") when the non-empty bins
// between the clamped ones span more than two decades of ms + 1. Under the
// title, bin 0 is named with its count as "below 1 ms" (it holds genuine
// times of [0, 1) ms and negative ones alike, which its count cannot tell
// apart, so it is drawn as any other bar); the last bin, which holds every
// longer time, is hatched as clamped and named with its count, and stands in
// a slot of its own right of the axis, so that it does not stretch the axis.
// A distribution of a single bin is hatched as clamped. Writes a temporary file beside `path` and
// renames it, so a failed write leaves no partial figure. Throws PlotError naming the path when it
// cannot be written, or naming the distribution when its bin width is not a positive finite number.
void write_svg(const std::vector<Distribution>& distributions, const std::string& path);

// Writes one CSV file per distribution into `dir`, which is created when it
// is missing (its parent must exist): "<property name>.csv", with the header
// "bin,start_ms,end_ms,count,clamped" and then one row per non-zero bin in
// bin order; clamped is "below" for bin 0, "above" for the last bin, "both"
// for a distribution of one bin and empty otherwise. Each file is written
// like the figure. Throws PlotError naming the path on failure, and before
// writing anything when a property name cannot be a file name (empty, or
// holding '/').
void write_csv_dir(const std::vector<Distribution>& distributions, const std::string& dir);

// Text for SVG character data or an attribute value: '&', '<', '>', '"' and
// '\'' become entities; control characters that XML does not allow and
// bytes that are not UTF-8 become '?'.
std::string svg_escape(std::string_view text);

}  // namespace daqevstat::tool

#endif  // TOOL_OUTPUT_PLOT_WRITER_H_
