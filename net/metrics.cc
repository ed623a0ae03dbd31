#include "net/metrics.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"

namespace daqnet {
namespace {

// Upper bounds of the histogram buckets, in milliseconds.
constexpr double kLadderMs[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};

enum class Kind { gauge, counter, histogram };

struct Family {
  const char* name;
  Kind kind;
  const char* help;
};

// In the order the families are written.
const Family kFamilies[] = {
    {"daqevstat_stat_on", Kind::gauge, "The statistics switch: 0 off, on otherwise."},
    {"daqevstat_events_total", Kind::counter,
     "Events counted since the statistics were switched on or cleared."},
    {"daqevstat_lost_events", Kind::gauge,
     "Events missing from the event-number sequence since switch-on or clear."},
    {"daqevstat_lost_period_seconds", Kind::gauge, "Length of the lost-events period."},
    {"daqevstat_current_event_number", Kind::gauge, "Number of the event counted last."},
    {"daqevstat_current_event_count", Kind::gauge,
     "Event total when the current event was counted."},
    {"daqevstat_current_event_timestamp_seconds", Kind::gauge,
     "Event time of the current event, in seconds since the epoch."},
    {"daqevstat_current_event_info", Kind::gauge,
     "Always 1; the label text is the current event's type."},
    {"daqevstat_event_number_difference", Kind::gauge,
     "Difference of the event numbers of the last two counted events."},
    {"daqevstat_lost_events_ratio", Kind::gauge, "Lost events over all events since switch-on."},
    {"daqevstat_lost_events_period_ratio", Kind::gauge,
     "Lost events over all events in the current lost-events period."},
    {"daqevstat_event_latency_seconds", Kind::histogram,
     "Distance of the event time behind its arrival."},
    {"daqevstat_event_period_seconds", Kind::histogram,
     "Distance between the event times of consecutive events."},
    {"daqevstat_event_local_period_seconds", Kind::histogram,
     "Distance between the arrival times of consecutive events."},
    {"daqevstat_property_value", Kind::gauge, "Numeric value of any other property."},
};

enum FamilyIndex {
  kStatOn,
  kEventsTotal,
  kLostEvents,
  kLostPeriod,
  kCurrentNumber,
  kCurrentCount,
  kCurrentTimestamp,
  kCurrentInfo,
  kNumberDifference,
  kLostRatio,
  kLostPeriodRatio,
  kLatency,
  kPeriod,
  kLocalPeriod,
  kOther,
  kFamilyCount,
};

// Property name suffixes and the family each feeds; INFO feeds four.
struct Suffix {
  const char* text;
  int family;
  double scale;  // applied to the value (a percentage becomes a ratio)
};
const Suffix kSuffixes[] = {
    {".STAT.ON", kStatOn, 1.0},
    {".STAT.EV.TOTAL", kEventsTotal, 1.0},
    {".STAT.EV.LOST", kLostEvents, 1.0},
    {".STAT.EV.LOST.PERIOD", kLostPeriod, 1.0},
    {".STAT.EV.INFO", kCurrentNumber, 1.0},
    {".STAT.EV.DIFF", kNumberDifference, 1.0},
    {".STAT.EV.LOST.PERC", kLostRatio, 0.01},
    {".STAT.EV.LOST.PRD.PERC", kLostPeriodRatio, 0.01},
    {".STAT.EV.LATENCY.TD", kLatency, 1.0},
    {".STAT.EV.PERIOD.TD", kPeriod, 1.0},
    {".STAT.EV.PERIODL.TD", kLocalPeriod, 1.0},
};

bool ends_with(const std::string& text, const char* tail) {
  const std::string suffix(tail);
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not
// a valid one (overlong forms, surrogates and values above U+10FFFF
// included).
std::size_t utf8_length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

// A label value between its quotes.
std::string label_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text, i);
    if (length == 0) {
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    const char c = text[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // Integers as such, the rest with the digits that read back the same.
  if (value == std::trunc(value) && std::fabs(value) < 1.0e15) {
    return std::to_string(static_cast<long long>(value));
  }
  // The shortest of these that reads back as the same double.
  char buffer[40];
  for (const char* format : {"%.15g", "%.16g", "%.17g"}) {
    std::snprintf(buffer, sizeof buffer, format, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  return buffer;
}

// A bucket bound in seconds, written as short as it reads ("0.001").
std::string bound(double ms) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15g", ms / 1000.0);
  return buffer;
}

class Exposition {
 public:
  void sample(int family, const std::string& suffix, const std::string& labels, double value) {
    samples_[family] +=
        std::string(kFamilies[family].name) + suffix + "{" + labels + "} " + number(value) + "\n";
  }

  void histogram(int family, const std::string& labels, const EqData& reply) {
    const std::vector<double>& bins = reply.reals();
    if (bins.empty()) return;
    double start = reply.spectrum_start();
    double width = reply.spectrum_increment();
    if (!std::isfinite(start) || !std::isfinite(width) || width <= 0.0) {
      start = 0.0;
      width = 1.0;
    }
    const std::size_t last = bins.size() - 1;
    double count = 0.0;
    double sum_ms = 0.0;
    for (std::size_t i = 0; i < bins.size(); ++i) {
      count += bins[i];
      sum_ms += bins[i] * (start + (static_cast<double>(i) + 0.5) * width);
    }
    // Cumulative counts at each ladder bound that lies at or below the last
    // bin's lower edge.
    double below = 0.0;
    std::size_t next = 0;
    for (double le : kLadderMs) {
      if (le > start + static_cast<double>(last) * width) break;
      while (next < last && start + static_cast<double>(next + 1) * width <= le) {
        below += bins[next];
        ++next;
      }
      sample(family, "_bucket", labels + ",le=\"" + bound(le) + "\"", below);
    }
    sample(family, "_bucket", labels + ",le=\"+Inf\"", count);
    sample(family, "_sum", labels, sum_ms / 1000.0);
    sample(family, "_count", labels, count);
  }

  std::string text() const {
    std::string out;
    for (int family = 0; family < kFamilyCount; ++family) {
      if (samples_[family].empty()) continue;
      const Family& f = kFamilies[family];
      const char* type = f.kind == Kind::counter     ? "counter"
                         : f.kind == Kind::histogram ? "histogram"
                                                     : "gauge";
      out += std::string("# HELP ") + f.name + " " + f.help + "\n";
      out += std::string("# TYPE ") + f.name + " " + type + "\n";
      out += samples_[family];
    }
    return out;
  }

 private:
  std::string samples_[kFamilyCount];
};

// One integer or real number.
bool is_numeric(int type) {
  return EqData::kind_of(type) != EqData::Kind::none && !EqData::is_array(type);
}

double numeric(const EqData& reply) {
  switch (reply.type()) {
    case DATA_FLOAT:
    case DATA_DOUBLE:
      return reply.get_double();
    case DATA_USHORT:
    case DATA_UINT:
    case DATA_ULONG:
      return static_cast<double>(static_cast<std::uint64_t>(reply.get_long()));
    default:
      return static_cast<double>(reply.get_long());
  }
}

// The statistics property `name` is, if any: its suffix entry, and its base.
const Suffix* statistics_suffix(const std::string& name, std::string* base) {
  const Suffix* found = nullptr;
  for (const Suffix& suffix : kSuffixes) {
    // The longest matching suffix decides.
    if (ends_with(name, suffix.text) &&
        (found == nullptr || std::string(suffix.text).size() > std::string(found->text).size())) {
      found = &suffix;
    }
  }
  if (found != nullptr) *base = name.substr(0, name.size() - std::string(found->text).size());
  return found;
}

void add_property(Exposition& out, const std::string& name, const EqData& reply) {
  std::string base;
  const Suffix* suffix = statistics_suffix(name, &base);
  const std::string base_label = "base=\"" + label_value(base) + "\"";
  if (suffix != nullptr) {
    switch (suffix->family) {
      case kCurrentNumber: {
        const EqData::UstrElement* record = reply.get_ustr(0);
        if (reply.type() != DATA_USTR || record == nullptr) break;
        // The event number is 32-bit unsigned in the record's signed field.
        out.sample(kCurrentNumber, "", base_label,
                   static_cast<double>(static_cast<std::uint32_t>(record->i1)));
        out.sample(kCurrentCount, "", base_label, record->f1);
        out.sample(kCurrentTimestamp, "", base_label,
                   static_cast<double>(record->tm) + static_cast<double>(record->f2) / 1000.0);
        out.sample(kCurrentInfo, "", base_label + ",text=\"" + label_value(record->str) + "\"",
                   1.0);
        return;
      }
      case kLatency:
      case kPeriod:
      case kLocalPeriod:
        if (reply.type() != DATA_SPECTRUM) break;
        out.histogram(suffix->family, base_label, reply);
        return;
      default:
        if (!is_numeric(reply.type())) break;
        out.sample(suffix->family, "", base_label, numeric(reply) * suffix->scale);
        return;
    }
  }
  if (is_numeric(reply.type())) {
    out.sample(kOther, "", "property=\"" + label_value(name) + "\"", numeric(reply));
  }
}

}  // namespace

std::string render_metrics(EqFct& location) {
  Exposition out;
  for (const std::string& name : location.property_names()) {
    EqData in;
    EqData reply;
    location.remote_get(name, &in, &reply);
    if (reply.error() != 0) continue;
    add_property(out, name, reply);
  }
  return out.text();
}

}  // namespace daqnet
