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

// Every property of one object, in the order they are listed: the switch
// first, then the set a switch-on creates.
inline constexpr Name kAll[] = {
    kOn,     kEventInfo,   kTotal, kLost,        kLostPeriod,       kLatency,
    kPeriod, kLocalPeriod, kDiff,  kLostPercent, kLostPeriodPercent};
inline constexpr std::size_t kCount = sizeof(kAll) / sizeof(kAll[0]);

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
