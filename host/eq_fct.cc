#include "eq_fct.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <exception>
#include <sstream>
#include <utility>

#include "d_fct.h"
#include "eq_errors.h"

namespace {

// The text of the value layer's archiver exception; matching on it lets the
// host answer with the right code without depending on the layer above it.
constexpr char kArchiverFault[] = "Archiving failed with wrong archiver data type";

std::string& caller_of_this_thread() {
  thread_local std::string caller = "unknown@localhost";
  return caller;
}

}  // namespace

// A registration. It outlives its removal from entries_ for as long as a
// running call holds it, so that call can still uncount itself.
struct EqFct::Entry {
  Entry(D_fct* p, std::string n) : prop(p), name(std::move(n)) {}

  D_fct* const prop;
  const std::string name;
  // Guarded by EqFct::mutex_.
  bool registered = true;
  CallerIds callers;
};

// Ends a counted call, also when the property throws.
class EqFct::CallGuard {
 public:
  CallGuard(EqFct* location, std::shared_ptr<Entry> entry)
      : location_(location), entry_(std::move(entry)) {}
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  ~CallGuard() { location_->leave(entry_); }

 private:
  EqFct* const location_;
  const std::shared_ptr<Entry> entry_;
};

EqFct::EqFct(std::string name) : name_(std::move(name)) {}

EqFct::~EqFct() {
  std::unique_lock<std::mutex> lock(mutex_);
  calls_done_.wait(lock, [this] { return !others_running_locked(running_); });
}

void EqFct::remove_one(CallerIds& callers, std::thread::id id) {
  const auto it = std::find(callers.begin(), callers.end(), id);
  *it = callers.back();
  callers.pop_back();
}

bool EqFct::others_running_locked(const CallerIds& callers) const {
  return callers.size() != static_cast<std::size_t>(std::count(callers.begin(), callers.end(),
                                                               std::this_thread::get_id()));
}

bool EqFct::enter_locked(const std::shared_ptr<Entry>& entry) {
  if (!entry->registered) return false;
  const std::thread::id self = std::this_thread::get_id();
  entry->callers.push_back(self);
  try {
    running_.push_back(self);
  } catch (...) {
    entry->callers.pop_back();
    throw;
  }
  return true;
}

void EqFct::leave(const std::shared_ptr<Entry>& entry) {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  remove_one(entry->callers, self);
  remove_one(running_, self);
  // Notified under the lock: a waiter in the destructor may destroy the
  // condition variable as soon as it can take the mutex.
  calls_done_.notify_all();
}

void EqFct::add_property(D_fct* prop, int mode) {
  if (prop == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) {
      if (entry->prop == prop) return;
    }
    entries_.push_back(std::make_shared<Entry>(prop, prop->basename()));
  }
  if (mode != 2) return;
  // Outside the lock: conf() and read() may take other locks or reach back
  // into this location.
  try {
    prop->conf(&config_);
    prop->read();
  } catch (...) {
    rem_property(prop);
    throw;
  }
}

void EqFct::rem_property(D_fct* prop) {
  if (prop == nullptr) return;
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [prop](const std::shared_ptr<Entry>& e) { return e->prop == prop; });
  if (it == entries_.end()) return;
  const std::shared_ptr<Entry> entry = *it;
  entries_.erase(it);
  entry->registered = false;
  // Calls of this thread are further up its own stack; waiting for them
  // would never end.
  calls_done_.wait(lock, [this, &entry] { return !others_running_locked(entry->callers); });
}

std::vector<std::string> EqFct::property_names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const auto& entry : entries_) names.push_back(entry->name);
  return names;
}

bool EqFct::has_property(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&name](const std::shared_ptr<Entry>& e) { return e->name == name; });
}

namespace {

// Marks `out` as failed without letting an exception out: under memory
// pressure even the error text may not be allocated, and the code alone
// still tells the client what happened.
void answer_error(EqData* out, int code, const char* text) noexcept {
  try {
    out->error(code, text);
  } catch (...) {
    try {
      out->error(code, std::string());
    } catch (...) {
    }
  }
}

// The address a remote call hands its property, taken from this thread's
// own: one per call still running on the thread (a property's call may make
// another), each kept for the next call at its depth, so that filling one
// in allocates nothing once the thread has made calls this deep before.
// A deque keeps each address where it is while deeper ones are added.
class CallAddress {
 public:
  CallAddress(const std::string& location, const std::string& property) : calls_(thread_calls()) {
    if (calls_.depth == calls_.addresses.size()) calls_.addresses.emplace_back();
    address_ = &calls_.addresses[calls_.depth];
    address_->location.assign(location);
    address_->property.assign(property);
    ++calls_.depth;
  }
  CallAddress(const CallAddress&) = delete;
  CallAddress& operator=(const CallAddress&) = delete;
  ~CallAddress() { --calls_.depth; }

  EqAdr* get() const { return address_; }

 private:
  struct ThreadCalls {
    std::deque<EqAdr> addresses;
    std::size_t depth = 0;
  };
  static ThreadCalls& thread_calls() {
    thread_local ThreadCalls calls;
    return calls;
  }

  ThreadCalls& calls_;
  EqAdr* address_ = nullptr;
};

}  // namespace

// Nothing escapes: a remote call reaches the location from a client
// connection, and an exception there would end the serving thread (or the
// process) instead of one call.
template <typename Call>
void EqFct::dispatch(const std::string& property, EqData* in, EqData* out, Call&& call) noexcept {
  if (out == nullptr) return;
  // A reply container reused after a failed call must not report that
  // failure again; only the mark goes, since a multi-read collects its
  // elements in the same container. When `out` is also the request, its
  // mark is the request's own and the property judges it.
  if (out != in && out->error() != 0) answer_error(out, eq_ok, "");
  std::shared_ptr<Entry> entry;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    // The latest registration of a name wins.
    auto it =
        std::find_if(entries_.rbegin(), entries_.rend(),
                     [&property](const std::shared_ptr<Entry>& e) { return e->name == property; });
    if (it != entries_.rend() && enter_locked(*it)) entry = *it;
  } catch (const std::exception& e) {
    // Only allocations can fail here; enter_locked undid its count, and the
    // property was never reached.
    answer_error(out, internal_error, e.what());
    return;
  } catch (...) {
    answer_error(out, internal_error, "unknown exception");
    return;
  }
  if (entry == nullptr) {
    answer_error(out, unknown_property, get_error_string(unknown_property));
    return;
  }
  D_fct* const prop = entry->prop;
  const CallGuard guard(this, std::move(entry));
  try {
    call(prop);
  } catch (const std::exception& e) {
    const char* what = e.what();
    answer_error(out, std::strcmp(what, kArchiverFault) == 0 ? wrong_archiver_type : internal_error,
                 what);
  } catch (...) {
    answer_error(out, internal_error, "unknown exception");
  }
}

void EqFct::remote_get(const std::string& property, EqData* in, EqData* out) {
  dispatch(property, in, out, [&](D_fct* prop) {
    const CallAddress adr(name_, property);
    EqData empty;
    prop->get(adr.get(), in != nullptr ? in : &empty, out, this);
  });
}

void EqFct::remote_set(const std::string& property, EqData* in, EqData* out) {
  dispatch(property, in, out, [&](D_fct* prop) {
    const CallAddress adr(name_, property);
    EqData empty;
    prop->set(adr.get(), in != nullptr ? in : &empty, out, this);
  });
}

void EqFct::remote_get_multi(const std::string& property, EqData* in, EqData* out, int idx,
                             time_t tm) {
  if (out != nullptr && idx > kMaxMultiIndex) {
    // The reply would grow to idx + 1 elements; a client must not be able
    // to make the server allocate without limit.
    if (out != in && out->error() != 0) answer_error(out, eq_ok, "");
    answer_error(out, out_of_range, "multi-read index out of range");
    return;
  }
  dispatch(property, in, out, [&](D_fct* prop) {
    const CallAddress adr(name_, property);
    EqData empty;
    prop->get_multi(adr.get(), in != nullptr ? in : &empty, out, &idx, name_.c_str(), &tm);
  });
}

void EqFct::set_caller(const std::string& user, const std::string& host) {
  caller_of_this_thread() = user + "@" + host;
}

void EqFct::save_config(const std::string& path) {
  update_config();
  config_.save(path);
}

void EqFct::update_config() {
  std::vector<std::shared_ptr<Entry>> entries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries = entries_;
  }
  for (const auto& entry : entries) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!enter_locked(entry)) continue;  // removed meanwhile
    }
    CallGuard guard(this, entry);
    std::ostringstream text;
    entry->prop->write(text);
    if (!text.str().empty()) config_.set_text(entry->name, text.str());
  }
}

std::string get_user_and_host(const EqFct&) { return caller_of_this_thread(); }

std::string get_location_name(const EqFct& location) { return location.name(); }
