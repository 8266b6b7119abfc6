// The options that choose what capture and serve probe, and their checks.
//
// Guarantees: probes are made only from options that make sense; otherwise one line on standard
// error names the option or directory and the cause, and the command ends with status 2.
#ifndef QUILLON_STATE_PROBE_OPTIONS_HPP
#define QUILLON_STATE_PROBE_OPTIONS_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "host_probes.hpp"

namespace Quillon::Tools::State {

/// What a command probes (the ids empty for the host name) and the epoch of every observation.
struct ProbeOptions {
  HostProbeOptions host;
  std::uint64_t epoch = 1;
  /// Set by addProbeOptions: whether --sys was given, so that only a given tree must exist.
  const CLI::Option* sys_given = nullptr;
};

/// Adds --proc, --sys, --system-id, --host-id, --epoch, --expect-gpus and --cgroup to `command`,
/// stored in `options`.
void addProbeOptions(CLI::App& command, ProbeOptions& options);

/// Writes "quillon-state: " and `what` as one line on standard error; returns kExitUsage.
int usageError(std::string_view what);

/// Returns the probe options that `options` describe, the ids filled in, or reports why they make
/// no sense with usageError.
[[nodiscard]] std::optional<HostProbeOptions> checkedProbeOptions(const ProbeOptions& options);

/// Returns the probes that `options` describe, or reports why there are none with usageError.
[[nodiscard]] std::optional<HostProbes> makeProbes(const ProbeOptions& options);

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_PROBE_OPTIONS_HPP
