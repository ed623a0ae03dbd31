#include "tool/replay/json_writer.h"

#include <cmath>
#include <cstdio>

#include "D_spectrum.h"
#include "d_evstat.h"
#include "d_floathist.h"
#include "eq_fct.h"
#include "net/property_json.h"
#include "vrel_daq_event_stat.h"

namespace daqevstat::tool {
namespace {

std::string format_number(const char* format, double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The property's reply to a read, as a client would get it; the HTTP
// server renders the same replies with the same conversion.
daqnet::Json read_value(D_fct* prop) {
  EqAdr address{prop->location() != nullptr ? prop->location()->name() : std::string(),
                prop->basename()};
  EqData in;
  EqData out;
  prop->get(&address, &in, &out, prop->location());
  return daqnet::reply_json(out);
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
  daqnet::Json properties = daqnet::Json::object();
  auto add = [&](D_fct* prop) {
    if (prop != nullptr) properties[prop->basename()] = read_value(prop);
  };
  add(stat.on_);
  add(stat.current_event_);
  add(stat.total_events_);
  add(stat.total_lost_events_);
  add(stat.lost_event_period_);
  add(stat.event_latency_);
  add(stat.event_period_);
  add(stat.event_period_local_);
  add(stat.event_id_diff_);
  add(stat.lost_events_perc_total_);
  add(stat.lost_events_perc_period_);
  daqnet::Json document = daqnet::Json::object();
  document["properties"] = std::move(properties);
  return daqnet::json_text(document);
}

}  // namespace daqevstat::tool
