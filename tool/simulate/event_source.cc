#include "tool/simulate/event_source.h"

#include <algorithm>

namespace daqevstat::tool {
namespace {

// A held-back event comes after this many later events, at least.
constexpr int kMinDelay = 2;
constexpr int kMaxDelay = 4;

}  // namespace

EventSource::EventSource(const FaultOptions& faults, std::uint32_t first_number)
    : faults_(faults), random_(faults.seed), next_number_(first_number == 0 ? 1 : first_number) {}

bool EventSource::chance(double probability) {
  // Draw even for probability 0, so that one fault's setting does not shift
  // the others' draws.
  const double draw = uniform_(random_);
  return draw < probability;
}

double EventSource::latency() { return faults_.latency_ms + faults_.jitter_ms * jitter_(random_); }

void EventSource::deliver(const Delivery& delivery, bool duplicate, std::vector<Delivery>* out) {
  out->push_back(delivery);
  ++counts_.delivered;
  if (duplicate) {
    out->push_back(delivery);
    ++counts_.delivered;
    ++counts_.duplicated;
  }
}

void EventSource::advance() {
  ++next_number_;
  // Event number 0 means "no event": a stream that wraps skips it, and the
  // statistics see the skipped number as a gap, so it counts as dropped.
  if (next_number_ == 0) {
    next_number_ = 1;
    ++counts_.dropped;
  }
}

void EventSource::step(std::vector<Delivery>* out) {
  const bool first = counts_.generated == 0;
  Delivery delivery;
  delivery.event_number = next_number_;
  advance();
  ++counts_.generated;
  const bool drop = chance(faults_.loss);
  const bool hold = chance(faults_.reorder);
  const bool duplicate = chance(faults_.duplicate);
  const int delay = kMinDelay + static_cast<int>(uniform_(random_) * (kMaxDelay - kMinDelay + 1));
  delivery.latency_ms = latency();

  // Held-back events move one event closer to their turn; those whose turn
  // has come follow the new event.
  std::vector<Held> due;
  for (Held& held : held_) {
    if (--held.remaining <= 0) due.push_back(held);
  }
  held_.erase(std::remove_if(held_.begin(), held_.end(),
                             [](const Held& held) { return held.remaining <= 0; }),
              held_.end());

  if (first) {
    deliver(delivery, false, out);
  } else if (drop) {
    ++counts_.dropped;
  } else if (hold) {
    ++counts_.reordered;
    held_.push_back(Held{delivery, std::min(delay, kMaxDelay), duplicate});
  } else {
    deliver(delivery, duplicate, out);
  }
  for (const Held& held : due) deliver(held.delivery, held.duplicate, out);
  counts_.held = held_.size();
}

void EventSource::finish(std::vector<Delivery>* out) {
  for (const Held& held : held_) deliver(held.delivery, held.duplicate, out);
  held_.clear();
  counts_.held = 0;
  Delivery closing;
  closing.event_number = next_number_;
  advance();
  closing.latency_ms = latency();
  ++counts_.generated;
  deliver(closing, false, out);
}

}  // namespace daqevstat::tool
