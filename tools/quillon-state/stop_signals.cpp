#include "stop_signals.hpp"

#include <algorithm>
#include <cerrno>

#include <pthread.h>

namespace Quillon::Tools::State {

StopSignals::StopSignals() {
  sigemptyset(&stop_);
  sigaddset(&stop_, SIGINT);
  sigaddset(&stop_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_, &previous_);
}

StopSignals::~StopSignals() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool StopSignals::waitFor(std::chrono::nanoseconds timeout) const {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point until = Clock::now() + timeout;
  while (true) {
    const std::chrono::nanoseconds left =
        std::max(std::chrono::nanoseconds(0), until - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec pause{static_cast<time_t>(seconds.count()),
                         static_cast<long>((left - seconds).count())};
    if (sigtimedwait(&stop_, nullptr, &pause) >= 0) return true;
    // EINTR: another signal's handler ran; wait out the rest of the interval.
    if (errno != EINTR) return false;
  }
}

void StopSignals::wait() const {
  int received = 0;
  while (sigwait(&stop_, &received) != 0) {
  }
}

}  // namespace Quillon::Tools::State
