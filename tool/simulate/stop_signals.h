#ifndef TOOL_SIMULATE_STOP_SIGNALS_H_
#define TOOL_SIMULATE_STOP_SIGNALS_H_

#include <signal.h>

namespace daqevstat::tool {

// Blocks SIGINT and SIGTERM in the calling thread for its lifetime and then
// restores the previous mask. Threads started meanwhile inherit the block,
// so the signals reach the controlling thread that waits for them (a
// blocked read there ends only when the signal is delivered to it).
//
// Thread safety: affects the calling thread's mask only; create and destroy
// it on the same thread.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked();
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;
  ~StopSignalsBlocked();

 private:
  sigset_t old_mask_;
};

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_STOP_SIGNALS_H_
