#ifndef HOST_QUELMAR_TYPES_H_
#define HOST_QUELMAR_TYPES_H_

#include <cstdint>
#include <functional>
#include <string>

#include "host_export.h"

namespace quelmar {

// Nanoseconds since 1970-01-01 00:00:00 UTC; 0 stands for "no timestamp".
using Timestamp = std::int64_t;
// 0 stands for "no event id".
using EventId = std::int64_t;

// The flags value every log line of the library is written with.
inline constexpr unsigned int kLogFlags = 0x80000000u;

// A missing timestamp (0) becomes the current wall-clock time
// (CLOCK_REALTIME); any other value, negative ones included, is returned
// unchanged.
//
// While a SharedStampTime is alive on the calling thread, a missing timestamp
// becomes that scope's time instead, so that the stores of one event share
// one notion of "now" rather than reading the clock once each.
HOST_EXPORT Timestamp launder_timestamp(Timestamp timestamp);

// Makes every stamp that launder_timestamp(0) gives on this thread, for the
// lifetime of the scope, the same time: `now` when it is non-zero, otherwise
// the wall-clock time read at the first such stamp (and kept from then on).
// A scope that makes no stamp reads no clock. Scopes nest, each restoring the
// one it replaced. Thread-local: other threads are not affected.
class HOST_EXPORT SharedStampTime {
 public:
  explicit SharedStampTime(Timestamp now = 0);
  SharedStampTime(const SharedStampTime&) = delete;
  SharedStampTime& operator=(const SharedStampTime&) = delete;
  ~SharedStampTime();

 private:
  bool previous_active_;
  Timestamp previous_now_;
};

// Event ids are returned unchanged: 0 stays 0 and means "no event id".
HOST_EXPORT EventId launder_event_id(EventId event_id);

// Writes one line "<source>: <text>\n" to standard error, or hands source,
// text and flags to the sink installed with set_log_sink. The flags are only
// passed on. Thread-safe: one mutex serialises all lines and guards the sink,
// so lines from concurrent callers never interleave and a sink is never
// called concurrently with itself. The sink runs under that mutex: a line
// logged from inside the sink goes straight to standard error, and a sink
// must not call set_log_sink. Exceptions from the sink propagate.
HOST_EXPORT void printtostderr(const std::string& source, const std::string& text,
                               unsigned int flags);

using LogSink =
    std::function<void(const std::string& source, const std::string& text, unsigned int flags)>;

// Replaces where printtostderr writes; an empty sink restores standard error.
// Returns the previous sink, which is not called again once this returns.
// Meant for tests and embedding servers.
HOST_EXPORT LogSink set_log_sink(LogSink sink);

}  // namespace quelmar

// Status of an archived sample.
enum ArchiveStatus : std::uint16_t {
  sts_ok = 0,
  sts_err = 1,
  sts_off = 2,
  sts_warning = 3,
  sts_ok2 = 4,
  sts_offline = 6,
  sts_la10 = 32768,
};

// The archive file handle of the host; the library only ever holds a null
// pointer to one.
class ArchiveFile;

#endif  // HOST_QUELMAR_TYPES_H_
