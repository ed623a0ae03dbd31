#ifndef HOST_D_SPECTRUM_H_
#define HOST_D_SPECTRUM_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "d_fct.h"
#include "host_export.h"

// A spectrum property: `max_length` bins of doubles (each bin counts exactly
// up to 2^53), with an x axis given by start and increment, a time and an
// event id.
//
// Thread-safe: bins and parameters are guarded by an internal mutex; every
// call sees or changes them whole. A read-modify-write made of read_spectrum
// and fill_spectrum is not atomic; callers that count into bins serialise
// among themselves.
class HOST_EXPORT D_spectrum : public D_fct {
 public:
  // `flag` is kept for the framework's interface and has no effect here.
  D_spectrum(const std::string& pn, u_int length, EqFct* ef, bool flag);
  ~D_spectrum() override;

  // Replies DATA_SPECTRUM with all bins, start, increment and time.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  int data_type() const override;  // DATA_SPECTRUM

  u_int max_length() const { return length_; }
  // The bin's content; 0 for an index outside the spectrum.
  double read_spectrum(int index) const;
  // Sets a bin; an index outside the spectrum is ignored.
  void fill_spectrum(int index, double value);
  // The parameter call: time in seconds, event id, status (kept, not
  // interpreted), x start and increment.
  void spectrum_parameter(time_t tm, std::int64_t event_id, int status, float start,
                          float increment);
  // The clearing call: every bin to 0; time, event id, start and increment
  // are kept.
  void clear_spectrum();

  // Copies of the state, taken under the lock.
  std::vector<double> bins() const;
  float start() const;
  float increment() const;
  time_t time() const;
  std::int64_t spectrum_event_id() const;
  int status() const;

 private:
  const u_int length_;

  mutable quelmar::Mutex mutex_;
  std::vector<double> bins_ GUARDED_BY(mutex_);
  time_t time_ GUARDED_BY(mutex_) = 0;
  std::int64_t event_id_ GUARDED_BY(mutex_) = 0;
  int status_ GUARDED_BY(mutex_) = 0;
  float start_ GUARDED_BY(mutex_) = 0.0f;
  float increment_ GUARDED_BY(mutex_) = 1.0f;
};

#endif  // HOST_D_SPECTRUM_H_
