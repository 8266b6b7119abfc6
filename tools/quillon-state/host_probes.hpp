// The probes of the machine that quillon-state runs on: a proc tree and a sysfs tree (/proc and
// /sys, or others), NVIDIA GPUs through NVML, and the cgroups it is told to watch.
//
// Guarantees: a probe never invents a reading. A subject whose source cannot be read is `missing`;
// a source that can be read but does not parse exactly (a field that is not a plain unsigned
// decimal, a value out of range, too few fields, available memory above total, zero ticks since
// boot, counters that went backwards, a disk or GPU listed twice) makes its subject `invalid`,
// with a diagnostic naming the file and line (or the NVML call) and what is wrong. Nothing is
// clamped, saturated or defaulted. An NVML call that fails makes its GPU `invalid` with the call's
// name and NVML's error string; "not supported" is no failure: that attribute is absent.
//
// Subjects, with SYSTEM the system id and HOST the host id:
// - system:SYSTEM, the system itself, only when HOST equals SYSTEM (the machine is the whole
//   system); always captured.
// - host:SYSTEM/HOST: memory (and memory stall) pressure, load, pressure stall averages.
// - device:HOST/cpuN per CPU, device:HOST/NAME per whole disk, device:HOST/cardN per DRM card
//   with a busy percentage, device:HOST/gpuN per NVIDIA GPU (and per expected GPU not visible).
// - network:HOST/IFACE per interface; run:HOST/NAME per cgroup watched.
// When a source lists nothing where something must be (stat, net/dev, diskstats), or cannot be
// listed at all, one subject stands for the whole source: device:HOST/cpu, network:HOST/net,
// device:HOST/disk, device:HOST/card, device:HOST/gpu.
//
// Shares over intervals (CPU, network, disk) and rises (a GPU's ECC errors, a cgroup's OOM kills)
// cover the time since the previous capture by the same HostProbes, stated by the attribute
// `window` in nanoseconds; the first capture of a subject covers the time since its counters
// started (`window` "boot"), as does a capture in which no time or tick passed.
//
// Name mapping: each byte that an identifier token may not hold (a control byte, space, "/", ":"
// or "\") becomes "-": host names (the first line of sys/kernel/hostname; "localhost" when empty
// or unreadable), interface and disk names, and the last component of a cgroup path.
#ifndef QUILLON_STATE_HOST_PROBES_HPP
#define QUILLON_STATE_HOST_PROBES_HPP

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "probe_sources.hpp"

namespace Quillon::Tools::State {

/// Returns `name` with every byte that an identifier token may not hold replaced by "-", or
/// "localhost" when `name` is empty. Example: hostToken("db 1:a") == "db-1-a"
[[nodiscard]] std::string hostToken(std::string_view name);

/// Returns the host-name token read from `proc_root`/sys/kernel/hostname ("localhost" when it
/// cannot be read).
[[nodiscard]] std::string hostNameToken(const std::string& proc_root);

/// Returns the subject names of the cgroups at `paths` (the last component made a token), in
/// order. Throws std::invalid_argument("not a cgroup path below the root: PATH") for a path that
/// does not start with "/", is the root itself, or has an empty, "." or ".." component, and
/// ("PATH and PATH have the same name NAME") for two paths that would be one subject.
/// Example: cgroupNames({"/system.slice/web.service"}) == {"web.service"}
[[nodiscard]] std::vector<std::string> cgroupNames(const std::vector<std::string>& paths);

/// The budget of a capture that asks for none: reading /proc takes microseconds, and this is
/// generous for a machine busy enough to deschedule us between two probes.
inline constexpr std::uint64_t kHostBudgetNs = 5'000'000'000;

/// The most GPUs that may be expected; more is a mistyped count, not a machine.
inline constexpr std::uint64_t kMaxExpectedGpus = 1024;

/// What the host probes read and how they name it.
struct HostProbeOptions {
  std::string proc = "/proc";
  std::string sys = "/sys";
  std::string system_id;
  std::string host_id;
  /// The number of NVIDIA GPUs the machine must show; 0 expects none and requires none.
  std::uint64_t expect_gpus = 0;
  /// cgroup v2 paths as /proc/PID/cgroup prints them, below SYS/fs/cgroup.
  std::vector<std::string> cgroups;
  /// The NVML library to load: a name the dynamic loader searches for, or a path.
  std::string nvml_library = "libnvidia-ml.so.1";
};

/// Captures the machine that `HostProbeOptions` describe, remembering each subject's counters
/// between captures so that shares cover the last interval. Not thread-safe: one capture at a time.
class HostProbes {
 public:
  /// Takes the options and loads and initialises NVML (once for the lifetime of the probes),
  /// timing observations with `clock` (an empty clock becomes defaultClock). Throws
  /// std::invalid_argument("host probes require identifier tokens as system and host ids"), more
  /// than kMaxExpectedGpus ("host probes expect at most 1024 gpus"), or as cgroupNames does.
  HostProbes(HostProbeOptions options, Core::Monitoring::Clock clock);
  ~HostProbes();
  HostProbes(HostProbes&&) noexcept;
  HostProbes& operator=(HostProbes&&) noexcept;

  /// Captures every subject once at the barrier (`epoch`, `barrier_sequence`, `logical_time`),
  /// within `budget_ns`; every observation carries `epoch` and `barrier_sequence` as its
  /// sequence. Throws std::invalid_argument("snapshot identity, epoch and barrier are required")
  /// for a zero sequence or epoch; what goes wrong with one subject becomes its status and never
  /// throws.
  [[nodiscard]] Core::Monitoring::RuntimeStateSnapshot capture(
      std::uint64_t epoch, std::uint64_t barrier_sequence, std::int64_t logical_time = 0,
      std::uint64_t budget_ns = kHostBudgetNs);

 private:
  HostProbeOptions options_;
  std::vector<detail::CgroupSource> cgroups_;
  Core::Monitoring::Clock clock_;
  std::unique_ptr<Nvml> nvml_;
  detail::Baselines baselines_;
  std::uint64_t generation_ = 0;
};

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_HOST_PROBES_HPP
