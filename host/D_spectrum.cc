#include "D_spectrum.h"

#include <algorithm>

D_spectrum::D_spectrum(const std::string& pn, u_int length, EqFct* ef, bool)
    : D_fct(pn, ef), length_(length), bins_(length, 0.0) {}

D_spectrum::~D_spectrum() = default;

void D_spectrum::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out == nullptr) return;
  quelmar::MutexLock lock(mutex_);
  out->set_spectrum(bins_, start_, increment_, time_);
}

int D_spectrum::data_type() const { return DATA_SPECTRUM; }

double D_spectrum::read_spectrum(int index) const {
  if (index < 0 || static_cast<u_int>(index) >= length_) return 0.0;
  quelmar::MutexLock lock(mutex_);
  return bins_[static_cast<std::size_t>(index)];
}

void D_spectrum::fill_spectrum(int index, double value) {
  if (index < 0 || static_cast<u_int>(index) >= length_) return;
  quelmar::MutexLock lock(mutex_);
  bins_[static_cast<std::size_t>(index)] = value;
}

void D_spectrum::spectrum_parameter(time_t tm, std::int64_t event_id, int status, float start,
                                    float increment) {
  quelmar::MutexLock lock(mutex_);
  time_ = tm;
  event_id_ = event_id;
  status_ = status;
  start_ = start;
  increment_ = increment;
}

void D_spectrum::clear_spectrum() {
  quelmar::MutexLock lock(mutex_);
  std::fill(bins_.begin(), bins_.end(), 0.0);
}

std::vector<double> D_spectrum::bins() const {
  quelmar::MutexLock lock(mutex_);
  return bins_;
}

float D_spectrum::start() const {
  quelmar::MutexLock lock(mutex_);
  return start_;
}

float D_spectrum::increment() const {
  quelmar::MutexLock lock(mutex_);
  return increment_;
}

time_t D_spectrum::time() const {
  quelmar::MutexLock lock(mutex_);
  return time_;
}

std::int64_t D_spectrum::spectrum_event_id() const {
  quelmar::MutexLock lock(mutex_);
  return event_id_;
}

int D_spectrum::status() const {
  quelmar::MutexLock lock(mutex_);
  return status_;
}
