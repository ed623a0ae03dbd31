#include "D_value.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "eq_config.h"
#include "eq_errors.h"
#include "eq_exceptions.h"
#include "eq_fct.h"
#include "eq_value_io.h"

namespace quelmar {

namespace {

// The history's code for a sample whose type the archiver was not made for.
constexpr int kWrongArchiverType = 126;

// A timestamp split into whole seconds and the sub-second parts. Every part
// is truncated toward zero and carries the sign of the timestamp, so a
// negative timestamp splits into negative parts.
struct TimeParts {
  std::int64_t sec;
  std::int64_t usec;  // microseconds within the second
  std::int64_t msec;  // milliseconds within the second
};

TimeParts split_timestamp(Timestamp ns) {
  TimeParts parts{};
  parts.sec = ns / 1000000000;
  parts.usec = (ns / 1000) % 1000000;
  parts.msec = parts.usec / 1000;
  return parts;
}

// (sec * 1000000 + usec) * 1000 nanoseconds. The arithmetic is done on
// unsigned 64-bit numbers, so a time beyond the range of a Timestamp (about
// year 2262) wraps around modulo 2^64 instead of being undefined behaviour;
// the wrapped result is whatever launder_timestamp makes of it.
Timestamp to_timestamp(time_t sec, int usec) {
  const std::uint64_t usecs =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(sec)) * 1000000u +
      static_cast<std::uint64_t>(static_cast<std::int64_t>(usec));
  return static_cast<Timestamp>(usecs * 1000u);
}

// The entry a read request designates: event id, seconds, microseconds.
struct Selector {
  long evid;
  long sec;
  int usec;
};

// The selector of an array of 64-bit integers, by its length: (e0, 0, 0),
// (e0, e1, 0), (e0, e1, low 32 bits of e2), or (default_evid, 0, 0) for any
// other length. Elements are read highest index first.
Selector selector_from_long_array(const EqData& in, long default_evid) {
  Selector s{default_evid, 0, 0};
  switch (in.length()) {
    case 1:
      s.evid = static_cast<long>(in.get_long(0));
      break;
    case 2:
      s.sec = static_cast<long>(in.get_long(1));
      s.evid = static_cast<long>(in.get_long(0));
      break;
    case 3:
      s.usec = static_cast<int>(static_cast<std::uint32_t>(in.get_long(2)));
      s.sec = static_cast<long>(in.get_long(1));
      s.evid = static_cast<long>(in.get_long(0));
      break;
    default:
      break;
  }
  return s;
}

// The selector of a remote get request; an unrecognised type selects (-1, 0, 0).
Selector selector_for_get(const EqData& in) {
  switch (in.type()) {
    case DATA_A_LONG:
      return selector_from_long_array(in, -1);
    case DATA_LONG:
      return Selector{static_cast<long>(in.get_value<long long>()), 0, 0};
    case DATA_IIII: {
      const int usec = in.get_int(2);
      const int sec = in.get_int(1);
      const int evid = in.get_int(0);
      return Selector{evid, sec, usec};
    }
    case DATA_INT:
      return Selector{in.get_value<int>(), 0, 0};
    default:
      return Selector{-1, 0, 0};
  }
}

template <typename T>
constexpr int type_code() {
  return std::is_same_v<T, int> ? DATA_INT : DATA_FLOAT;
}

}  // namespace

template <typename T>
D_value<T>::D_value(const std::string& pn, EqFct* ef, u_int nbuf) : D_fct(pn, ef, nbuf) {
  dmsg_supported();
}

// The history, if any, goes with the unique_ptr; members are released in
// reverse order of declaration, the D_fct base last.
template <typename T>
D_value<T>::~D_value() = default;

template <typename T>
void D_value<T>::get(EqAdr* /*ad*/, EqData* in, EqData* out, EqFct* /*ef*/) {
  const Selector s = selector_for_get(*in);
  if (get_nbuf() == 0) {
    out->set(value_.load());
    return;
  }
  const int code = get_buf_value(out, s.evid, s.sec, s.usec);
  if (code != 0) out->error(code, get_error_string(code));
}

template <typename T>
void D_value<T>::set(EqAdr* /*ad*/, EqData* in, EqData* out, EqFct* ef) {
  if (in->error() != 0) {
    out->error(ill_parameter, "Cannot assign erroneous input data: " + in->get_string());
    return;
  }
  const T new_value = in->get_value<T>();
  if (logging()) {
    std::ostringstream line;
    line << basename() << " changed from ";
    write_conf_value_to_stream(line, value_.load());
    line << " to ";
    write_conf_value_to_stream(line, new_value);
    if (ef != nullptr) line << " by " << get_user_and_host(*ef);
    printtostderr(ef != nullptr ? get_location_name(*ef) : std::string("D_value"), line.str(),
                  kLogFlags);
  }
  set_value(new_value);
}

template <typename T>
void D_value<T>::get_multi(EqAdr* ad, EqData* in, EqData* out, int* idx, const char* location,
                           time_t* tm) {
  if (in == nullptr) {
    // The base answers through this property's get, which reads the
    // request: pass a missing one on as an empty one.
    EqData empty;
    D_fct::get_multi(ad, &empty, out, idx, location, tm);
    return;
  }
  if (in->type() != DATA_A_LONG) {
    D_fct::get_multi(ad, in, out, idx, location, tm);
    return;
  }
  const Selector s = selector_from_long_array(*in, 0);
  EqData found;
  const int code = get_buf_value(&found, s.evid, s.sec, s.usec);
  const time_t time = *tm;
  // A null location name would make std::string's constructor undefined.
  const std::string text(location != nullptr ? location : "");
  if (code != 0) {
    set_eqdata_to_error_for_get_multi<T>(out, time, text, *idx);
  } else {
    set_eqdata_to_value_for_get_multi<T>(out, found.get_value<T>(), time, text, *idx);
  }
}

template <typename T>
void D_value<T>::conf(Config* conf) {
  conf_insert(conf, type_code<T>());
}

template <typename T>
void D_value<T>::read() {
  try {
    const D_conf_struct* entry = find_prop_name();
    if (entry != nullptr && entry->found) {
      if constexpr (std::is_same_v<T, int>) {
        value_.store(entry->d_int);
      } else {
        value_.store(entry->d_float);
      }
    }
  } catch (const std::exception& e) {
    // A broken configuration entry must not stop the server from starting:
    // the property keeps its value and the fault is logged.
    printtostderr("read", e.what(), kLogFlags);
  }
}

template <typename T>
void D_value<T>::write(std::ostream& stream) {
  write_conf_value_to_stream(stream, value_.load());
}

template <typename T>
void D_value<T>::auto_init() {
  if (arch_en_ && hist_ != nullptr) hist_->auto_init();
}

template <typename T>
int D_value<T>::data_type() const {
  return type_code<T>();
}

template <typename T>
void D_value<T>::conf_process(EqFct* ef, int action) {
  D_fct::conf_process(ef, action);
  if (hist_ != nullptr) {
    hist_->dynamic(dynamic());
    hist_->conf_process(ef, action);
  }
}

template <typename T>
int D_value<T>::send(dmsg_info* ip) {
  static_assert(sizeof(T) == 4, "the data message carries a 4-byte value");
  const int code = send_header(ip, 1);
  if (code != 0) return code;
  // Send a snapshot: the atomic itself may change while the bytes are copied.
  const T snapshot = value_.load();
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &snapshot, sizeof(T));
  return send_data(bytes, sizeof(T), 0);
}

template <typename T>
T D_value<T>::get_value() const {
  return value_.load();
}

template <typename T>
void D_value<T>::set_value(T val) {
  set_value(val, Timestamp{0}, EventId{0}, sts_ok);
}

template <typename T>
void D_value<T>::set_value(T val, std::int64_t evid, time_t sec, int usec) {
  set_value(val, to_timestamp(sec, usec), EventId{evid}, sts_ok);
}

template <typename T>
void D_value<T>::set_value(T val, Timestamp timestamp, EventId event_id, ArchiveStatus status) {
  const Timestamp stamp = launder_timestamp(timestamp);
  const EventId id = launder_event_id(event_id);
  // Release, not the default sequential consistency: readers need the value
  // itself, not an order with other stores, and the full fence is the
  // dearest part of a store.
  value_.store(val, std::memory_order_release);
  set_timestamp(stamp);
  set_event_id(id);
  // The value stays stored when archiving fails: the history is the
  // secondary copy, and callers see the fault through the exception.
  if (try_archive(val, stamp, id, status) == kWrongArchiverType) {
    throw Error("Archiving failed with wrong archiver data type");
  }
  if (id != 0 && get_nbuf() != 0) {
    const TimeParts parts = split_timestamp(stamp);
    EqData entry;
    entry.set(val);
    set_buf_value(&entry, static_cast<long>(id), static_cast<long>(parts.sec),
                  static_cast<int>(parts.usec));
  }
}

template <typename T>
void D_value<T>::archive_stamped(T val, Timestamp stamp) {
  if (try_archive(val, stamp, EventId{0}, sts_ok) == kWrongArchiverType) {
    throw Error("Archiving failed with wrong archiver data type");
  }
}

template <typename T>
T D_value<T>::value(std::uint64_t evid, time_t sec, int usec) {
  EqData found;
  const int code = get_buf_value(&found, static_cast<long>(evid), static_cast<long>(sec), usec);
  if (code != 0) return value_.load();
  return found.get_value<T>();
}

template <typename T>
T D_value<T>::value() {
  return value_.load();
}

template <typename T>
int D_value<T>::try_archive(T val, Timestamp timestamp, EventId /*event_id*/,
                            ArchiveStatus status) {
  if (hist_ == nullptr) return 0;
  const TimeParts parts = split_timestamp(timestamp);
  int err = 0;
  // The history keeps seconds and milliseconds as unsigned 32-bit numbers.
  hist_->fill_hist(val, status, static_cast<unsigned int>(parts.sec),
                   static_cast<unsigned int>(parts.msec), &err);
  return err;
}

template <typename T>
void D_value<T>::set_history(std::unique_ptr<D_hist> hist) {
  hist_ = std::move(hist);
}

template class D_value<int>;
template class D_value<float>;

}  // namespace quelmar
