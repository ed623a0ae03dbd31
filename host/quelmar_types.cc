#include "quelmar_types.h"

#include <time.h>

#include <cstdio>
#include <string>
#include <utility>

#include "thread_annotations.h"

namespace quelmar {
namespace {

struct LogState {
  Mutex mutex;
  LogSink sink GUARDED_BY(mutex);
};

// Leaked on purpose: lines may still be written from static destructors of
// other libraries while this one is being unloaded.
LogState& log_state() {
  static LogState* state = new LogState;
  return *state;
}

// Set while this thread runs the installed sink, so that a sink which logs
// itself does not deadlock on the log mutex.
thread_local bool in_sink = false;

void write_line_to_stderr(const std::string& source, const std::string& text) {
  std::string line;
  line.reserve(source.size() + text.size() + 3);
  line.append(source).append(": ").append(text).push_back('\n');
  // One fwrite per line: stdio locks the stream for the whole call.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

namespace {

Timestamp wall_clock_now() {
  struct timespec now {};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return static_cast<Timestamp>(now.tv_sec) * 1000000000 + static_cast<Timestamp>(now.tv_nsec);
}

// The innermost SharedStampTime of this thread; `now` 0 while no stamp has
// been made in a scope that was opened without a time.
struct SharedStamp {
  bool active = false;
  Timestamp now = 0;
};
// Initial-exec: read on every store, and the general TLS model would cost a
// call into the dynamic loader each time.
__attribute__((tls_model("initial-exec"))) thread_local SharedStamp shared_stamp;

}  // namespace

Timestamp launder_timestamp(Timestamp timestamp) {
  if (timestamp != 0) return timestamp;
  SharedStamp& shared = shared_stamp;
  if (!shared.active) return wall_clock_now();
  if (shared.now == 0) shared.now = wall_clock_now();
  return shared.now;
}

SharedStampTime::SharedStampTime(Timestamp now)
    : previous_active_(shared_stamp.active), previous_now_(shared_stamp.now) {
  shared_stamp.active = true;
  shared_stamp.now = now;
}

SharedStampTime::~SharedStampTime() {
  shared_stamp.active = previous_active_;
  shared_stamp.now = previous_now_;
}

EventId launder_event_id(EventId event_id) { return event_id; }

void printtostderr(const std::string& source, const std::string& text, unsigned int flags) {
  if (in_sink) {
    write_line_to_stderr(source, text);
    return;
  }
  LogState& state = log_state();
  // The sink runs under the lock: once set_log_sink has returned, the sink it
  // replaced is never called again, so a test may install a sink that
  // captures locals.
  MutexLock lock(state.mutex);
  if (state.sink) {
    in_sink = true;
    try {
      state.sink(source, text, flags);
    } catch (...) {
      in_sink = false;
      throw;
    }
    in_sink = false;
    return;
  }
  write_line_to_stderr(source, text);
}

LogSink set_log_sink(LogSink sink) {
  LogState& state = log_state();
  MutexLock lock(state.mutex);
  std::swap(state.sink, sink);
  return sink;
}

}  // namespace quelmar
