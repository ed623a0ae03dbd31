#include "tool/json_writer.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {
namespace {

// Members keep the order they are added in: the order of the statistics
// object's properties, and of the event record's fields.
using Json = nlohmann::ordered_json;

std::string format_number(const char* format, double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// A float as the double of its nine significant digits. The serializer
// prints the shortest text that reads back as that double, which is those
// digits and reads back as the same float; the float's exact double would
// print up to 17 digits that say nothing more. A whole value below 1e9
// has always been written bare ("50", not "50.0"), so readers got an
// integer: it stays one.
Json float_number(float value) {
  if (!std::isfinite(value)) return nullptr;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.9g", value);
  if (std::strpbrk(digits, ".e") == nullptr) return std::strtoll(digits, nullptr, 10);
  return std::strtod(digits, nullptr);
}

// Spectrum bins count events and hold whole numbers; anything else is
// written as a number rather than silently truncated.
Json count_number(double count) {
  if (!std::isfinite(count)) return nullptr;
  if (count == std::trunc(count) && std::fabs(count) < 9.0e18) {
    return static_cast<std::int64_t>(count);
  }
  return count;
}

Json int_value(D_evstat_int* prop) { return prop->value(); }

Json float_value(D_floathist* prop) { return float_number(prop->value()); }

Json info_value(D_evstat_ustr* prop) {
  const EqData::UstrElement record = prop->snapshot();
  Json info = Json::object();
  info["i1_data"] = record.i1;
  info["f1_data"] = float_number(record.f1);
  info["f2_data"] = float_number(record.f2);
  info["tm"] = static_cast<std::int64_t>(record.tm);
  info["str_data"] = record.str;
  return info;
}

Json spectrum_value(D_spectrum* prop) {
  const std::vector<double> counts = prop->bins();
  Json bins = Json::object();
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] != 0.0) bins[std::to_string(i)] = count_number(counts[i]);
  }
  Json spectrum = Json::object();
  spectrum["bins"] = std::move(bins);
  return spectrum;
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_number(float value) { return format_number("%.9g", value); }

std::string json_number(double value) { return format_number("%.17g", value); }

std::string render_json(vrel_daq_event_stat& stat) {
  Json properties = Json::object();
  auto add = [&](auto* prop, auto render) {
    if (prop != nullptr) properties[prop->basename()] = render(prop);
  };
  add(stat.on_, int_value);
  add(stat.current_event_, info_value);
  add(stat.total_events_, int_value);
  add(stat.total_lost_events_, int_value);
  add(stat.lost_event_period_, int_value);
  add(stat.event_latency_, spectrum_value);
  add(stat.event_period_, spectrum_value);
  add(stat.event_period_local_, spectrum_value);
  add(stat.event_id_diff_, float_value);
  add(stat.lost_events_perc_total_, float_value);
  add(stat.lost_events_perc_period_, float_value);
  Json document = Json::object();
  document["properties"] = std::move(properties);
  // Names carry the base name from the command line, which may hold bytes
  // that are not UTF-8, and JSON text must be UTF-8. Each invalid sequence
  // becomes U+FFFD: valid UTF-8 passes unchanged, nothing throws, and the
  // reader still sees that something stood there ("ignore" would drop it).
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace daqevstat::tool
