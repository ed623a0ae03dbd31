#include "tool/simulate/simulate_report.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "eq_data.h"
#include "stat_property_names.h"
#include "tool/output/property_text.h"
#include "tool/simulate/simulated_server.h"

namespace daqevstat::tool {
namespace {

const stat_property::Name kTimings[] = {stat_property::kLatency, stat_property::kPeriod,
                                        stat_property::kLocalPeriod};

std::string format(const char* pattern, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, value);
  return buffer;
}

bool is_timing(const std::string& name) {
  using stat_property::Statistic;
  const auto found = stat_property::find_statistic(name);
  return found &&
         (found->statistic == Statistic::latency || found->statistic == Statistic::period ||
          found->statistic == Statistic::local_period);
}

// Whether the property belongs to the object published under `base` and not
// to one whose base merely starts with it (EVSTAT and EVSTAT2).
bool belongs_to(const std::string& name, const std::string& base) {
  const auto found = stat_property::find_statistic(name);
  return found && found->base == base;
}

Distribution distribution_from(const std::string& name, const EqData& reply) {
  Distribution d;
  d.name = name;
  d.bins = reply.reals();
  d.start_ms = reply.spectrum_start();
  d.bin_ms = reply.spectrum_increment() > 0.0f ? reply.spectrum_increment() : 1.0;
  return d;
}

std::optional<long long> read_integer(EqFct& location, const std::string& name) {
  const EqData reply = remote_read(location, name);
  if (reply.error() != 0 || reply.type() != DATA_INT) return std::nullopt;
  return reply.get_long();
}

// Why the counts differ from the injected truth, by the counting rules, or
// that they agree.
std::string explain(const InjectedCounts& truth, long long counted, long long lost,
                    bool interfered) {
  const long long expected_counted =
      static_cast<long long>(truth.delivered) - static_cast<long long>(truth.duplicated);
  const long long expected_lost = static_cast<long long>(truth.dropped);
  if (counted == expected_counted && lost == expected_lost) {
    return "agrees: every repeat of the event counted last is ignored, every dropped event is "
           "a gap in the numbers, and a reordered event's gap is taken back when it arrives";
  }
  const std::string text = "differs by " + std::to_string(counted - expected_counted) +
                           " counted and " + std::to_string(lost - expected_lost) + " lost: ";
  const long long in_flight = lost - expected_lost;
  if (!interfered && counted == expected_counted && in_flight > 0 &&
      in_flight <= static_cast<long long>(truth.held)) {
    return "agrees once the events the source holds back (" + std::to_string(truth.held) +
           ") arrive: their gaps count as lost until then";
  }
  if (interfered) {
    return text +
           "statistics were switched, cleared or paused by hand, so events before that "
           "and gaps across it are not counted";
  }
  // Without interference the counting rules give exactly the truth for this
  // source: the reference is the highest number counted, so a forward step
  // of more than one is a gap whose events never came, and each late event
  // takes back the one lost event its skipping added.
  return text +
         "not expected from the counting rules; a switch-off racing with events can "
         "leave the statistics on with frozen counters, and counters are 32-bit";
}

// The thread that makes every update call: its CPU time over its running
// time, the share of one core that the events cost there (the source's own
// work included).
std::string source_usage_line(const SimulatedServer::SourceUsage& usage) {
  if (usage.wall_seconds <= 0.0) return {};
  char line[160];
  std::snprintf(line, sizeof line, "  event thread: %.2f s CPU in %.2f s, %.1f %% of one core\n",
                usage.cpu_seconds, usage.wall_seconds,
                100.0 * usage.cpu_seconds / usage.wall_seconds);
  return line;
}

}  // namespace

std::vector<Distribution> read_distributions(SimulatedServer& server) {
  std::vector<Distribution> distributions;
  for (const std::string& base : server.base_names()) {
    for (const stat_property::Name& timing : kTimings) {
      const std::string name = stat_property::client_name(base, timing);
      const EqData reply = remote_read(server.location(), name);
      if (reply.error() != 0 || reply.type() != DATA_SPECTRUM) continue;
      distributions.push_back(distribution_from(name, reply));
    }
  }
  return distributions;
}

std::string render_report(SimulatedServer& server, bool interfered) {
  EqFct& location = server.location();
  const std::vector<std::string> names = location.property_names();
  std::string out;
  for (const std::string& base : server.base_names()) {
    out += "== " + base + " on location " + location.name() + "\n";
    for (const std::string& name : names) {
      if (!belongs_to(name, base)) continue;
      const EqData reply = remote_read(location, name);
      if (is_timing(name) && reply.error() == 0 && reply.type() == DATA_SPECTRUM) continue;
      out += "  " + name + " = " + reply_text(reply) + "\n";
    }
    for (const std::string& name : names) {
      if (!belongs_to(name, base) || !is_timing(name)) continue;
      const EqData reply = remote_read(location, name);
      if (reply.error() != 0 || reply.type() != DATA_SPECTRUM) {
        out += "  " + name + " = " + reply_text(reply) + "\n";
        continue;
      }
      out += "\n" + render_distribution_block(distribution_from(name, reply));
    }
    out += "\n";
  }

  // The truth and the counters must be read at one moment: the source rests
  // while they are compared, unless it already does.
  const bool was_paused = server.paused();
  if (!was_paused) server.pause();
  const InjectedCounts truth = server.injected();
  out += "== injected by the source\n";
  out += "  sent " + std::to_string(truth.generated) + " event numbers, delivered " +
         std::to_string(truth.delivered) + " records (repeats included), dropped " +
         std::to_string(truth.dropped) + ", reordered " + std::to_string(truth.reordered) +
         ", duplicated " + std::to_string(truth.duplicated) +
         (truth.held > 0 ? ", held back now " + std::to_string(truth.held) : std::string()) + "\n";
  for (const std::string& base : server.base_names()) {
    const auto counted =
        read_integer(location, stat_property::client_name(base, stat_property::kTotal));
    const auto lost =
        read_integer(location, stat_property::client_name(base, stat_property::kLost));
    if (!counted || !lost) {
      out += "  " + base + ": statistics off, nothing to compare\n";
      continue;
    }
    out += "  " + base + ": counted " + std::to_string(*counted) + " (expected " +
           std::to_string(truth.delivered - truth.duplicated) + "), lost " + std::to_string(*lost) +
           " (dropped " + std::to_string(truth.dropped) + ")\n";
    out += "    " + explain(truth, *counted, *lost, interfered) + "\n";
  }
  if (!was_paused) server.resume();
  out += "  client reads " + std::to_string(server.client_reads()) + ", answered with an error " +
         std::to_string(server.client_errors()) + "\n";
  out += source_usage_line(server.source_usage());
  return out;
}

std::string render_status(SimulatedServer& server, double rate_hz) {
  const std::string base = server.base_names().front();
  EqFct& location = server.location();
  const auto counted =
      read_integer(location, stat_property::client_name(base, stat_property::kTotal));
  const auto lost = read_integer(location, stat_property::client_name(base, stat_property::kLost));
  if (!counted || !lost) return base + ": statistics off";
  const EqData perc =
      remote_read(location, stat_property::client_name(base, stat_property::kLostPercent));
  std::string line = "events " + std::to_string(*counted) + "  rate " + format("%.0f/s", rate_hz) +
                     "  lost " + std::to_string(*lost) + " (" +
                     format("%.2f%%", perc.error() == 0 ? perc.get_double() : 0.0) + ")";
  const std::string latency_name = stat_property::client_name(base, stat_property::kLatency);
  const EqData latency = remote_read(location, latency_name);
  if (latency.error() == 0 && latency.type() == DATA_SPECTRUM) {
    const Distribution d = distribution_from(latency_name, latency);
    const DistributionSummary summary = summarize(d);
    if (summary.p50_bin && summary.p99_bin) {
      line += "  latency p50 " + bin_label(d, *summary.p50_bin) + "  p99 " +
              bin_label(d, *summary.p99_bin);
    }
  }
  return line;
}

}  // namespace daqevstat::tool
