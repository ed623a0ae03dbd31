#include "d_floathist.h"

D_floathist::D_floathist(const std::string& pn, EqFct* ef, const std::string& title)
    : D_fct(pn, ef), title_(title) {}

D_floathist::~D_floathist() = default;

void D_floathist::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out != nullptr) out->set(value());
}

int D_floathist::data_type() const { return DATA_FLOAT; }

void D_floathist::set_value(float value) {
  const quelmar::Timestamp stamp = quelmar::launder_timestamp(0);
  {
    quelmar::MutexLock lock(mutex_);
    value_ = value;
    const Sample sample{stamp, value};
    if (history_.size() < kHistoryLength) {
      history_.push_back(sample);
    } else {
      history_[history_next_] = sample;
    }
    history_next_ = (history_next_ + 1) % kHistoryLength;
  }
  set_timestamp(stamp);
}

float D_floathist::value() const {
  quelmar::MutexLock lock(mutex_);
  return value_;
}

std::vector<D_floathist::Sample> D_floathist::history() const {
  quelmar::MutexLock lock(mutex_);
  if (history_.size() < kHistoryLength) return history_;
  // Full ring: the oldest sample is the one the next store replaces.
  std::vector<Sample> ordered(history_.begin() + static_cast<std::ptrdiff_t>(history_next_),
                              history_.end());
  ordered.insert(ordered.end(), history_.begin(),
                 history_.begin() + static_cast<std::ptrdiff_t>(history_next_));
  return ordered;
}
