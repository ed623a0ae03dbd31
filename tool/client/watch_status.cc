#include "tool/client/watch_status.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "stat_property_names.h"
#include "tool/output/distribution.h"

namespace daqevstat::tool::client {
namespace {

namespace names = daqevstat::stat_property;

// The statistics' timing spectra: 1 ms bins, the last one holding every
// sample from its start on. Only occupied bins travel, so the length that
// labels that last bin is known here rather than read.
constexpr std::size_t kTimingBins = 8192;

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string percent_text(const Json* value) {
  if (value == nullptr || !value->is_number()) return "-";
  return format("%.2f%%", value->get<double>());
}

std::optional<long long> integer_of(const Json* value) {
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->get<long long>();
}

// p50 and p99 of a spectrum's sparse bins, "" when it holds no sample.
std::string latency_text(const Json* spectrum) {
  if (spectrum == nullptr || !spectrum->is_object() || !spectrum->contains("bins")) return "";
  Distribution d;
  d.bins.assign(kTimingBins, 0.0);
  for (const auto& [index, count] : (*spectrum)["bins"].items()) {
    char* end = nullptr;
    const long bin = std::strtol(index.c_str(), &end, 10);
    if (end == index.c_str() || *end != '\0' || bin < 0 || !count.is_number()) continue;
    // A longer spectrum than expected still counts every sample.
    if (static_cast<std::size_t>(bin) >= d.bins.size()) d.bins.resize(bin + 1, 0.0);
    d.bins[bin] = count.get<double>();
  }
  const DistributionSummary summary = summarize(d);
  if (!summary.p50_bin || !summary.p99_bin) return "";
  return "  latency p50 " + bin_label(d, *summary.p50_bin) + "  p99 " +
         bin_label(d, *summary.p99_bin);
}

}  // namespace

WatchStatus::WatchStatus(std::string base) : base_(std::move(base)) {}

const Json* WatchStatus::find(const Json& properties, std::string_view suffix) const {
  const std::string name = base_ + std::string(suffix);
  if (!properties.is_object() || !properties.contains(name)) return nullptr;
  return &properties[name];
}

bool WatchStatus::published(const Json& properties) const {
  return find(properties, names::kOn.suffix) != nullptr;
}

std::string WatchStatus::line(const Json& properties, Clock::time_point now) {
  const Json* on = find(properties, names::kOn.suffix);
  if (on == nullptr) return base_ + ": not published at this location";
  const std::optional<long long> total = integer_of(find(properties, names::kTotal.suffix));
  if ((on->is_number() && on->get<double>() == 0.0) || !total) {
    last_total_.reset();
    return base_ + ": statistics off";
  }

  std::string rate = "-";
  if (last_total_ && *total >= *last_total_ && now > last_time_) {
    const double seconds = std::chrono::duration<double>(now - last_time_).count();
    rate = format("%.0f/s", static_cast<double>(*total - *last_total_) / seconds);
  }
  last_total_ = total;
  last_time_ = now;

  const std::optional<long long> lost = integer_of(find(properties, names::kLost.suffix));
  return base_ + ": events " + std::to_string(*total) + "  rate " + rate + "  lost " +
         (lost ? std::to_string(*lost) : "-") + " (" +
         percent_text(find(properties, names::kLostPercent.suffix)) + ")  lost in period " +
         percent_text(find(properties, names::kLostPeriodPercent.suffix)) +
         latency_text(find(properties, names::kLatency.suffix));
}

std::vector<std::string> statistics_bases(const Json& properties) {
  std::vector<std::string> bases;
  if (!properties.is_object()) return bases;
  for (const auto& [name, value] : properties.items()) {
    // A switch without a base is not listed, as it never has been.
    const std::optional<names::Found> found = names::find_statistic(name);
    if (found && found->statistic == names::Statistic::on && !found->base.empty()) {
      bases.emplace_back(found->base);
    }
  }
  return bases;
}

}  // namespace daqevstat::tool::client
