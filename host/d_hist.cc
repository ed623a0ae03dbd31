#include "d_hist.h"

#include "eq_errors.h"

D_hist::D_hist(const std::string& pn, EqFct* ef, int data_type)
    : D_fct(pn, ef), data_type_(data_type) {}

D_hist::~D_hist() = default;

int D_hist::data_type() const { return data_type_; }

void D_hist::fill_hist(int value, ArchiveStatus status, unsigned int sec, unsigned int msec,
                       int* err) {
  add(static_cast<double>(value), DATA_INT, status, sec, msec, err);
}

void D_hist::fill_hist(float value, ArchiveStatus status, unsigned int sec, unsigned int msec,
                       int* err) {
  add(static_cast<double>(value), DATA_FLOAT, status, sec, msec, err);
}

void D_hist::add(double value, int value_type, ArchiveStatus status, unsigned int sec,
                 unsigned int msec, int* err) {
  int code = 0;
  {
    quelmar::MutexLock lock(mutex_);
    if (fail_code_ != 0) {
      code = fail_code_;
    } else if (value_type != data_type_) {
      code = wrong_archiver_type;
    } else {
      samples_.push_back(Sample{value, status, sec, msec});
    }
  }
  if (err != nullptr) *err = code;
}

void D_hist::fail_with(int code) {
  quelmar::MutexLock lock(mutex_);
  fail_code_ = code;
}

std::vector<D_hist::Sample> D_hist::samples() const {
  quelmar::MutexLock lock(mutex_);
  return samples_;
}

int D_hist::conf_process_calls() const {
  quelmar::MutexLock lock(mutex_);
  return conf_process_calls_;
}

int D_hist::auto_init_calls() const {
  quelmar::MutexLock lock(mutex_);
  return auto_init_calls_;
}

void D_hist::conf_process(EqFct* ef, int action) {
  D_fct::conf_process(ef, action);
  quelmar::MutexLock lock(mutex_);
  ++conf_process_calls_;
}

void D_hist::auto_init() {
  quelmar::MutexLock lock(mutex_);
  ++auto_init_calls_;
}
