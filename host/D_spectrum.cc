#include "D_spectrum.h"

namespace {

// As for the inline calls in the header.
constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

}  // namespace

D_spectrum::D_spectrum(const std::string& pn, u_int length, EqFct* ef, bool)
    : D_fct(pn, ef),
      length_(length),
      bins_(quelmar::make_pooled_array<std::atomic<double>>(length).release()) {
  for (u_int i = 0; i < length_; ++i) bins_[i].store(0.0, kRelaxed);
}

D_spectrum::~D_spectrum() { quelmar::PooledArrayDeleter<std::atomic<double>>{length_}(bins_); }

void D_spectrum::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out == nullptr) return;
  // Straight into the reply: a caller that reuses its reply for the next
  // read of this spectrum allocates and faults in nothing.
  out->set_spectrum(bins_, length_, start(), increment(), time(), filled_bound());
}

int D_spectrum::data_type() const { return DATA_SPECTRUM; }

void D_spectrum::clear_spectrum() {
  for (u_int i = 0; i < length_; ++i) bins_[i].store(0.0, kRelaxed);
  filled_bound_.store(0, std::memory_order_release);
}

// Fills may overlap: the bound only ever rises between clears.
void D_spectrum::raise_filled_bound(u_int index) {
  u_int bound = filled_bound_.load(kRelaxed);
  while (index >= bound && !filled_bound_.compare_exchange_weak(
                               bound, index + 1, std::memory_order_release, kRelaxed)) {
  }
}

void D_spectrum::copy_bins(std::vector<double>& into) const {
  into.resize(length_);
  for (u_int i = 0; i < length_; ++i) into[i] = bins_[i].load(kRelaxed);
}

std::vector<double> D_spectrum::bins() const {
  std::vector<double> copy;
  copy_bins(copy);
  return copy;
}

float D_spectrum::start() const { return start_.load(kRelaxed); }

float D_spectrum::increment() const { return increment_.load(kRelaxed); }

time_t D_spectrum::time() const { return static_cast<time_t>(time_.load(kRelaxed)); }

std::int64_t D_spectrum::spectrum_event_id() const { return event_id_.load(kRelaxed); }

int D_spectrum::status() const { return status_.load(kRelaxed); }
