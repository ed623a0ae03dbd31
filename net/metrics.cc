#include "net/metrics.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"
#include "library/daq/vrel_daq_event_stat/stat_property_names.h"
#include "net/exposition.h"

namespace daqnet {
namespace {

namespace stat = daqevstat::stat_property;

using exposition::Family;
using exposition::Kind;
using exposition::Labels;

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
  LocationWriter(exposition::Writer& out, const EqFct& location) : out_(out) {
    location_labels_.add("location", location.name());
  }

  void add(const Read& read, const Reads& all) {
    if (read.suffix == nullptr) {
      add_other(read);
      return;
    }
    // A location lists an object's properties together: one label set each.
    if (!has_labels_ || read.base != labels_base_) {
      labels_base_ = read.base;
      labels_ = location_labels_;
      labels_.add("base", read.base);
      has_labels_ = true;
    }
    const Labels& labels = labels_;
    const EqData& reply = read.reply;
    switch (read.suffix->family) {
      case kCurrentNumber: {
        const EqData::UstrElement* record = reply.get_ustr(0);
        if (reply.type() != DATA_USTR || record == nullptr) break;
        // The event number is 32-bit unsigned in the record's signed field.
        out_.sample(kCurrentNumber, labels,
                    static_cast<double>(static_cast<std::uint32_t>(record->i1)));
        out_.sample(kCurrentOrdinal, labels, record->f1);
        out_.sample(kCurrentTimestamp, labels,
                    static_cast<double>(record->tm) + static_cast<double>(record->f2) / 1000.0);
        Labels info = labels;
        info.add("type", record->str);
        out_.sample(kCurrentInfo, info, 1.0);
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
        out_.histogram(read.suffix->family, labels,
                       {&reply.reals(), reply.spectrum_start(), reply.spectrum_increment(),
                        reply.used_bound()});
        return;
      default:
        if (!is_numeric(reply.type())) break;
        out_.sample(read.suffix->family, labels, numeric(reply) * read.suffix->scale);
        return;
    }
    add_other(read);
  }

 private:
  void add_other(const Read& read) {
    if (!is_numeric(read.reply.type())) return;
    Labels labels = location_labels_;
    labels.add("property", read.name);
    out_.sample(kOther, labels, numeric(read.reply));
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

  exposition::Writer& out_;
  Labels location_labels_;
  bool has_labels_ = false;
  std::string labels_base_;
  Labels labels_;
};

// What one thread keeps from one rendering to the next: the replies with
// their storage (a distribution's reply is 64 KB, which a fresh reply would
// allocate and fault in on every scrape) and the text buffers. One set of
// reads per location position.
struct RenderState {
  exposition::TextWriter text{kFamilies, kFamilyCount};
  exposition::ProtobufWriter protobuf{kFamilies, kFamilyCount};
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

std::string render_with(RenderState& state, const std::vector<EqFct*>& locations,
                        MetricsFormat format) {
  exposition::Writer& out = format == MetricsFormat::protobuf
                                ? static_cast<exposition::Writer&>(state.protobuf)
                                : state.text;
  out.clear();
  if (state.locations.size() < locations.size()) state.locations.resize(locations.size());
  for (std::size_t i = 0; i < locations.size(); ++i) {
    EqFct* location = locations[i];
    if (location == nullptr) continue;
    Reads& reads = state.locations[i];
    read_location(*location, reads);
    LocationWriter writer(out, *location);
    for (std::size_t k = 0; k < reads.count; ++k) writer.add(reads.items[k], reads);
  }
  return out.finish();
}

}  // namespace

std::string render_metrics(const std::vector<EqFct*>& locations) {
  return render_metrics(locations, MetricsFormat::text);
}

std::string render_metrics(const std::vector<EqFct*>& locations, MetricsFormat format) {
  thread_local RenderState kept;
  if (kept.busy) {
    // A property that renders metrics from inside its own read: a state of
    // its own, so the outer rendering's replies stay as they are.
    RenderState nested;
    return render_with(nested, locations, format);
  }
  kept.busy = true;
  struct Release {
    bool& busy;
    ~Release() { busy = false; }
  } release{kept.busy};
  return render_with(kept, locations, format);
}

}  // namespace daqnet
