#ifndef HOST_D_FLOATHIST_H_
#define HOST_D_FLOATHIST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "d_fct.h"
#include "host_export.h"

// A float value with a title and a bounded history of its recent values.
// It starts at 0.0 with an empty history.
//
// Thread-safe: value and history are guarded by an internal mutex.
class HOST_EXPORT D_floathist : public D_fct {
 public:
  static constexpr std::size_t kHistoryLength = 1024;

  struct Sample {
    quelmar::Timestamp timestamp;
    float value;
  };

  D_floathist(const std::string& pn, EqFct* ef, const std::string& title);
  ~D_floathist() override;

  // Replies DATA_FLOAT with the current value.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  int data_type() const override;  // DATA_FLOAT

  const std::string& title() const { return title_; }

  // The one-float value operation: the current value becomes `value`, which
  // is appended to the history (the oldest sample goes when it is full).
  virtual void set_value(float value);
  float value() const;
  // Oldest first, at most kHistoryLength samples, each stamped with the time
  // of its store.
  std::vector<Sample> history() const;

 private:
  const std::string title_;

  mutable quelmar::Mutex mutex_;
  float value_ GUARDED_BY(mutex_) = 0.0f;
  std::vector<Sample> history_ GUARDED_BY(mutex_);
  std::size_t history_next_ GUARDED_BY(mutex_) = 0;
};

#endif  // HOST_D_FLOATHIST_H_
