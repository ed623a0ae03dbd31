#ifndef HOST_D_USTR_H_
#define HOST_D_USTR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "d_fct.h"
#include "host_export.h"

// A universal-string property: one USTR record (an integer, two floats, a
// time and a text). It starts as (0, 0.0, 0.0, 0, "").
//
// Thread safety: a sequence lock. Writers (every set_value, set_f1, set_f2
// and set) exclude one another through the sequence counter and never wait
// for a reader; readers (get, the getters, snapshot, value) take no lock and
// retry while a write is under way, so every read sees a record whole, never
// half of one write and half of another. The text is an immutable string
// that a write replaces only when it differs from the stored one, so the
// statistics object's record, whose text changes with the event type only,
// stores no text per event. set_value(USTR*) copies the text; the caller
// keeps ownership of its buffer. value() returns a snapshot private to the
// calling thread: it stays valid, and unchanged, until the same thread calls
// value() on any D_ustr again.
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

  // The whole record, as one write left it.
  EqData::UstrElement snapshot() const;

 private:
  class WriteScope;
  using Text = std::shared_ptr<const std::string>;

  // One write of the whole record; with `zero_ends` the text ends at its
  // first zero within `length` bytes.
  void write_record(const char* text, std::size_t length, bool zero_ends, int i1, float f1,
                    float f2, time_t tm);
  // Replaces the text unless it is the stored one. Only inside a WriteScope.
  void store_text(const char* text, std::size_t length);

  // Even while no write is under way; a writer makes it odd for the length
  // of its write.
  mutable std::atomic<std::uint32_t> sequence_{0};
  std::atomic<int> i1_{0};
  std::atomic<float> f1_{0.0f};
  std::atomic<float> f2_{0.0f};
  std::atomic<std::int64_t> tm_{0};
  // Read by readers with std::atomic_load; replaced by writers with
  // std::atomic_store.
  Text text_;
};

#endif  // HOST_D_USTR_H_
