#ifndef TOOL_SIMULATE_EVENT_SOURCE_H_
#define TOOL_SIMULATE_EVENT_SOURCE_H_

#include <cstdint>
#include <random>
#include <vector>

namespace daqevstat::tool {

// Faults the event source injects, each with its own probability per event,
// and the event time's distance behind the arrival. The zero value is the
// perfect stream.
struct FaultOptions {
  double loss = 0.0;        // the event is never delivered
  double reorder = 0.0;     // the event is delivered a few events late
  double duplicate = 0.0;   // the event is delivered twice in a row
  double latency_ms = 0.0;  // mean of the event time's distance behind arrival
  double jitter_ms = 0.0;   // its standard deviation
  std::uint64_t seed = 1;
};

// A stream as a real DAQ link delivers it: a little loss, reordering and
// duplication and a latency with jitter, so that every statistic has
// something to show. What `simulate` and `shell` run unless told otherwise.
inline constexpr FaultOptions kRealisticFaults{0.01, 0.005, 0.002, 5.0, 2.0, 1};

// What the source did to the events it produced: the truth that the
// statistics' counts are compared with.
struct InjectedCounts {
  std::uint64_t generated = 0;   // event numbers produced
  std::uint64_t delivered = 0;   // records handed over, repeats included
  std::uint64_t dropped = 0;     // never delivered (and 0, skipped at the 2^32 wrap)
  std::uint64_t reordered = 0;   // delivered after later events
  std::uint64_t duplicated = 0;  // delivered twice in a row
  std::uint64_t held = 0;        // held back now, to be delivered late
};

// One record to hand over now: its event number and how far its event time
// lies behind the moment of delivery.
struct Delivery {
  std::uint32_t event_number = 0;
  double latency_ms = 0.0;
};

// A stream of consecutive event numbers with injected faults, decided by a
// seeded generator so that a run can be repeated. The first event of a run
// and the closing event that finish() adds are always delivered as they
// are, so every fault lies between two delivered events and shows in the
// event-number sequence.
//
// Not thread-safe: one source belongs to one thread.
class EventSource {
 public:
  // `first_number` is where the numbers start (not 0), so a test can cross
  // the 2^32 wrap.
  explicit EventSource(const FaultOptions& faults, std::uint32_t first_number = 1);

  // Produces the next event number and appends to `out` what is delivered
  // at this moment: nothing (dropped or held back), the event, the event
  // twice, and any held-back events whose turn has come.
  void step(std::vector<Delivery>* out);

  // Ends the run: delivers every held-back event, then one closing event.
  void finish(std::vector<Delivery>* out);

  const InjectedCounts& counts() const { return counts_; }

 private:
  struct Held {
    Delivery delivery;
    int remaining;  // events still to be produced before it is delivered
    bool duplicate;
  };

  bool chance(double probability);
  void advance();
  double latency();
  void deliver(const Delivery& delivery, bool duplicate, std::vector<Delivery>* out);

  FaultOptions faults_;
  std::mt19937_64 random_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  std::normal_distribution<double> jitter_{0.0, 1.0};
  std::uint32_t next_number_ = 1;
  std::vector<Held> held_;
  InjectedCounts counts_;
};

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_EVENT_SOURCE_H_
