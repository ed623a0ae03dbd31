#include "tool/simulate/stop_signals.h"

#include <pthread.h>

#include <atomic>

namespace daqevstat::tool {
namespace {

// Set by the signal handler, which may run on any thread that has the
// signals unblocked.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");

extern "C" void request_stop(int) { g_stop_requested.store(true); }

}  // namespace

StopSignalsBlocked::StopSignalsBlocked() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask_);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr); }

StopRequestsCaught::StopRequestsCaught() {
  g_stop_requested.store(false);
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);
}

StopRequestsCaught::~StopRequestsCaught() {
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
}

bool StopRequestsCaught::stop_requested() { return g_stop_requested.load(); }

}  // namespace daqevstat::tool
