#ifndef HOST_D_USTR_H_
#define HOST_D_USTR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "d_fct.h"
#include "host_export.h"
#include "thread_annotations.h"

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
//
// An owner that writes the record only while it holds a lock of its own can
// share that lock (share_writer_lock): its two record writes then skip the
// writers' exclusion on the counter, a locked instruction on every write,
// and every other write takes the shared lock instead for its length. A
// thread that holds the shared lock must then write the property only
// through set_record and set_numbers_keeping_text.
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

  // What set_value(USTR*) does with a record of these fields and a non-null
  // text of at most `length` bytes (ending at its first zero before that),
  // without building the record or the virtual call: for an owner that made
  // the property and knows that its class does not override set_value.
  // Returns the version of the text the property holds after the write.
  std::uint64_t set_record(const char* text, std::size_t length, int i1, float f1, float f2,
                           time_t tm);
  // The same record again but for its four numbers, for a writer whose text
  // has not changed since set_record returned `text_version`: writes the
  // numbers as one write of the whole record and returns true while the
  // property still holds that version of the text, else writes nothing and
  // returns false (another write replaced the text; set_record puts it
  // back). Text versions are unique in the process, 0 for the empty text a
  // property starts with, so a version never matches another property's
  // text.
  // Inline: the statistics object writes its record so for every event, and
  // with a shared writers' lock (which the caller holds) the write is a few
  // plain stores.
  bool set_numbers_keeping_text(std::uint64_t text_version, int i1, float f1, float f2, time_t tm) {
    if (writer_lock_ == nullptr) return set_numbers_excluding_writers(text_version, i1, f1, f2, tm);
    if (text_version_ != text_version) return false;
    const std::uint32_t start = sequence_.load(std::memory_order_relaxed) + 1;
    // Relaxed: the fields' release stores order it before them.
    sequence_.store(start, std::memory_order_relaxed);
    store_numbers(i1, f1, f2, tm);
    sequence_.store(start + 1, std::memory_order_release);
    return true;
  }

  // Makes `lock` the writers' lock (see the class comment): from now on
  // set_record and set_numbers_keeping_text may be called only while the
  // caller holds it, and every other write takes it. Call once, before the
  // property is shared between threads; `lock` must outlive the property.
  void share_writer_lock(quelmar::Mutex& lock) noexcept;

 private:
  class WriteScope;
  // Who opens a WriteScope: any writer, or one that holds the shared
  // writers' lock (if there is one).
  enum class Writer { any, lock_holder };
  using Text = std::shared_ptr<const std::string>;

  // One write of the whole record; with `zero_ends` the text ends at its
  // first zero within `length` bytes.
  void write_record(const char* text, std::size_t length, bool zero_ends, int i1, float f1,
                    float f2, time_t tm);
  // write_record's stores, inside a WriteScope the caller holds.
  void write_fields(const char* text, std::size_t length, bool zero_ends, int i1, float f1,
                    float f2, time_t tm);
  // set_numbers_keeping_text without a shared writers' lock.
  bool set_numbers_excluding_writers(std::uint64_t text_version, int i1, float f1, float f2,
                                     time_t tm);
  // The record's four numbers, each stored with release (plain moves on
  // x86): a reader that loads any field of a write under way thereby sees
  // the odd count that the write began with, and retries. Fences would do
  // the same, but the thread sanitizer cannot follow them. Only inside a
  // write (a WriteScope, or the inline write above).
  void store_numbers(int i1, float f1, float f2, time_t tm) {
    i1_.store(i1, std::memory_order_release);
    f1_.store(f1, std::memory_order_release);
    f2_.store(f2, std::memory_order_release);
    tm_.store(static_cast<std::int64_t>(tm), std::memory_order_release);
  }
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
  // Writers only, inside a WriteScope: the version of text_ (see
  // set_numbers_keeping_text).
  std::uint64_t text_version_ = 0;
  // The writers' lock an owner shared, or null: then writers exclude one
  // another through sequence_. Set before the property is shared.
  quelmar::Mutex* writer_lock_ = nullptr;
};

#endif  // HOST_D_USTR_H_
