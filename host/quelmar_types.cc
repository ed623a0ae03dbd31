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

Timestamp launder_timestamp(Timestamp timestamp) {
  if (timestamp != 0) return timestamp;
  struct timespec now {};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return static_cast<Timestamp>(now.tv_sec) * 1000000000 + static_cast<Timestamp>(now.tv_nsec);
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
