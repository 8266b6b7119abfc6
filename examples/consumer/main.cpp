// Uses the installed headers and library: one observation and one snapshot, printed on two lines.
#include <cstdint>
#include <iostream>
#include <optional>
#include <utility>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

namespace qm = Quillon::Core::Monitoring;

int main() {
  qm::Observation system;
  system.system_id = "lab";
  system.epoch = 1;
  system.entity.id = "lab";
  std::cout << system.toCanonicalJson() << '\n';

  std::vector<qm::SnapshotProbe> probes;
  probes.push_back({"system:lab", true, [&system] { return std::optional(system); }});
  probes.push_back({"device:lab/gpu-0", false, {}});
  const qm::SnapshotBarrier barrier(std::move(probes), [] { return std::uint64_t{7}; });
  std::cout << barrier.capture("lab", 1, 1, 0, 10).toCanonicalJson() << '\n';
  return std::cout ? 0 : 1;
}
