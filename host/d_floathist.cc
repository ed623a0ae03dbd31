#include "d_floathist.h"

#include <algorithm>

D_floathist::D_floathist(const std::string& pn, EqFct* ef, const std::string& title)
    : D_fct(pn, ef), ring_(quelmar::make_pooled_array<Slot>(kHistoryLength)), title_(title) {}

D_floathist::~D_floathist() = default;

void D_floathist::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out != nullptr) out->set(value());
}

int D_floathist::data_type() const { return DATA_FLOAT; }

void D_floathist::set_value(float value) {
  set_value_stamped(value, quelmar::launder_timestamp(0));
}

float D_floathist::value() const { return value_.load(std::memory_order_relaxed); }

std::vector<D_floathist::Sample> D_floathist::history() const {
  const std::uint64_t written = written_.load(std::memory_order_acquire);
  const std::uint64_t first = written > kHistoryLength ? written - kHistoryLength : 0;
  std::vector<Sample> copy;
  copy.reserve(static_cast<std::size_t>(written - first));
  for (std::uint64_t n = first; n < written; ++n) {
    const Slot& slot = ring_[n % kHistoryLength];
    copy.push_back(Sample{slot.timestamp.load(std::memory_order_acquire),
                          slot.value.load(std::memory_order_acquire)});
  }
  // Samples that stores begun since may have overwritten are dropped: sample
  // n is safe while n + kHistoryLength >= begun.
  const std::uint64_t begun = begun_.load(std::memory_order_relaxed);
  const std::uint64_t safe_from = begun > kHistoryLength ? begun - kHistoryLength : 0;
  const std::uint64_t drop =
      std::min<std::uint64_t>(std::max(first, safe_from) - first, copy.size());
  copy.erase(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(drop));
  return copy;
}
