#ifndef TOOL_CLIENT_WATCH_STATUS_H_
#define TOOL_CLIENT_WATCH_STATUS_H_

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace daqevstat::tool::client {

using Json = nlohmann::ordered_json;

// Turns successive readings of one statistics object's properties into the
// status lines of `daqevstat watch`:
//   "EVSTAT: events 12000  rate 1000/s  lost 3 (0.03%)  lost in period 0.00%
//    latency p50 2 ms  p99 4 ms"
// (one line). The rate is the events counted since the previous reading
// over the time between; "-" for the first reading and when the count went
// back (cleared, switched off and on, or a restarted server). A value the
// server has no number for reads "-"; the latency part is left out while
// the spectrum holds no sample.
//
// Thread safety: one thread at a time.
class WatchStatus {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WatchStatus(std::string base);

  // Whether `properties` (the "properties" object of a location) holds the
  // object's switch.
  bool published(const Json& properties) const;

  // The line for `properties` read at `now`.
  std::string line(const Json& properties, Clock::time_point now);

 private:
  const Json* find(const Json& properties, std::string_view suffix) const;

  const std::string base_;
  std::optional<long long> last_total_;
  Clock::time_point last_time_;
};

// The base names of the statistics objects among `properties`: each name
// "<base>.STAT.ON", in order.
std::vector<std::string> statistics_bases(const Json& properties);

}  // namespace daqevstat::tool::client

#endif  // TOOL_CLIENT_WATCH_STATUS_H_
