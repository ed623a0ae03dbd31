#ifndef HOST_D_USTR_H_
#define HOST_D_USTR_H_

#include <string>

#include "d_fct.h"
#include "host_export.h"

// A universal-string property: one USTR record (an integer, two floats, a
// time and a text). It starts as (0, 0.0, 0.0, 0, "").
//
// Thread-safe: the record and its text are guarded by an internal mutex and
// are always replaced and read whole, so no reader sees half of a record.
// set_value(USTR*) copies the text; the caller keeps ownership of its buffer.
// value() returns a snapshot private to the calling thread: it stays valid,
// and unchanged, until the same thread calls value() on any D_ustr again.
class HOST_EXPORT D_ustr : public D_fct {
 public:
  D_ustr(const std::string& pn, EqFct* ef);
  ~D_ustr() override;

  // Replies with the record as one DATA_USTR element.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  // Stores the first DATA_USTR element of the request; other types are
  // refused with ill_parameter.
  void set(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  int data_type() const override;  // DATA_USTR

  // A null record is ignored.
  virtual void set_value(USTR* record);
  virtual void set_value(int i1);
  virtual void set_value(long i1);  // stored as int (low bits)
  virtual void set_f1(float f1);
  virtual void set_f2(float f2);
  virtual void set_value(const std::string& text);
  virtual int get_int() const;
  virtual float get_f1() const;
  virtual float get_f2() const;
  virtual time_t get_time() const;
  virtual std::string get_string() const;
  virtual USTR* value();

  // The whole record, copied under the lock.
  EqData::UstrElement snapshot() const;

 private:
  mutable quelmar::Mutex mutex_;
  EqData::UstrElement record_ GUARDED_BY(mutex_);
};

#endif  // HOST_D_USTR_H_
