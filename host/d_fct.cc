#include "d_fct.h"

#include <cstddef>
#include <limits>
#include <ostream>
#include <utility>

#include "eq_config.h"
#include "eq_errors.h"
#include "eq_fct.h"

namespace {

std::string name_part(const std::string& pn) { return pn.substr(0, pn.find(' ')); }

// Only the first blank separates; a description may itself start with one.
std::string description_part(const std::string& pn) {
  const std::string::size_type blank = pn.find(' ');
  return blank == std::string::npos ? std::string() : pn.substr(blank + 1);
}

// (sec, usec) of `a` is at or before that of `b`.
bool at_or_before(long a_sec, int a_usec, long b_sec, int b_usec) {
  return a_sec < b_sec || (a_sec == b_sec && a_usec <= b_usec);
}

}  // namespace

D_fct::D_fct(const std::string& pn, EqFct* ef, u_int nbuf)
    : name_(name_part(pn)), description_(description_part(pn)), location_(ef), nbuf_(nbuf) {
  // The line store_line_of names starts with the stamps.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static_assert(offsetof(D_fct, timestamp_) == kStoreLineOffset);
  static_assert(offsetof(D_fct, timestamp_) % 64 == 0);
#pragma GCC diagnostic pop
}

D_fct::~D_fct() = default;

void D_fct::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out != nullptr) out->error(not_implemented, get_error_string(not_implemented));
}

void D_fct::set(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out != nullptr) out->error(read_only, get_error_string(read_only));
}

void D_fct::names(EqAdr*, EqData* out, int*) {
  if (out == nullptr) return;
  out->set(description_.empty() ? name_ : name_ + " " + description_);
}

void D_fct::get_multi(EqAdr* ad, EqData* in, EqData* out, int* idx, const char* location,
                      time_t* tm) {
  if (out == nullptr) return;
  EqData value;
  get(ad, in, &value, location_);
  const time_t time = tm != nullptr ? *tm : 0;
  const std::string text = location != nullptr ? location : "";
  const int index = idx != nullptr ? *idx : 0;
  if (value.error() != 0) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    out->set(2147483647, nan, nan, time, text, index);
    return;
  }
  out->set(value.get_int(), value.get_float(), value.get_float(), time, text, index);
}

void D_fct::conf(Config*) {}

void D_fct::read() {}

void D_fct::read_from_conf(const std::string&) {}

void D_fct::write(std::ostream&) {}

void D_fct::auto_init() {}

const char* D_fct::comment() const { return description_.c_str(); }

int D_fct::data_type() const { return DATA_NULL; }

int D_fct::data_type() { return static_cast<const D_fct*>(this)->data_type(); }

int D_fct::daq_type() { return 0; }

void D_fct::conf_insert(Config* conf, int data_type) {
  {
    quelmar::MutexLock lock(mutex_);
    config_ = conf;
  }
  if (conf != nullptr) conf->insert(name_, data_type);
}

void D_fct::conf_process(EqFct*, int) {}

int D_fct::callback_(EqAdr*, EqData*, EqData*, int, int, int* err) {
  if (err != nullptr) *err = not_implemented;
  return not_implemented;
}

int D_fct::permission() const {
  quelmar::MutexLock lock(mutex_);
  return permission_;
}

void D_fct::permission(int value) {
  quelmar::MutexLock lock(mutex_);
  permission_ = value;
}

int D_fct::d_error() const {
  quelmar::MutexLock lock(mutex_);
  return d_error_;
}

void D_fct::d_error(int value) {
  quelmar::MutexLock lock(mutex_);
  d_error_ = value;
}

int D_fct::d_severity() const {
  quelmar::MutexLock lock(mutex_);
  return d_severity_;
}

void D_fct::d_severity(int value) {
  quelmar::MutexLock lock(mutex_);
  d_severity_ = value;
}

void D_fct::set_mode(int, u_int) {}

int D_fct::send(dmsg_info*) { return not_implemented; }

int D_fct::set_buf_value(EqData* value, long event_id, long sec, int usec) {
  if (value == nullptr) return ill_parameter;
  if (nbuf_ == 0) return buffer_empty;
  BufferEntry entry;
  entry.event_id = event_id;
  entry.sec = sec;
  entry.usec = usec;
  entry.value = *value;  // copied before locking: the lock never covers an allocation-heavy copy
  quelmar::MutexLock lock(mutex_);
  if (buffer_.size() < nbuf_) {
    buffer_.push_back(std::move(entry));
  } else {
    buffer_[buffer_next_] = std::move(entry);
  }
  buffer_next_ = (buffer_next_ + 1) % nbuf_;
  return 0;
}

int D_fct::get_buf_value(EqData* out, long event_id, long sec, int usec) const {
  quelmar::MutexLock lock(mutex_);
  const std::size_t count = buffer_.size();
  if (count == 0) return buffer_empty;
  // Invariants: (1) entries fill slots 0.. in store order until the ring is
  // full; (2) buffer_next_ is the slot the next store uses, so the newest
  // entry sits just before it, and walking backwards from there visits the
  // entries from newest to oldest.
  const std::size_t newest = (buffer_next_ + count - 1) % count;
  const BufferEntry* found = nullptr;
  for (std::size_t age = 0; age < count; ++age) {
    const BufferEntry& entry = buffer_[(newest + count - age) % count];
    if (event_id > 0) {
      if (entry.event_id == event_id) {
        found = &entry;
        break;
      }
    } else if (event_id == 0 && sec != 0) {
      // The latest time at or before the request wins; among equal times the
      // newest store, since the walk meets it first.
      if (at_or_before(entry.sec, entry.usec, sec, usec) &&
          (found == nullptr || !at_or_before(entry.sec, entry.usec, found->sec, found->usec))) {
        found = &entry;
      }
    } else {
      found = &entry;
      break;
    }
  }
  if (found == nullptr) return no_data;
  if (out != nullptr) *out = found->value;
  return 0;
}

bool D_fct::logging() const {
  quelmar::MutexLock lock(mutex_);
  return logging_;
}

void D_fct::set_logging(bool on) {
  quelmar::MutexLock lock(mutex_);
  logging_ = on;
}

int D_fct::dynamic() const {
  quelmar::MutexLock lock(mutex_);
  return dynamic_;
}

void D_fct::dynamic(int value) {
  quelmar::MutexLock lock(mutex_);
  dynamic_ = value;
}

D_conf_struct* D_fct::find_prop_name() {
  Config* conf = nullptr;
  {
    quelmar::MutexLock lock(mutex_);
    conf = config_;
  }
  if (conf == nullptr) return nullptr;
  D_conf_struct* entry = conf->find(name_);
  if (entry != nullptr && !entry->found && !entry->text.empty()) {
    // The configuration has text for this property that did not parse as its
    // type; handing the entry back would let the caller take the zeroed union
    // for a value, so the fault is reported instead.
    std::string where = entry->line > 0 ? " at line " + std::to_string(entry->line) : "";
    throw config_error("cannot read value \"" + entry->text + "\" of " + name_ + where);
  }
  return entry;
}

bool D_fct::dmsg_supported() { return true; }

int D_fct::send_header(dmsg_info* ip, int flags) {
  if (ip == nullptr) return ill_parameter;
  return quelmar::DataMessageSink::instance().add_header(name_, *ip, flags);
}

int D_fct::send_data(unsigned char* data, u_int size, int flags) {
  if (data == nullptr && size != 0) return ill_parameter;
  return quelmar::DataMessageSink::instance().add_payload(name_, data, size, flags);
}
