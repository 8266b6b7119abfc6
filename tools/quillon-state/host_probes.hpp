// The probes of the machine that quillon-state runs on, read from a proc tree (/proc or another).
//
// Guarantees: a probe never invents a reading. A subject whose source cannot be read is `missing`;
// a source that can be read but does not parse exactly (a field that is not a plain unsigned
// decimal, a value out of range, too few fields, available memory above total, zero ticks since
// boot, counters that went backwards) makes its subject `invalid`, with a diagnostic naming the
// file, the line and what is wrong. Nothing is clamped, saturated or defaulted.
//
// Subjects, with HOST the system id (by default the host name made into an identifier token):
// - system:HOST, the system itself; always captured.
// - host:HOST/HOST, memory pressure (1 - MemAvailable / MemTotal) from meminfo, load from loadavg.
// - device:HOST/cpuN, one per cpuN line of stat: the share of non-idle time.
// - network:HOST/IFACE, one per interface of net/dev: the share of packets lost (errors and drops).
// When stat or net/dev names no CPU or interface (it cannot be read, or holds none), one subject
// stands for the whole file: device:HOST/cpu or network:HOST/net.
//
// CPU and network shares cover the interval since the previous capture by the same HostProbes,
// stated by the attribute `window` as that interval in nanoseconds. The first capture of a subject
// covers the time since boot (`window` "boot"); so does a capture in which no tick or packet was
// counted since the previous one, since an empty interval holds no share.
//
// Host name mapping: the first line of sys/kernel/hostname, each byte that an identifier token may
// not hold (a control byte, space, "/", ":" or "\") replaced by "-"; "localhost" when the name is
// empty or cannot be read. Interface names are mapped the same way.
#ifndef QUILLON_STATE_HOST_PROBES_HPP
#define QUILLON_STATE_HOST_PROBES_HPP

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Tools::State {

/// Returns `name` with every byte that an identifier token may not hold replaced by "-", or
/// "localhost" when `name` is empty. Example: hostToken("db 1:a") == "db-1-a"
[[nodiscard]] std::string hostToken(std::string_view name);

/// Returns the host-name token read from `proc_root`/sys/kernel/hostname ("localhost" when it
/// cannot be read).
[[nodiscard]] std::string hostNameToken(const std::string& proc_root);

/// The counters of one subject at its previous capture.
struct CounterReading {
  std::vector<std::uint64_t> values;
  std::uint64_t at_ns = 0;
};

/// The budget of a capture that asks for none: reading /proc takes microseconds, and this is
/// generous for a machine busy enough to deschedule us between two probes.
inline constexpr std::uint64_t kHostBudgetNs = 5'000'000'000;

/// Captures the machine described by a proc tree, remembering each subject's counters between
/// captures so that shares cover the last interval. Not thread-safe: one capture at a time.
class HostProbes {
 public:
  /// Reads `proc_root` (for example "/proc") at each capture, for system `system_id`, timing
  /// observations with `clock` (an empty clock becomes defaultClock).
  HostProbes(std::string proc_root, std::string system_id, Core::Monitoring::Clock clock);

  /// Captures every subject once at the barrier (`epoch`, `barrier_sequence`, `logical_time`),
  /// within `budget_ns`; every observation carries `epoch` and `barrier_sequence` as its
  /// sequence. Throws std::invalid_argument("snapshot identity, epoch and barrier are required")
  /// for a zero sequence or epoch or an empty system id; what goes wrong with one subject becomes
  /// its status and never throws.
  [[nodiscard]] Core::Monitoring::RuntimeStateSnapshot capture(
      std::uint64_t epoch, std::uint64_t barrier_sequence, std::int64_t logical_time = 0,
      std::uint64_t budget_ns = kHostBudgetNs);

 private:
  std::string proc_root_;
  std::string system_id_;
  Core::Monitoring::Clock clock_;
  std::map<std::string, CounterReading, std::less<>> previous_;
};

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_HOST_PROBES_HPP
