#ifndef LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_STAT_PROPERTY_NAMES_H_
#define LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_STAT_PROPERTY_NAMES_H_

// The names of the properties a statistics object publishes, spelled once.
// A property's full name is "<base><suffix> <description>"; the location
// splits the description off at the first blank, so clients address it as
// "<base><suffix>".
//
// Everything here is a compile-time constant or a pure function; any thread
// may use it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace daqevstat::stat_property {

struct Name {
  std::string_view suffix;
  std::string_view description;
};

inline constexpr Name kOn{".STAT.ON", "on/off statistics calculation"};
inline constexpr Name kEventInfo{".STAT.EV.INFO", "current event info"};
inline constexpr Name kTotal{".STAT.EV.TOTAL", "total number of events"};
inline constexpr Name kLost{".STAT.EV.LOST", "total number of lost events"};
inline constexpr Name kLostPeriod{".STAT.EV.LOST.PERIOD", "period (sec) for lost events in period"};
inline constexpr Name kLatency{".STAT.EV.LATENCY.TD", "event latency distribution (ms)"};
inline constexpr Name kPeriod{".STAT.EV.PERIOD.TD",
                              "distribution of time distance between events (ms)"};
inline constexpr Name kLocalPeriod{".STAT.EV.PERIODL.TD",
                                   "distribution of local time distance between events (ms)"};
inline constexpr Name kDiff{".STAT.EV.DIFF", "Event ID diff for consequent events"};
inline constexpr Name kLostPercent{".STAT.EV.LOST.PERC", "total number of lost events in %"};
// Published with two blanks after the suffix since the first release; the
// description clients see starts with the second one.
inline constexpr Name kLostPeriodPercent{".STAT.EV.LOST.PRD.PERC",
                                         " number of lost events in % for period"};

// The properties of one object, in the order they are listed, created and
// removed: the switch first, then the set a switch-on creates. The value is
// the property's position in kAll.
enum class Statistic : std::size_t {
  on,
  event_info,
  total,
  lost,
  lost_period,
  latency,
  period,
  local_period,
  diff,
  lost_percent,
  lost_period_percent,
};

// Indexed by Statistic.
inline constexpr Name kAll[] = {
    kOn,     kEventInfo,   kTotal, kLost,        kLostPeriod,       kLatency,
    kPeriod, kLocalPeriod, kDiff,  kLostPercent, kLostPeriodPercent};
inline constexpr std::size_t kCount = sizeof(kAll) / sizeof(kAll[0]);
static_assert(kCount == static_cast<std::size_t>(Statistic::lost_period_percent) + 1,
              "one name for every statistic");

constexpr std::size_t index_of(Statistic statistic) { return static_cast<std::size_t>(statistic); }
constexpr const Name& name_of(Statistic statistic) { return kAll[index_of(statistic)]; }

// Whether `text` ends with `tail`; a tail as long as the text is its end too.
constexpr bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

namespace detail {
// No suffix ends another one, so at most one of them ends any name and the
// order of kAll does not decide a match.
constexpr bool suffixes_end_one_another() {
  for (std::size_t i = 0; i < kCount; ++i) {
    for (std::size_t k = 0; k < kCount; ++k) {
      if (i != k && ends_with(kAll[i].suffix, kAll[k].suffix)) return true;
    }
  }
  return false;
}
}  // namespace detail
static_assert(!detail::suffixes_end_one_another(), "a suffix must not end another one");

// What a client-side name "<base><suffix>" designates.
struct Found {
  Statistic statistic;
  std::string_view base;  // the name without the suffix; may be empty
};

// The statistic whose suffix ends `name`, and the base in front of it; none
// when no suffix ends it. This is how a reader of a location tells the
// statistics' properties apart; the property classes choose their role from
// the registered name by their own, older rule (d_evstat.h), which differs
// only for a base that itself contains a suffix.
constexpr std::optional<Found> find_statistic(std::string_view name) {
  for (std::size_t i = 0; i < kCount; ++i) {
    if (ends_with(name, kAll[i].suffix)) {
      return Found{static_cast<Statistic>(i), name.substr(0, name.size() - kAll[i].suffix.size())};
    }
  }
  return std::nullopt;
}

// "<base><suffix>": the name clients address the property by.
inline std::string client_name(std::string_view base, const Name& name) {
  std::string out(base);
  out += name.suffix;
  return out;
}

// "<base><suffix> <description>": the name the property is registered with.
inline std::string registered_name(std::string_view base, const Name& name) {
  std::string out = client_name(base, name);
  out += ' ';
  out += name.description;
  return out;
}

}  // namespace daqevstat::stat_property

#endif  // LIBRARY_DAQ_VREL_DAQ_EVENT_STAT_STAT_PROPERTY_NAMES_H_
