#include "net/metrics.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"
#include "library/daq/vrel_daq_event_stat/stat_property_names.h"

namespace daqnet {
namespace {

namespace stat = daqevstat::stat_property;

// Upper bounds of the histogram buckets, in whole milliseconds so that each
// bucket holds whole 1 ms bins. Each bucket is as wide as it may be while
// histogram_quantile puts the p99 of samples all in one bin within 1.5 times
// max(10 %, 1 ms) of that bin (made by widening each bucket from its lower
// bound until that no longer holds). Samples spread over their bucket come
// within max(10 %, 1 ms); no distribution does worse than 1.52 times it.
// The 10 % for every distribution would take about 85 bounds.
constexpr int kBoundsMs[] = {
    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,  14,   16,   18,
    20,   23,   26,   29,   33,   38,   43,   49,   56,   64,   73,   84,   96,  110,  126,  145,
    166,  191,  219,  252,  290,  333,  383,  441,  507,  583,  671,  772,  888, 1022, 1176, 1354,
    1559, 1795, 2066, 2379, 2739, 3154, 3631, 4181, 4814, 5543, 6382, 7348, 8191};

enum class Kind { gauge, counter, histogram };

struct Family {
  const char* name;
  Kind kind;
  const char* help;
};

// In the order the families are written.
const Family kFamilies[] = {
    {"daqevstat_stat_on", Kind::gauge,
     "Value of the statistics switch: 0 off, any other value on."},
    {"daqevstat_events_total", Kind::counter,
     "Events counted since the statistics were switched on or last cleared."},
    {"daqevstat_lost_events", Kind::gauge,
     "Event numbers missing from the counted sequence since switch-on or clear; shrinks when a "
     "late event arrives."},
    {"daqevstat_lost_period_seconds", Kind::gauge,
     "Length of the period over which lost events are also counted on their own, in seconds."},
    {"daqevstat_current_event_number", Kind::gauge, "Event number of the event counted last."},
    {"daqevstat_current_event_ordinal", Kind::gauge,
     "Events counted up to and including the event counted last, as a 32-bit float (exact up to "
     "2^24)."},
    {"daqevstat_current_event_timestamp_seconds", Kind::gauge,
     "Event time of the event counted last, in seconds since the epoch."},
    {"daqevstat_current_event_info", Kind::gauge,
     "Always 1; the label type names the event type of the event counted last."},
    {"daqevstat_event_number_difference", Kind::gauge,
     "Event number of the event counted last minus that of the event counted before it."},
    {"daqevstat_lost_events_ratio", Kind::gauge,
     "Lost events over counted events since switch-on or clear."},
    {"daqevstat_lost_events_period_ratio", Kind::gauge,
     "Lost events over counted events in the current lost-events period."},
    {"daqevstat_event_latency_seconds", Kind::histogram,
     "Arrival time minus event time of each counted event, in 1 ms bins."},
    {"daqevstat_event_period_seconds", Kind::histogram,
     "Event time minus the previous counted event's event time, in 1 ms bins."},
    {"daqevstat_event_local_period_seconds", Kind::histogram,
     "Arrival time minus the previous counted event's arrival time, in 1 ms bins."},
    {"daqevstat_property_value", Kind::gauge,
     "Value of a numeric property that is not one of the statistics' own."},
};

enum FamilyIndex {
  kStatOn,
  kEventsTotal,
  kLostEvents,
  kLostPeriod,
  kCurrentNumber,
  kCurrentOrdinal,
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

static_assert(sizeof(kFamilies) / sizeof(kFamilies[0]) == kFamilyCount,
              "a family for every FamilyIndex, in its order");

// The family each statistic feeds, indexed by stat::Statistic; INFO feeds
// four.
struct Suffix {
  std::string_view text;
  int family;
  double scale;  // applied to the value (a percentage becomes a ratio)
};
constexpr Suffix kSuffixes[] = {
    {stat::kOn.suffix, kStatOn, 1.0},
    {stat::kEventInfo.suffix, kCurrentNumber, 1.0},
    {stat::kTotal.suffix, kEventsTotal, 1.0},
    {stat::kLost.suffix, kLostEvents, 1.0},
    {stat::kLostPeriod.suffix, kLostPeriod, 1.0},
    {stat::kLatency.suffix, kLatency, 1.0},
    {stat::kPeriod.suffix, kPeriod, 1.0},
    {stat::kLocalPeriod.suffix, kLocalPeriod, 1.0},
    {stat::kDiff.suffix, kNumberDifference, 1.0},
    {stat::kLostPercent.suffix, kLostRatio, 0.01},
    {stat::kLostPeriodPercent.suffix, kLostPeriodRatio, 0.01},
};
constexpr bool suffixes_follow_names() {
  for (std::size_t i = 0; i < stat::kCount; ++i) {
    if (kSuffixes[i].text != stat::kAll[i].suffix) return false;
  }
  return true;
}
static_assert(sizeof(kSuffixes) / sizeof(kSuffixes[0]) == stat::kCount && suffixes_follow_names(),
              "a family for every statistic, in the order of the names");

// The total congruent to `low` modulo 2^32 nearest to `approximate`, when
// the two agree to within the float's rounding (one unit in its last place)
// plus kSlack events counted between the two reads; else `low` (see the
// header: a clear or switch-on between the reads).
std::uint64_t widen_event_total(std::uint32_t low, double approximate) {
  constexpr double kWrap = 4294967296.0;           // 2^32
  constexpr double kSlack = 1048576.0;             // 2^20
  constexpr double kLargest = 9007199254740992.0;  // 2^53: beyond, doubles skip integers
  if (!(approximate >= 0.0) || approximate > kLargest) return low;
  const double laps = std::floor((approximate - static_cast<double>(low)) / kWrap + 0.5);
  if (laps < 1.0) return low;
  const double widened = static_cast<double>(low) + laps * kWrap;
  if (std::fabs(widened - approximate) > kSlack + approximate * 0x1p-23) return low;
  return static_cast<std::uint64_t>(low) + (static_cast<std::uint64_t>(laps) << 32);
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

// Appends `value`. Integers as such, the rest as the shortest of %.15g,
// %.16g and %.17g that reads back as the same double. to_chars and
// from_chars format and parse as printf and strtod do in the C locale,
// without their locale and stream machinery (a scrape writes some two
// hundred numbers).
void append_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
    return;
  }
  char buffer[40];
  char* end = buffer;
  if (value == std::trunc(value) && std::fabs(value) < 1.0e15) {
    end = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(value)).ptr;
  } else {
    for (const int precision : {15, 16, 17}) {
      end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general,
                          precision)
                .ptr;
      double back = 0.0;
      std::from_chars(buffer, end, back);
      if (back == value) break;
    }
  }
  out.append(buffer, end);
}

// Index one past the highest bin that is not 0 (NaN included). Most of a
// distribution's bins are usually empty and a scrape reads three of 8192
// bins per object, so blocks of them are tested at once: the bit patterns
// OR-ed together without their sign bits are 0 exactly when every bin of the
// block is +0 or -0, a loop the compiler vectorises.
std::size_t used_length(const std::vector<double>& bins) {
  const auto bits = [&bins](std::size_t i) {
    std::uint64_t out;
    std::memcpy(&out, &bins[i], sizeof out);
    return out;
  };
  constexpr std::size_t kBlock = 16;
  std::size_t n = bins.size();
  while (n >= kBlock) {
    std::uint64_t any[4] = {};
    for (std::size_t j = n - kBlock; j < n; j += 4) {
      any[0] |= bits(j);
      any[1] |= bits(j + 1);
      any[2] |= bits(j + 2);
      any[3] |= bits(j + 3);
    }
    if (((any[0] | any[1] | any[2] | any[3]) << 1) != 0) break;
    n -= kBlock;
  }
  while (n > 0 && bins[n - 1] == 0.0) --n;
  return n;
}

constexpr std::size_t kBoundCount = sizeof(kBoundsMs) / sizeof(kBoundsMs[0]);

// The label of each bound, in seconds as short as it reads: ",le=\"0.001\"".
const std::vector<std::string>& bound_labels() {
  static const std::vector<std::string> labels = [] {
    std::vector<std::string> out;
    for (const int ms : kBoundsMs) {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, ",le=\"%.15g\"", ms / 1000.0);
      out.emplace_back(buffer);
    }
    return out;
  }();
  return labels;
}

// The samples of every family, each family's kept apart until the end so
// that its samples follow one announcement. Reused by a thread from one
// rendering to the next, so that its buffers keep their capacity.
class Exposition {
 public:
  void clear() {
    for (std::string& samples : samples_) samples.clear();
  }

  // `more` is appended to `labels`, starting with its comma.
  void sample(int family, const char* suffix, std::string_view labels, double value,
              std::string_view more = {}) {
    std::string& out = start(family, suffix, labels, more);
    append_number(out, value);
    out += '\n';
  }

  void sample_count(int family, std::string_view labels, std::uint64_t value) {
    std::string& out = start(family, "", labels, {});
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    out += '\n';
  }

  // One pass over the bins, skipping empty ones: a scrape reads three
  // distributions of 8192 bins per object, most of them usually empty.
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
    const std::size_t used = used_length(bins);
    double count = 0.0;
    double sum_ms = 0.0;
    // [k]: the bins first counted at bound k (their upper edge at or below
    // it); [kBoundCount]: those only +Inf counts, the clamped last bin too.
    double first_counted_at[kBoundCount + 1] = {};
    std::size_t k = 0;
    for (std::size_t i = 0; i < used; ++i) {
      const double v = bins[i];
      if (v == 0.0) continue;
      count += v;
      sum_ms += v * (start + (static_cast<double>(i) + 0.5) * width);
      if (i == last) {
        first_counted_at[kBoundCount] += v;
        continue;
      }
      const double upper = start + static_cast<double>(i + 1) * width;
      while (k < kBoundCount && kBoundsMs[k] < upper) ++k;
      first_counted_at[k] += v;
    }
    // Cumulative counts at each bound that lies at or below the last bin's
    // lower edge.
    const std::vector<std::string>& le = bound_labels();
    double below = 0.0;
    for (std::size_t b = 0; b < kBoundCount; ++b) {
      if (kBoundsMs[b] > start + static_cast<double>(last) * width) break;
      below += first_counted_at[b];
      sample(family, "_bucket", labels, below, le[b]);
    }
    sample(family, "_bucket", labels, count, ",le=\"+Inf\"");
    sample(family, "_sum", labels, sum_ms / 1000.0);
    sample(family, "_count", labels, count);
  }

  std::string text() const {
    std::size_t size = 0;
    for (int family = 0; family < kFamilyCount; ++family) {
      if (samples_[family].empty()) continue;
      const Family& f = kFamilies[family];
      size += 2 * std::strlen(f.name) + std::strlen(f.help) + 40 + samples_[family].size();
    }
    std::string out;
    out.reserve(size);
    for (int family = 0; family < kFamilyCount; ++family) {
      if (samples_[family].empty()) continue;
      const Family& f = kFamilies[family];
      const char* type = f.kind == Kind::counter     ? "counter"
                         : f.kind == Kind::histogram ? "histogram"
                                                     : "gauge";
      out += "# HELP ";
      out += f.name;
      out += ' ';
      out += f.help;
      out += "\n# TYPE ";
      out += f.name;
      out += ' ';
      out += type;
      out += '\n';
      out += samples_[family];
    }
    return out;
  }

 private:
  std::string& start(int family, const char* suffix, std::string_view labels,
                     std::string_view more) {
    std::string& out = samples_[family];
    out += kFamilies[family].name;
    out += suffix;
    out += '{';
    out += labels;
    out += more;
    out += "} ";
    return out;
  }

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
// A name that is a suffix alone (an object with an empty base) is rendered
// as any other property, as it always has been.
const Suffix* statistics_suffix(const std::string& name, std::string* base) {
  const std::optional<stat::Found> found = stat::find_statistic(name);
  if (!found || found->base.empty()) {
    base->clear();
    return nullptr;
  }
  base->assign(found->base);
  return &kSuffixes[stat::index_of(found->statistic)];
}

// One property's reply, read before any is written out: the event total
// needs the current-event record of its object, listed apart from it.
struct Read {
  std::string name;
  EqData reply;
  const Suffix* suffix = nullptr;
  std::string base;
};

// The first `count` of `items` are this rendering's reads of one location.
struct Reads {
  std::vector<Read> items;
  std::size_t count = 0;
};

class LocationWriter {
 public:
  LocationWriter(Exposition& out, const EqFct& location)
      : out_(out), location_label_("location=\"" + label_value(location.name()) + "\"") {}

  void add(const Read& read, const Reads& all) {
    if (read.suffix == nullptr) {
      add_other(read);
      return;
    }
    // A location lists an object's properties together: one label set each.
    if (!has_labels_ || read.base != labels_base_) {
      labels_base_ = read.base;
      labels_ = location_label_ + ",base=\"" + label_value(read.base) + "\"";
      has_labels_ = true;
    }
    const std::string& labels = labels_;
    const EqData& reply = read.reply;
    switch (read.suffix->family) {
      case kCurrentNumber: {
        const EqData::UstrElement* record = reply.get_ustr(0);
        if (reply.type() != DATA_USTR || record == nullptr) break;
        // The event number is 32-bit unsigned in the record's signed field.
        out_.sample(kCurrentNumber, "", labels,
                    static_cast<double>(static_cast<std::uint32_t>(record->i1)));
        out_.sample(kCurrentOrdinal, "", labels, record->f1);
        out_.sample(kCurrentTimestamp, "", labels,
                    static_cast<double>(record->tm) + static_cast<double>(record->f2) / 1000.0);
        out_.sample(kCurrentInfo, "", labels + ",type=\"" + label_value(record->str) + "\"", 1.0);
        return;
      }
      case kEventsTotal: {
        if (!is_numeric(reply.type())) break;
        // The property is a 32-bit int holding the total's low bits.
        const auto low = static_cast<std::uint32_t>(reply.get_long());
        out_.sample_count(kEventsTotal, labels,
                          widen_event_total(low, record_count(read.base, all)));
        return;
      }
      case kLatency:
      case kPeriod:
      case kLocalPeriod:
        if (reply.type() != DATA_SPECTRUM) break;
        out_.histogram(read.suffix->family, labels, reply);
        return;
      default:
        if (!is_numeric(reply.type())) break;
        out_.sample(read.suffix->family, "", labels, numeric(reply) * read.suffix->scale);
        return;
    }
    add_other(read);
  }

 private:
  void add_other(const Read& read) {
    if (!is_numeric(read.reply.type())) return;
    out_.sample(kOther, "", location_label_ + ",property=\"" + label_value(read.name) + "\"",
                numeric(read.reply));
  }

  // The count in the current-event record of the object `base`; -1 when
  // there is none.
  static double record_count(const std::string& base, const Reads& all) {
    for (std::size_t i = 0; i < all.count; ++i) {
      const Read& read = all.items[i];
      if (read.suffix == nullptr || read.suffix->family != kCurrentNumber || read.base != base) {
        continue;
      }
      const EqData::UstrElement* record = read.reply.get_ustr(0);
      if (read.reply.type() == DATA_USTR && record != nullptr) return record->f1;
    }
    return -1.0;
  }

  Exposition& out_;
  const std::string location_label_;
  bool has_labels_ = false;
  std::string labels_base_;
  std::string labels_;
};

// What one thread keeps from one rendering to the next: the replies with
// their storage (a distribution's reply is 64 KB, which a fresh reply would
// allocate and fault in on every scrape) and the text buffers. One set of
// reads per location position.
struct RenderState {
  Exposition out;
  std::vector<Reads> locations;
  bool busy = false;
};

// Reads every property of `location` into `reads`, in the order it lists
// them; a property whose read fails is left out.
void read_location(EqFct& location, Reads& reads) {
  const std::vector<std::string> names = location.property_names();
  if (reads.items.size() < names.size()) reads.items.resize(names.size());
  reads.count = 0;
  for (const std::string& name : names) {
    Read& read = reads.items[reads.count];
    read.name = name;
    read.reply.reset();
    EqData in;
    location.remote_get(name, &in, &read.reply);
    if (read.reply.error() != 0) continue;
    read.suffix = statistics_suffix(name, &read.base);
    ++reads.count;
  }
}

std::string render_with(RenderState& state, const std::vector<EqFct*>& locations) {
  state.out.clear();
  if (state.locations.size() < locations.size()) state.locations.resize(locations.size());
  for (std::size_t i = 0; i < locations.size(); ++i) {
    EqFct* location = locations[i];
    if (location == nullptr) continue;
    Reads& reads = state.locations[i];
    read_location(*location, reads);
    LocationWriter writer(state.out, *location);
    for (std::size_t k = 0; k < reads.count; ++k) writer.add(reads.items[k], reads);
  }
  return state.out.text();
}

}  // namespace

std::string render_metrics(const std::vector<EqFct*>& locations) {
  thread_local RenderState kept;
  if (kept.busy) {
    // A property that renders metrics from inside its own read: a state of
    // its own, so the outer rendering's replies stay as they are.
    RenderState nested;
    return render_with(nested, locations);
  }
  kept.busy = true;
  struct Release {
    bool& busy;
    ~Release() { busy = false; }
  } release{kept.busy};
  return render_with(kept, locations);
}

}  // namespace daqnet
