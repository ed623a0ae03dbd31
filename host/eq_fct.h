#ifndef HOST_EQ_FCT_H_
#define HOST_EQ_FCT_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "eq_config.h"
#include "eq_data.h"
#include "host_export.h"

class D_fct;

// A location of the host server: a name, the properties registered with it,
// and the configuration their values persist in.
//
// Clients reach a property through remote_get / remote_set / remote_get_multi
// by its name (the property's basename()). Those calls hold no lock while the
// property works, so a property may take other locks, and even add or remove
// properties of the same location, from inside a remote call.
//
// Thread safety: every member may be called concurrently from any thread.
// rem_property(p) unregisters p at once (no new remote call reaches it) and
// then waits until every remote call already running on p on *other* threads
// has returned, so the caller may delete p right after it returns. A remote
// call on p made by the calling thread itself is not waited for. Registry
// state is guarded by mutex_; the in-flight counts by the same mutex, with
// calls_done_ signalled when a call ends. No lock of this class is held while
// a property runs (remote calls, add_property's conf/read, save_config's
// write).
//
// Not detected: two threads that each remove the property the other one is
// running a remote call on, from inside those calls, wait for each other.
class HOST_EXPORT EqFct {
 public:
  explicit EqFct(std::string name);
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;
  // Waits for remote calls of other threads that are still running. The
  // properties are not owned and not deleted.
  virtual ~EqFct();

  const std::string& name() const { return name_; }

  // Registers `prop` under its basename(). With `mode` 2 the property is also
  // linked to this location's configuration: its conf(&config()) runs and
  // then its read(), so a value saved earlier becomes the property's value.
  // A second property with the same name replaces the first in name lookup.
  // Null, and a property that is already registered, are ignored. An
  // exception from conf() or read() unregisters `prop` again and propagates.
  // `prop` must stay alive until rem_property(prop) has returned.
  //
  // Virtual so that a location may refuse a registration: an override may
  // throw, before or after calling this one. Callers must then treat `prop`
  // as possibly registered and remove it with rem_property before deleting
  // it (rem_property ignores a property that is not registered).
  virtual void add_property(D_fct* prop, int mode);

  // Unregisters `prop` and waits for remote calls on it (see above). A
  // property that is not registered is ignored.
  // REQUIRES: the caller holds no lock that a remote call on `prop` may take,
  // or the two wait for each other.
  void rem_property(D_fct* prop);

  // Names of the registered properties, in registration order.
  std::vector<std::string> property_names() const;

  // Whether a property of that name is registered.
  bool has_property(const std::string& name) const;

  // Remote calls by property name. An unknown name replies with error
  // unknown_property. An exception thrown by the property is caught and
  // answered in `out` as error internal_error with the exception's what();
  // for the archiver fault of a value property (what() is exactly "Archiving
  // failed with wrong archiver data type"; this layer cannot name that
  // exception type) the code is wrong_archiver_type. A null `in` is passed
  // to the property as an empty request; with a null `out` nothing happens.
  //
  // No exception leaves these calls, std::bad_alloc and exceptions of any
  // type included: whatever fails is answered in `out` (internal_error;
  // under memory pressure possibly without its text). Each call first
  // clears an error mark left in `out` by an earlier call (unless `out` is
  // also `in`), so a reused reply reports only its own failure; the elements
  // stay, since a multi-read collects them in one container.
  //
  // remote_get_multi writes element `idx` of the reply, which grows to
  // idx + 1 elements; an `idx` above kMaxMultiIndex is answered with error
  // out_of_range and reaches no property.
  static constexpr int kMaxMultiIndex = 65535;
  void remote_get(const std::string& property, EqData* in, EqData* out);
  void remote_set(const std::string& property, EqData* in, EqData* out);
  void remote_get_multi(const std::string& property, EqData* in, EqData* out, int idx, time_t tm);

  // The user and host on whose behalf this thread's remote calls run;
  // "unknown@localhost" until set. Per thread.
  static void set_caller(const std::string& user, const std::string& host);

  // The configuration of this location.
  Config& config() { return config_; }

  // Writes every registered property whose write() produces text into the
  // configuration and saves it to `path`. Throws config_error. A property
  // removed while this runs is skipped safely.
  void save_config(const std::string& path);

  // The first half of save_config: writes every registered property whose
  // write() produces text into the configuration, and saves nothing.
  void update_config();

 private:
  struct Entry;
  class CallGuard;
  template <typename Call>
  void dispatch(const std::string& property, EqData* in, EqData* out, Call&& call) noexcept;
  // Counts a call on `entry` by this thread if it is still registered.
  bool enter_locked(const std::shared_ptr<Entry>& entry);
  void leave(const std::shared_ptr<Entry>& entry);
  // One id per running call, in no order. A vector: once it has grown to
  // the calls that overlap, a call adds and removes its id without
  // allocating.
  using CallerIds = std::vector<std::thread::id>;
  static void remove_one(CallerIds& callers, std::thread::id id);
  bool others_running_locked(const CallerIds& callers) const;

  const std::string name_;
  Config config_;

  mutable std::mutex mutex_;
  std::condition_variable calls_done_;
  std::vector<std::shared_ptr<Entry>> entries_;  // guarded by mutex_
  CallerIds running_;                            // guarded by mutex_
};

// "<user>@<host>" of the calling thread's remote call.
HOST_EXPORT std::string get_user_and_host(const EqFct& location);
HOST_EXPORT std::string get_location_name(const EqFct& location);

#endif  // HOST_EQ_FCT_H_
