#include "d_string.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <ostream>

#include "eq_config.h"
#include "eq_errors.h"

D_string::D_string(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}

D_string::~D_string() = default;

void D_string::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out != nullptr) out->set(value());
}

void D_string::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (in == nullptr || in->error() != 0) {
    if (out != nullptr) {
      out->error(ill_parameter, "Cannot assign erroneous input data: " +
                                    (in != nullptr ? in->get_string() : std::string()));
    }
    return;
  }
  set_value(in->get_string());
}

void D_string::read() {
  try {
    const D_conf_struct* entry = find_prop_name();
    if (entry == nullptr || !entry->found) return;
    const std::string text = entry->text;
    quelmar::MutexLock lock(mutex_);
    text_ = text;
  } catch (const std::exception& e) {
    quelmar::printtostderr("read", e.what(), quelmar::kLogFlags);
  }
}

void D_string::write(std::ostream& stream) {
  std::string text = value();
  // The configuration holds one property a line: a line break in the text
  // would end the entry early and let the rest pass for another property.
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  stream << text;
}

int D_string::data_type() const { return DATA_STRING; }

void D_string::conf(Config* conf) { conf_insert(conf, DATA_STRING); }

void D_string::set_value(const std::string& text) { set_value(text, 0, 0, sts_ok); }

void D_string::set_value(const std::string& text, quelmar::Timestamp timestamp,
                         quelmar::EventId event_id, ArchiveStatus) {
  const quelmar::Timestamp stamp = quelmar::launder_timestamp(timestamp);
  const quelmar::EventId id = quelmar::launder_event_id(event_id);
  {
    quelmar::MutexLock lock(mutex_);
    text_ = text;
  }
  set_timestamp(stamp);
  set_event_id(id);
}

void D_string::copy_value(char* buffer, int size) const {
  if (buffer == nullptr || size <= 0) return;
  quelmar::MutexLock lock(mutex_);
  const std::size_t n = std::min(text_.size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, text_.data(), n);
  buffer[n] = '\0';
}

std::string D_string::get_value() const { return value(); }

std::string D_string::value() const {
  quelmar::MutexLock lock(mutex_);
  return text_;
}

int D_string::length() const {
  quelmar::MutexLock lock(mutex_);
  return static_cast<int>(text_.size());
}

void D_string::set_length(int length) {
  if (length < 0) return;
  quelmar::MutexLock lock(mutex_);
  if (text_.size() > static_cast<std::size_t>(length))
    text_.resize(static_cast<std::size_t>(length));
}
