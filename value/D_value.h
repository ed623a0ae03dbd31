#ifndef VALUE_D_VALUE_H_
#define VALUE_D_VALUE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <memory>
#include <string>
#include <type_traits>

#include "d_fct.h"
#include "d_hist.h"
#include "daqevstat_export.h"
#include "eq_data.h"
#include "eq_exceptions.h"
#include "quelmar_types.h"

namespace quelmar {

// A typed single-value property (T is int or float).
//
// Every store stamps the property with a timestamp and an event id (as the
// host launders them), hands the value to the optional history and records
// it in the event buffer under its event id.
//
// Thread safety: the value itself is an atomic, so a remote read may run
// while another thread stores; timestamp, event id and buffer are guarded by
// the D_fct base. A store is not atomic as a whole: callers that store from
// several threads (or need value and stamp to agree) serialise among
// themselves, as the statistics object does with its own mutex. The history
// pointer is set up before the property is shared and not changed after.
template <typename T>
class DAQEVSTAT_EXPORT D_value : public D_fct {
  static_assert(std::is_same_v<T, int> || std::is_same_v<T, float>,
                "D_value is made for int and float");

 public:
  using ValueType = T;

  D_value(const std::string& pn, EqFct* ef, u_int nbuf);
  ~D_value() override;

  // Remote read: the current value, or with an event buffer the value that
  // the request's selector designates (a failed lookup is answered in `out`
  // with the host's error code and text). REQUIRES: `in` and `out` non-null.
  void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  // Remote write: refuses erroneous input (ill_parameter), converts, logs the
  // change when logging() is on, and stores through the virtual set_value(T).
  // May throw quelmar::Error from the store. REQUIRES: `in` and `out`
  // non-null; `ef` may be null (the log line then has the source "D_value").
  void set(EqAdr* ad, EqData* in, EqData* out, EqFct* ef) override;
  // With a request array of 64-bit integers writes element *idx from the
  // event buffer ((2147483647, NaN, NaN, ...) when the lookup fails); any
  // other request goes to D_fct::get_multi, a null `in` as an empty request.
  // A null `location` gives "".
  void get_multi(EqAdr* ad, EqData* in, EqData* out, int* idx, const char* location,
                 time_t* tm) override;
  void conf(Config* conf) override;
  // Takes the value found in the configuration, without stamping or
  // archiving it. A std::exception from the lookup is logged, not thrown.
  void read() override;
  // The int in decimal; the float in scientific notation with precision 6,
  // which the stream keeps afterwards.
  void write(std::ostream& stream) override;
  void auto_init() override;
  int data_type() const override;  // 1 for int, 2 for float
  using D_fct::data_type;
  void conf_process(EqFct* ef, int action) override;
  // Sends the 4 value bytes in host byte order after a header with flags 1;
  // returns 0, or the first non-zero code of header or payload.
  int send(dmsg_info* ip) override;

  virtual T get_value() const;
  // The three stores launder timestamp and event id, store value, timestamp
  // and event id, archive (status sts_ok for the first two) and, with a
  // non-zero event id and a buffer, add a buffer entry. The (sec, usec) form
  // stamps (sec * 1000000 + usec) * 1000 ns, wrapping modulo 2^64 for times
  // beyond the Timestamp range. They throw quelmar::Error("Archiving failed
  // with wrong archiver data type") when the history reports code 126; the
  // value, the timestamp and the event id are stored by then, the buffer
  // entry is not made.
  virtual void set_value(T val);
  virtual void set_value(T val, std::int64_t evid, time_t sec, int usec);
  virtual void set_value(T val, Timestamp timestamp, EventId event_id, ArchiveStatus status);
  // The buffered value for the selector, or the current value.
  virtual T value(std::uint64_t evid, time_t sec, int usec);
  virtual T value();

  // The event path of an owner that made the property and knows that its
  // class overrides neither value() nor set_value(): the same reads and
  // stores, inline and without the virtual calls. stored_value() is what
  // value() returns. store_stamped(val, stamp) is set_value(val, stamp, 0,
  // sts_ok) for a stamp that launder_timestamp has already given (so it is
  // its own laundering, and the event id 0 is too): value, timestamp and
  // event id stored in the same order, the history called out of line and
  // throwing as set_value does; with event id 0 no buffer entry is made.
  T stored_value() const { return value_.load(); }
  void store_stamped(T val, Timestamp stamp) {
    value_.store(val, std::memory_order_release);
    set_timestamp(stamp);
    set_event_id(EventId{0});
    if (hist_ != nullptr) archive_stamped(val, stamp);
  }

  // The history step of a store: the history's error code, 0 without one.
  int try_archive(T val, Timestamp timestamp, EventId event_id, ArchiveStatus status);

  // Attaches a history that receives every later store; the property owns
  // it. Call before the property is shared between threads.
  void set_history(std::unique_ptr<D_hist> hist);
  D_hist* get_histPointer() const { return hist_.get(); }
  // Enables the history's automatic initialisation (auto_init).
  void set_archiving_enabled(bool on) { arch_en_ = on; }

 private:
  // The history step of store_stamped, with set_value's exception.
  void archive_stamped(T val, Timestamp stamp);

  // What a store touches first, next to the base's stamp.
  std::atomic<T> value_{T{0}};
  bool arch_en_ = false;
  std::unique_ptr<D_hist> hist_;
  std::string filepref_;
  // Settings kept for the host; nothing in this library reads them.
  [[maybe_unused]] int loghist_ = -1;
  [[maybe_unused]] int rblen_ = -1;
};

extern template class D_value<int>;
extern template class D_value<float>;

}  // namespace quelmar

#endif  // VALUE_D_VALUE_H_
