#include "tool/simulate/stop_signals.h"

#include <pthread.h>

namespace daqevstat::tool {

StopSignalsBlocked::StopSignalsBlocked() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask_);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr); }

}  // namespace daqevstat::tool
