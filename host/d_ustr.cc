#include "d_ustr.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>

#include "eq_errors.h"

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
// The fields of the record are stored with release and loaded with acquire
// (plain moves on x86): a reader that loads any field of a write under way
// thereby sees the odd count that the write began with, and retries. Fences
// would do the same, but the thread sanitizer cannot follow them.
constexpr std::memory_order kFieldStore = std::memory_order_release;
constexpr std::memory_order kFieldLoad = std::memory_order_acquire;

// What value() hands out: a copy of one record, and the USTR view of it.
struct UstrSnapshot {
  EqData::UstrElement copy;
  USTR view{};
};

// Whether a caller's text, read up to `limit` bytes or its first zero, is
// `stored`: the test every record write makes, so done a word at a time
// without a call into the C library (the text is an event type's name,
// written with every record and changed with the type only). Reads no byte
// of `text` at or beyond `limit`.
std::uint64_t word_at(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

bool has_zero_byte(std::uint64_t word) {
  return ((word - 0x0101010101010101u) & ~word & 0x8080808080808080u) != 0;
}

bool holds_text(const std::string& stored, const char* text, std::size_t limit) {
  const std::size_t n = stored.size();
  if (n > limit || (n < limit && text[n] != '\0')) return false;
  const char* data = stored.data();
  if (n < sizeof(std::uint64_t)) {
    for (std::size_t i = 0; i < n; ++i) {
      if (text[i] != data[i] || text[i] == '\0') return false;
    }
    return true;
  }
  // Whole words, then the last word again from its end (overlapping).
  for (std::size_t i = 0;; i += sizeof(std::uint64_t)) {
    const std::size_t at = i + sizeof(std::uint64_t) <= n ? i : n - sizeof(std::uint64_t);
    const std::uint64_t word = word_at(text + at);
    if (word != word_at(data + at) || has_zero_byte(word)) return false;
    if (at + sizeof(std::uint64_t) == n) return true;
  }
}

// Spinning is right for the few instructions a write lasts; yielding after a
// while keeps a reader from burning the core of a writer that was preempted.
void wait_a_little(int& spins) {
  if (++spins > 64) std::this_thread::yield();
}

// Versions of replaced texts, unique in the process; 0 is the empty text
// every property starts with.
std::uint64_t next_text_version() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::shared_ptr<const std::string> empty_text() {
  static const auto empty = std::make_shared<const std::string>();
  return empty;
}

}  // namespace

// Holds the write side of the sequence lock: odd from construction to
// destruction, exceptions included. Writers exclude one another by making
// the count odd with a compare-exchange, or, once an owner shared its lock,
// by that lock: a lock holder makes the count odd with a plain store, and
// any other writer takes the lock first.
class D_ustr::WriteScope {
 public:
  WriteScope(const D_ustr& prop, Writer writer) : sequence_(prop.sequence_) {
    if (prop.writer_lock_ != nullptr) {
      if (writer == Writer::any) {
        taken_ = prop.writer_lock_;
        taken_->lock();
      }
      start_ = sequence_.load(kRelaxed) + 1;
      // Relaxed: the fields' release stores order it before them (see
      // kFieldStore).
      sequence_.store(start_, kRelaxed);
      return;
    }
    int spins = 0;
    std::uint32_t seen = sequence_.load(kRelaxed);
    for (;;) {
      if ((seen & 1u) == 0 &&
          sequence_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, kRelaxed)) {
        break;
      }
      wait_a_little(spins);
      seen = sequence_.load(kRelaxed);
    }
    start_ = seen + 1;
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  ~WriteScope() {
    sequence_.store(start_ + 1, std::memory_order_release);
    if (taken_ != nullptr) taken_->unlock();
  }

 private:
  std::atomic<std::uint32_t>& sequence_;
  std::uint32_t start_ = 0;
  // The shared writers' lock this scope took, or null.
  quelmar::Mutex* taken_ = nullptr;
};

D_ustr::D_ustr(const std::string& pn, EqFct* ef) : D_fct(pn, ef), text_(empty_text()) {}

D_ustr::~D_ustr() = default;

void D_ustr::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out == nullptr) return;
  const EqData::UstrElement record = snapshot();
  out->init();
  out->set(record.i1, record.f1, record.f2, record.tm, record.str, 0);
}

void D_ustr::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
  const EqData::UstrElement* element =
      in != nullptr && in->error() == 0 && in->type() == DATA_USTR ? in->get_ustr(0) : nullptr;
  if (element == nullptr) {
    if (out != nullptr) out->error(ill_parameter, get_error_string(ill_parameter));
    return;
  }
  write_record(element->str.data(), element->str.size(), false, element->i1, element->f1,
               element->f2, element->tm);
}

int D_ustr::data_type() const { return DATA_USTR; }

void D_ustr::write_record(const char* text, std::size_t length, bool zero_ends, int i1, float f1,
                          float f2, time_t tm) {
  WriteScope write(*this, Writer::any);
  write_fields(text, length, zero_ends, i1, f1, f2, tm);
}

void D_ustr::write_fields(const char* text, std::size_t length, bool zero_ends, int i1, float f1,
                          float f2, time_t tm) {
  // The text goes first, so that an allocation failure leaves the record
  // whole. With `zero_ends`, `length` is a limit and the text ends at its
  // first zero before it.
  if (zero_ends) {
    if (!holds_text(*text_, text, length)) store_text(text, strnlen(text, length));
  } else {
    store_text(text, length);
  }
  store_numbers(i1, f1, f2, tm);
}

void D_ustr::store_text(const char* text, std::size_t length) {
  const std::string_view wanted(text, length);
  // Writers are excluded by the WriteScope, so the writer may read the
  // pointer directly; only its replacement must be atomic for the readers.
  if (*text_ == wanted) return;
  std::atomic_store_explicit(&text_, Text(std::make_shared<const std::string>(wanted)),
                             std::memory_order_release);
  text_version_ = next_text_version();
}

std::uint64_t D_ustr::set_record(const char* text, std::size_t length, int i1, float f1, float f2,
                                 time_t tm) {
  WriteScope write(*this, Writer::lock_holder);
  write_fields(text, length, true, i1, f1, f2, tm);
  return text_version_;
}

bool D_ustr::set_numbers_excluding_writers(std::uint64_t text_version, int i1, float f1, float f2,
                                           time_t tm) {
  WriteScope write(*this, Writer::lock_holder);
  if (text_version_ != text_version) return false;
  store_numbers(i1, f1, f2, tm);
  return true;
}

void D_ustr::share_writer_lock(quelmar::Mutex& lock) noexcept { writer_lock_ = &lock; }

void D_ustr::set_value(USTR* record) {
  if (record == nullptr) return;
  const char* text = record->str_data.str_data_val;
  // The length counts the terminating zero; never read past it, even when
  // the zero is missing.
  if (text == nullptr) {
    write_record("", 0, false, record->i1_data, record->f1_data, record->f2_data, record->tm);
  } else {
    write_record(text, record->str_data.str_data_len, true, record->i1_data, record->f1_data,
                 record->f2_data, record->tm);
  }
}

void D_ustr::set_value(int i1) {
  WriteScope write(*this, Writer::any);
  i1_.store(i1, kFieldStore);
}

void D_ustr::set_value(long i1) { set_value(static_cast<int>(i1)); }

void D_ustr::set_f1(float f1) {
  WriteScope write(*this, Writer::any);
  f1_.store(f1, kFieldStore);
}

void D_ustr::set_f2(float f2) {
  WriteScope write(*this, Writer::any);
  f2_.store(f2, kFieldStore);
}

void D_ustr::set_value(const std::string& text) {
  WriteScope write(*this, Writer::any);
  store_text(text.data(), text.size());
}

int D_ustr::get_int() const { return snapshot().i1; }

float D_ustr::get_f1() const { return snapshot().f1; }

float D_ustr::get_f2() const { return snapshot().f2; }

time_t D_ustr::get_time() const { return snapshot().tm; }

std::string D_ustr::get_string() const { return snapshot().str; }

USTR* D_ustr::value() {
  // One snapshot per thread: the caller reads it without any lock while other
  // threads keep writing the property.
  thread_local UstrSnapshot snapshot_of_thread;
  snapshot_of_thread.copy = snapshot();
  EqData::UstrElement& copy = snapshot_of_thread.copy;
  USTR& view = snapshot_of_thread.view;
  view.i1_data = copy.i1;
  view.f1_data = copy.f1;
  view.f2_data = copy.f2;
  view.tm = copy.tm;
  view.str_data.str_data_len = static_cast<u_int>(copy.str.size() + 1);
  view.str_data.str_data_val = copy.str.data();
  return &view;
}

EqData::UstrElement D_ustr::snapshot() const {
  EqData::UstrElement record;
  Text text;
  int spins = 0;
  for (;;) {
    const std::uint32_t before = sequence_.load(std::memory_order_acquire);
    if ((before & 1u) == 0) {
      record.i1 = i1_.load(kFieldLoad);
      record.f1 = f1_.load(kFieldLoad);
      record.f2 = f2_.load(kFieldLoad);
      record.tm = static_cast<time_t>(tm_.load(kFieldLoad));
      text = std::atomic_load_explicit(&text_, std::memory_order_acquire);
      if (sequence_.load(kRelaxed) == before) break;
    }
    wait_a_little(spins);
  }
  // The text is immutable: copying it needs no protection.
  record.str = *text;
  return record;
}
