#include "d_ustr.h"

#include <cstring>
#include <utility>

#include "eq_errors.h"

namespace {

// What value() hands out: a copy of one record, and the USTR view of it.
struct UstrSnapshot {
  EqData::UstrElement copy;
  USTR view{};
};

}  // namespace

D_ustr::D_ustr(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

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
  EqData::UstrElement record = *element;
  quelmar::MutexLock lock(mutex_);
  record_ = std::move(record);
}

int D_ustr::data_type() const { return DATA_USTR; }

void D_ustr::set_value(USTR* record) {
  if (record == nullptr) return;
  const char* text = record->str_data.str_data_val;
  // The length counts the terminating zero; never read past it, even when
  // the zero is missing.
  const std::size_t length = text != nullptr ? strnlen(text, record->str_data.str_data_len) : 0;
  quelmar::MutexLock lock(mutex_);
  // The text is assigned in place, so it reuses the stored text's buffer: a
  // record written per event allocates nothing once its text has been seen.
  // It goes first, so that an allocation failure leaves the record whole.
  record_.str.assign(text != nullptr ? text : "", length);
  record_.i1 = record->i1_data;
  record_.f1 = record->f1_data;
  record_.f2 = record->f2_data;
  record_.tm = record->tm;
}

void D_ustr::set_value(int i1) {
  quelmar::MutexLock lock(mutex_);
  record_.i1 = i1;
}

void D_ustr::set_value(long i1) { set_value(static_cast<int>(i1)); }

void D_ustr::set_f1(float f1) {
  quelmar::MutexLock lock(mutex_);
  record_.f1 = f1;
}

void D_ustr::set_f2(float f2) {
  quelmar::MutexLock lock(mutex_);
  record_.f2 = f2;
}

void D_ustr::set_value(const std::string& text) {
  std::string copy = text;
  quelmar::MutexLock lock(mutex_);
  record_.str = std::move(copy);
}

int D_ustr::get_int() const {
  quelmar::MutexLock lock(mutex_);
  return record_.i1;
}

float D_ustr::get_f1() const {
  quelmar::MutexLock lock(mutex_);
  return record_.f1;
}

float D_ustr::get_f2() const {
  quelmar::MutexLock lock(mutex_);
  return record_.f2;
}

time_t D_ustr::get_time() const {
  quelmar::MutexLock lock(mutex_);
  return record_.tm;
}

std::string D_ustr::get_string() const {
  quelmar::MutexLock lock(mutex_);
  return record_.str;
}

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
  quelmar::MutexLock lock(mutex_);
  return record_;
}
