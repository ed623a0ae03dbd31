#include "tool/replay/summary_writer.h"

#include <cstdarg>
#include <cstdio>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "tool/output/distribution.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {
namespace {

__attribute__((format(printf, 2, 3))) void append(std::string* out, const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  *out += buffer;
}

void append_event(std::string* out, const char* label, const vrel_time_id& event) {
  if (event.event_number == 0) {
    append(out, "%-22s none\n", label);
    return;
  }
  append(out, "%-22s %u at %u.%06u\n", label, event.event_number, event.time.timeup,
         event.time.timelow);
}

void append_int(std::string* out, const char* label, D_evstat_int* prop, const char* unit) {
  if (prop == nullptr) {
    append(out, "%-22s n/a\n", label);
    return;
  }
  append(out, "%-22s %d%s\n", label, prop->value(), unit);
}

void append_float(std::string* out, const char* label, D_floathist* prop) {
  if (prop == nullptr) {
    append(out, "%-22s n/a\n", label);
    return;
  }
  append(out, "%-22s %g\n", label, static_cast<double>(prop->value()));
}

void append_distribution(std::string* out, const char* label, D_spectrum* prop) {
  if (prop == nullptr) {
    append(out, "%-22s n/a\n", label);
    return;
  }
  const BinRangeSummary summary = summarize_bins(prop->bins());
  if (summary.min_bin < 0) {
    append(out, "%-22s 0 samples\n", label);
    return;
  }
  append(out, "%-22s %.0f samples, min %lld ms, max %lld ms, mean %.3f ms", label, summary.samples,
         static_cast<long long>(summary.min_bin), static_cast<long long>(summary.max_bin),
         summary.mean_bin);
  // The percentiles as the simulate report gives them.
  const Distribution distribution = read_distribution(*prop);
  const DistributionSummary ranks = summarize(distribution);
  if (ranks.p50_bin && ranks.p90_bin && ranks.p99_bin) {
    *out += ", p50 " + bin_label(distribution, *ranks.p50_bin) + ", p90 " +
            bin_label(distribution, *ranks.p90_bin) + ", p99 " +
            bin_label(distribution, *ranks.p99_bin);
  }
  *out += "\n";
}

}  // namespace

BinRangeSummary summarize_bins(const std::vector<double>& bins) {
  BinRangeSummary summary;
  double weighted = 0.0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins[i] <= 0.0) continue;
    const auto index = static_cast<std::int64_t>(i);
    if (summary.min_bin < 0) summary.min_bin = index;
    summary.max_bin = index;
    summary.samples += bins[i];
    weighted += bins[i] * static_cast<double>(i);
  }
  if (summary.samples > 0.0) summary.mean_bin = weighted / summary.samples;
  return summary;
}

std::string render_summary(const std::string& base_name, vrel_daq_event_stat& stat) {
  std::string out;
  append(&out, "%-22s %s\n", "base name", base_name.c_str());
  append(&out, "%-22s %lld\n", "events counted", static_cast<long long>(stat.get_total_events()));
  append_int(&out, "lost events", stat.total_lost_events_, "");
  append_float(&out, "lost events (%)", stat.lost_events_perc_total_);
  append_float(&out, "event number diff", stat.event_id_diff_);
  append_int(&out, "lost-events period", stat.lost_event_period_, " s");
  append(&out, "%-22s %d\n", "events in period", stat.get_total_events_period());
  append(&out, "%-22s %d\n", "lost in period", stat.get_lost_events_period());
  append_float(&out, "lost in period (%)", stat.lost_events_perc_period_);
  append_event(&out, "first event", stat.get_first_event());
  append_event(&out, "last event", stat.get_cur_event());
  append_event(&out, "reference event", stat.get_prev_event());
  if (stat.current_event_ != nullptr) {
    const EqData::UstrElement info = stat.current_event_->snapshot();
    append(&out, "%-22s event %d, count %.9g, %.3f ms, time %lld, type %s\n", "current event info",
           info.i1, static_cast<double>(info.f1), static_cast<double>(info.f2),
           static_cast<long long>(info.tm), info.str.c_str());
  } else {
    append(&out, "%-22s n/a\n", "current event info");
  }
  append_distribution(&out, "latency", stat.event_latency_);
  append_distribution(&out, "event period", stat.event_period_);
  append_distribution(&out, "local event period", stat.event_period_local_);
  return out;
}

}  // namespace daqevstat::tool
