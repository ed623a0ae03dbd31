#ifndef BENCHMARKS_EVENT_STREAM_H_
#define BENCHMARKS_EVENT_STREAM_H_

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "eq_data.h"
#include "eq_fct.h"
#include "event.h"

namespace bench {

// A steady in-order stream as a DAQ server sees it: event numbers rising by
// one with one lost event every 100, event times 1 ms apart starting at the
// current wall-clock second, so that latencies stay in the low bins.
class EventStream {
 public:
  EventStream() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tid_.time.timeup = static_cast<std::uint32_t>(now.tv_sec);
  }

  vrel_time_id* next() {
    tid_.event_number += (tid_.event_number % 100 == 0) ? 2 : 1;
    tid_.time.timelow += 1000;
    if (tid_.time.timelow >= 1000000) {
      tid_.time.timelow = 0;
      ++tid_.time.timeup;
    }
    return &tid_;
  }

  const vrel_time_id& last() const { return tid_; }

 private:
  vrel_time_id tid_{1, {0u, 0u}};
};

// Switches the statistics named `base` of `location` on, as a client would.
inline void switch_on(EqFct& location, const std::string& base) {
  EqData in;
  EqData out;
  in.set(1);
  location.remote_set(base + ".STAT.ON", &in, &out);
}

}  // namespace bench

#endif  // BENCHMARKS_EVENT_STREAM_H_
