#ifndef HOST_D_HIST_H_
#define HOST_D_HIST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "d_fct.h"
#include "host_export.h"

// The history (archive) of a value property. It is made for one data type
// (DATA_INT or DATA_FLOAT): a sample of the other type is refused with the
// error code 126 (wrong_archiver_type) and not stored. Other codes can be
// injected for tests with fail_next_with.
//
// Thread-safe: samples are guarded by an internal mutex.
class HOST_EXPORT D_hist : public D_fct {
 public:
  struct Sample {
    double value;
    ArchiveStatus status;
    unsigned int sec;
    unsigned int msec;
  };

  D_hist(const std::string& pn, EqFct* ef, int data_type);
  ~D_hist() override;

  int data_type() const override;

  // Adds a sample and sets *err to 0, or sets *err to an error code.
  virtual void fill_hist(int value, ArchiveStatus status, unsigned int sec, unsigned int msec,
                         int* err);
  virtual void fill_hist(float value, ArchiveStatus status, unsigned int sec, unsigned int msec,
                         int* err);

  // Every later fill_hist reports `code` (0 restores normal operation).
  void fail_with(int code);

  std::vector<Sample> samples() const;

  // Counts of the configuration steps the owning value forwarded.
  int conf_process_calls() const;
  int auto_init_calls() const;
  void conf_process(EqFct* ef, int action) override;
  void auto_init() override;

 private:
  void add(double value, int value_type, ArchiveStatus status, unsigned int sec,
           unsigned int msec, int* err);

  const int data_type_;

  mutable quelmar::Mutex mutex_;
  std::vector<Sample> samples_ GUARDED_BY(mutex_);
  int fail_code_ GUARDED_BY(mutex_) = 0;
  int conf_process_calls_ GUARDED_BY(mutex_) = 0;
  int auto_init_calls_ GUARDED_BY(mutex_) = 0;
};

#endif  // HOST_D_HIST_H_
