#include "probe_options.hpp"

#include <iostream>
#include <stdexcept>

#include <sys/stat.h>

#include <quillon/monitoring/observation.hpp>

#include "commands.hpp"

namespace Quillon::Tools::State {

namespace {

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

void addProbeOptions(CLI::App& command, ProbeOptions& options) {
  HostProbeOptions& host = options.host;
  command.add_option("--proc", host.proc, "Proc tree to read")->capture_default_str();
  options.sys_given =
      command.add_option("--sys", host.sys, "Sysfs tree to read")->capture_default_str();
  command.add_option("--system-id", host.system_id,
                     "System id (default: the host name as an identifier token)");
  command.add_option("--host-id", host.host_id,
                     "Host id (default: the host name as an identifier token); the system: "
                     "subject is reported only when it equals the system id");
  command.add_option("--epoch", options.epoch, "Epoch of every observation")->capture_default_str();
  command.add_option("--expect-gpus", host.expect_gpus,
                     "NVIDIA GPUs this machine must show; fewer make the snapshot partial");
  command
      .add_option("--cgroup", host.cgroups,
                  "cgroup v2 path to watch, as /proc/PID/cgroup prints it (repeatable)")
      ->allow_extra_args(false);
}

int usageError(std::string_view what) {
  std::cerr << "quillon-state: " << what << '\n';
  return kExitUsage;
}

std::optional<HostProbeOptions> checkedProbeOptions(const ProbeOptions& options) {
  HostProbeOptions probe = options.host;
  // A mistyped tree is a usage error, not a machine whose every subject is missing.
  const bool sys_given = options.sys_given != nullptr && !options.sys_given->empty();
  for (const std::string* tree : {&probe.proc, &probe.sys}) {
    if (tree == &probe.sys && !sys_given) continue;
    if (!isDirectory(*tree)) {
      usageError(*tree + ": not a readable directory");
      return std::nullopt;
    }
  }
  const std::string host_name = hostNameToken(probe.proc);
  for (auto [id, option] :
       {std::pair{&probe.system_id, "--system-id"}, std::pair{&probe.host_id, "--host-id"}}) {
    if (id->empty()) *id = host_name;
    if (!Core::Monitoring::isValidIdentifier(*id)) {
      usageError(std::string(option) + ": not an identifier token: " + *id);
      return std::nullopt;
    }
  }
  if (options.epoch == 0) {
    usageError("--epoch: must be at least 1");
    return std::nullopt;
  }
  if (probe.expect_gpus > kMaxExpectedGpus) {
    usageError("--expect-gpus: at most " + std::to_string(kMaxExpectedGpus));
    return std::nullopt;
  }
  try {
    (void)cgroupNames(probe.cgroups);
  } catch (const std::invalid_argument& error) {
    usageError(std::string("--cgroup: ") + error.what());
    return std::nullopt;
  }
  return probe;
}

std::optional<HostProbes> makeProbes(const ProbeOptions& options) {
  std::optional<HostProbeOptions> probe = checkedProbeOptions(options);
  if (!probe) return std::nullopt;
  return HostProbes(std::move(*probe), Core::Monitoring::defaultClock);
}

}  // namespace Quillon::Tools::State
