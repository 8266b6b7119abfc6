// quillon-state capture: this machine as runtime-state documents, one line each.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

#include <quillon/monitoring/http_exporter.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "commands.hpp"
#include "host_probes.hpp"
#include "probe_options.hpp"
#include "stop_signals.hpp"

namespace Quillon::Tools::State {

namespace {

namespace qm = Quillon::Core::Monitoring;

struct CaptureOptions {
  ProbeOptions probe;
  std::string interval;
  std::uint64_t count = 0;
  const CLI::Option* count_given = nullptr;
};

/// Writes all of `text` to standard output, retrying short writes; false on a write error.
bool writeWhole(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

int runCapture(const CaptureOptions& options) {
  std::optional<std::chrono::nanoseconds> interval;
  if (!options.interval.empty()) {
    interval = qm::parseDuration(options.interval);
    if (!interval) {
      return usageError("--interval: expected a positive duration such as 500ms, 2s or 1m: " +
                        options.interval);
    }
  }
  const bool counted = options.count_given->count() > 0;
  if (counted && options.count == 0) return usageError("--count: must be at least 1");
  if (counted && !interval && options.count > 1) {
    return usageError("--count: more than one capture needs --interval");
  }

  std::optional<HostProbes> probes = makeProbes(options.probe);
  if (!probes) return kExitUsage;
  // Blocked stop signals wait until the line in progress is out, so no line is ever cut short.
  const StopSignals signals;
  const std::uint64_t count = counted    ? options.count
                              : interval ? std::numeric_limits<std::uint64_t>::max()
                                         : 1;
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::now();
  int status = kExitSuccess;
  for (std::uint64_t sequence = 1; sequence <= count; ++sequence) {
    const qm::RuntimeStateSnapshot snapshot = probes->capture(options.probe.epoch, sequence);
    if (snapshot.status != qm::SnapshotStatus::complete) status = kExitNegative;
    if (!writeWhole(snapshot.toCanonicalJson() + '\n')) {
      return usageError(std::string("standard output: ") + std::strerror(errno));
    }
    if (sequence == count) break;
    next += *interval;
    if (signals.waitFor(next - Clock::now())) break;
  }
  return status;
}

}  // namespace

void addCaptureCommand(CLI::App& app, int& status) {
  CLI::App* command = app.add_subcommand(
      "capture",
      "Captures this machine as a runtime-state snapshot and prints its document as one line.");
  command->footer(
      "Exit status: 0 when every snapshot was complete, 1 when one was partial, 2 on a usage or\n"
      "output error. SIGINT or SIGTERM ends a series after the line in progress.\n\n"
      "Example:\n"
      "  quillon-state capture --interval 2s --count 5 --system-id lab --host-id node-7 \\\n"
      "    --expect-gpus 8 --cgroup /system.slice/trainer.service\n");
  auto options = std::make_shared<CaptureOptions>();
  addProbeOptions(*command, options->probe);
  command->add_option("--interval", options->interval, "Time between captures: 500ms, 2s, 1m");
  options->count_given = command->add_option(
      "--count", options->count,
      "Number of captures (default: 1, or until SIGINT/SIGTERM with --interval)");
  command->callback([options, &status] { status = runCapture(*options); });
}

}  // namespace Quillon::Tools::State
