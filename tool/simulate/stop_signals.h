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

// Turns SIGINT and SIGTERM into a request to stop for its lifetime: the
// handler only sets a flag, which stop_requested() reads, so a command ends
// its loop (or abandons a request under way) and cleans up as at its normal
// end. The previous handlers come back when it is destroyed.
//
// Thread safety: one at a time in a process, created and destroyed by the
// controlling thread; stop_requested() may be called from any thread.
class StopRequestsCaught {
 public:
  StopRequestsCaught();
  StopRequestsCaught(const StopRequestsCaught&) = delete;
  StopRequestsCaught& operator=(const StopRequestsCaught&) = delete;
  ~StopRequestsCaught();

  // Whether SIGINT or SIGTERM arrived since construction.
  static bool stop_requested();

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

}  // namespace daqevstat::tool

#endif  // TOOL_SIMULATE_STOP_SIGNALS_H_
