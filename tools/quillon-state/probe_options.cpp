#include "probe_options.hpp"

#include <iostream>

#include <sys/stat.h>

#include <quillon/monitoring/observation.hpp>

#include "commands.hpp"

namespace Quillon::Tools::State {

void addProbeOptions(CLI::App& command, ProbeOptions& options) {
  command.add_option("--proc", options.proc, "Proc tree to read")->capture_default_str();
  command.add_option("--system-id", options.system_id,
                     "System id (default: the host name as an identifier token)");
  command.add_option("--epoch", options.epoch, "Epoch of every observation")->capture_default_str();
}

int usageError(std::string_view what) {
  std::cerr << "quillon-state: " << what << '\n';
  return kExitUsage;
}

std::optional<HostProbes> makeProbes(const ProbeOptions& options) {
  // A mistyped --proc is a usage error, not a machine whose every subject is missing.
  struct stat proc {};
  if (::stat(options.proc.c_str(), &proc) != 0 || !S_ISDIR(proc.st_mode)) {
    usageError(options.proc + ": not a readable directory");
    return std::nullopt;
  }
  const std::string system_id =
      options.system_id.empty() ? hostNameToken(options.proc) : options.system_id;
  if (!Core::Monitoring::isValidIdentifier(system_id)) {
    usageError("--system-id: not an identifier token: " + system_id);
    return std::nullopt;
  }
  if (options.epoch == 0) {
    usageError("--epoch: must be at least 1");
    return std::nullopt;
  }
  return HostProbes(options.proc, system_id, Core::Monitoring::defaultClock);
}

}  // namespace Quillon::Tools::State
