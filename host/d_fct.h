#ifndef HOST_D_FCT_H_
#define HOST_D_FCT_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

#include "dmsg.h"
#include "eq_data.h"
#include "host_export.h"
#include "quelmar_types.h"
#include "thread_annotations.h"

class Config;
class EqFct;
struct D_conf_struct;

// The property base of the host framework.
//
// A property is built from a name string "<name> <description>": the text
// before the first blank is the name, the rest (after that one blank) the
// description. It belongs to a location (EqFct, may be null) and may keep an
// event buffer of `nbuf` slots in which values are stored under an event id
// and a time, so that clients can read the value of a past event.
//
// Thread safety: timestamp and event id are atomics, stored and read without
// a lock (every store stamps them, so they stay off the mutex); the rest of
// the base's own state (event buffer, flags, configuration link) is guarded
// by an internal mutex. Every non-virtual member below may be called from any
// thread at any time; timestamp and event id are two values, not one pair,
// so a reader racing a store may see the new one of one and the old one of
// the other. The
// lock is never held while calling out. Derived classes document their own
// state. Remote calls that arrive through EqFct are safe against a
// concurrent rem_property of the same property (see EqFct).
//
// Aligned to a cache line, so that where a store's fields fall in lines is
// the same for every property: the stamps end the base, the derived
// classes' hot fields follow them, and in this layout both share one line.
class HOST_EXPORT __attribute__((aligned(64))) D_fct {
 public:
  D_fct(const std::string& pn, EqFct* ef, u_int nbuf = 0);
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;
  virtual ~D_fct();

  // --- Virtual operations, in the framework's slot order -------------------
  // Default remote read: replies with error not_implemented.
  virtual void get(EqAdr* ad, EqData* in, EqData* out, EqFct* ef);
  // Default remote write: replies with error read_only.
  virtual void set(EqAdr* ad, EqData* in, EqData* out, EqFct* ef);
  // Replies with the text "<name> <description>".
  virtual void names(EqAdr* ad, EqData* out, int* idx);
  // Writes element *idx of a multi-read reply from this property's get:
  // (get_int, get_float, get_float, *tm, location, *idx) of the value that
  // get gives for `in`; a get that fails gives (2147483647, NaN, NaN, ...).
  virtual void get_multi(EqAdr* ad, EqData* in, EqData* out, int* idx, const char* location,
                         time_t* tm);
  // Registers the property with the configuration; the base does nothing.
  virtual void conf(Config* conf);
  // Takes the value from the configuration; the base does nothing.
  virtual void read();
  // Takes a value given as text; the base does nothing.
  virtual void read_from_conf(const std::string& text);
  // Writes the value for the configuration file; the base writes nothing,
  // which means the property is not saved.
  virtual void write(std::ostream& stream);
  virtual void auto_init();
  // The description.
  virtual const char* comment() const;
  // DATA_NULL for the base.
  virtual int data_type() const;
  virtual int data_type();
  virtual int daq_type();
  // Links the property to `conf` and registers its name there with the type
  // code `data_type`; find_prop_name then finds its entry. `conf` must outlive
  // the property (a location's own configuration does).
  virtual void conf_insert(Config* conf, int data_type);
  // Base configuration step: does nothing (the location is fixed at
  // construction).
  virtual void conf_process(EqFct* ef, int action);
  // The base has no callback: sets *err (if given) to not_implemented and
  // returns it.
  virtual int callback_(EqAdr* ad, EqData* in, EqData* out, int a1, int a2, int* err);
  virtual int permission() const;
  virtual void permission(int value);
  virtual int d_error() const;
  virtual void d_error(int value);
  virtual int d_severity() const;
  virtual void d_severity(int value);
  virtual void set_mode(int mode, u_int flags);
  // The base sends nothing and returns not_implemented.
  virtual int send(dmsg_info* ip);

  // --- Name ------------------------------------------------------------
  const std::string& basename() const { return name_; }
  const std::string& description() const { return description_; }
  EqFct* location() const { return location_; }

  // --- Stamp -----------------------------------------------------------
  // Inline: every store of a value makes these calls.
  void set_timestamp(quelmar::Timestamp timestamp) {
    timestamp_.store(timestamp, std::memory_order_relaxed);
  }
  quelmar::Timestamp get_timestamp() const { return timestamp_.load(std::memory_order_relaxed); }
  void set_event_id(quelmar::EventId event_id) {
    event_id_.store(event_id, std::memory_order_relaxed);
  }
  quelmar::EventId get_event_id() const { return event_id_.load(std::memory_order_relaxed); }

  // --- Event buffer ------------------------------------------------------
  // The buffer is a ring of get_nbuf() entries, each a value with its event
  // id and time; a store into a full ring replaces the oldest entry.
  //
  // get_buf_value selects an entry by (event id, seconds, microseconds):
  //   event id > 0:  the entry with exactly that event id;
  //   event id == 0 and seconds != 0: the entry with the latest time at or
  //                  before (seconds, microseconds), the newest among equal
  //                  times;
  //   otherwise (event id 0 with seconds 0, or event id < 0): the newest entry.
  // On success the entry's value is copied into `out` and 0 is returned.
  // Without slots or entries it returns buffer_empty; when no entry matches,
  // no_data. `out` is left untouched on failure.
  u_int get_nbuf() const { return nbuf_; }
  // Returns 0, buffer_empty without slots, ill_parameter for a null value.
  int set_buf_value(EqData* value, long event_id, long sec, int usec);
  int get_buf_value(EqData* out, long event_id, long sec, int usec) const;

  // --- Flags -----------------------------------------------------------
  // Whether remote changes of this property are logged; off by default.
  bool logging() const;
  void set_logging(bool on);
  int dynamic() const;
  void dynamic(int value);

  // --- Configuration -----------------------------------------------------
  // This property's entry in the configuration it was inserted into, or null.
  // Throws config_error when the entry holds a value that could not be read.
  D_conf_struct* find_prop_name();

  // --- Data messages -----------------------------------------------------
  // Whether the property can send data messages; always true here.
  bool dmsg_supported();
  // Hand a message to quelmar::DataMessageSink under this property's name;
  // 0 on success, the sink's code otherwise, ill_parameter for a null header
  // or a null payload of non-zero size.
  int send_header(dmsg_info* ip, int flags);
  int send_data(unsigned char* data, u_int size, int flags);

  // --- Layout ------------------------------------------------------------
  // Where the line that every store of a property writes (the stamps, and
  // the hot fields of the derived class after them) begins: for a caller
  // that asks the processor for that line ahead of its stores. Only an
  // address is computed, nothing is read, so the property may be gone by
  // then (a prefetch of freed memory does no harm).
  static constexpr std::size_t kStoreLineOffset = 192;
  static const void* store_line_of(const void* property) noexcept {
    return static_cast<const char*>(property) + kStoreLineOffset;
  }

 private:
  struct BufferEntry {
    long event_id = 0;
    long sec = 0;
    int usec = 0;
    EqData value;
  };

  // Constant after construction
  const std::string name_;
  const std::string description_;
  EqFct* const location_;

  // State below is protected by mutex_
  mutable quelmar::Mutex mutex_;
  std::vector<BufferEntry> buffer_ GUARDED_BY(mutex_);
  std::size_t buffer_next_ GUARDED_BY(mutex_) = 0;  // slot of the next store
  bool logging_ GUARDED_BY(mutex_) = false;
  int dynamic_ GUARDED_BY(mutex_) = 0;
  int permission_ GUARDED_BY(mutex_) = 0;
  int d_error_ GUARDED_BY(mutex_) = 0;
  int d_severity_ GUARDED_BY(mutex_) = 0;
  Config* config_ GUARDED_BY(mutex_) = nullptr;

  // Last, next to the members of the derived class: what every store
  // touches then shares a cache line with the stored value, which counts
  // when a server feeds many statistics objects in turn.
  const u_int nbuf_;
  // Stamped by every store; atomics so that a store takes no lock.
  std::atomic<quelmar::Timestamp> timestamp_{0};
  std::atomic<quelmar::EventId> event_id_{0};
};

#endif  // HOST_D_FCT_H_
