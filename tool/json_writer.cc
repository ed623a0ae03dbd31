#include "tool/json_writer.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {
namespace {

std::string format_number(const char* format, double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Spectrum bins count events and hold whole numbers; anything else is
// printed as a number rather than silently truncated.
std::string json_count(double count) {
  if (std::isfinite(count) && count == std::trunc(count) && std::fabs(count) < 9.0e18) {
    return std::to_string(static_cast<long long>(count));
  }
  return json_number(count);
}

class ObjectWriter {
 public:
  explicit ObjectWriter(std::string* out) : out_(out) {}

  void member(const std::string& name, const std::string& value) {
    *out_ += first_ ? "\n    " : ",\n    ";
    first_ = false;
    *out_ += json_string(name) + ": " + value;
  }

 private:
  std::string* out_;
  bool first_ = true;
};

std::string int_value(D_evstat_int* prop) { return std::to_string(prop->value()); }

std::string float_value(D_floathist* prop) { return json_number(prop->value()); }

std::string info_value(D_evstat_ustr* prop) {
  const EqData::UstrElement record = prop->snapshot();
  return "{\"i1_data\": " + std::to_string(record.i1) + ", \"f1_data\": " + json_number(record.f1) +
         ", \"f2_data\": " + json_number(record.f2) +
         ", \"tm\": " + std::to_string(static_cast<long long>(record.tm)) +
         ", \"str_data\": " + json_string(record.str) + "}";
}

std::string spectrum_value(D_spectrum* prop) {
  const std::vector<double> bins = prop->bins();
  std::string text = "{\"bins\": {";
  bool first = true;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins[i] == 0.0) continue;
    text += first ? "" : ", ";
    first = false;
    text += "\"" + std::to_string(i) + "\": " + json_count(bins[i]);
  }
  return text + "}}";
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
  std::string out = "{\n  \"properties\": {";
  ObjectWriter properties(&out);
  auto add = [&](auto* prop, auto render) {
    if (prop != nullptr) properties.member(prop->basename(), render(prop));
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
  return out + "\n  }\n}\n";
}

}  // namespace daqevstat::tool
