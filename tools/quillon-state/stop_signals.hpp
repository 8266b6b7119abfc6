// SIGINT and SIGTERM as requests to stop, received where the command is ready for them.
//
// Guarantees: while a StopSignals lives, SIGINT and SIGTERM are blocked in the thread that made it
// and in every thread it starts afterwards, so they never interrupt a line being written or a
// capture; they stay pending until wait() takes them. Destruction restores the previous mask.
#ifndef QUILLON_STATE_STOP_SIGNALS_HPP
#define QUILLON_STATE_STOP_SIGNALS_HPP

#include <chrono>

#include <signal.h>

namespace Quillon::Tools::State {

/// Blocks SIGINT and SIGTERM for the calling thread (and threads it starts) while it lives.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Waits up to `timeout` for SIGINT or SIGTERM; returns true when one arrived (or was pending).
  [[nodiscard]] bool waitFor(std::chrono::nanoseconds timeout) const;

  /// Waits for SIGINT or SIGTERM without limit.
  void wait() const;

 private:
  sigset_t stop_{};
  sigset_t previous_{};
};

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_STOP_SIGNALS_HPP
