#include "records.hpp"

#include <optional>
#include <string>

#include "example_records.hpp"
#include "fixtures.hpp"

namespace Quillon::Bench {

namespace qm = Core::Monitoring;

qm::Observation fixtureObservation() {
  return qm::Conformance::makeObservation(qm::EntityKind::engine, "transformer", "gpu-0", 4, 2);
}

qm::Observation fullObservation() {
  return qm::testing::engineExample();
}

std::vector<qm::Observation> engineObservations(std::size_t count) {
  std::vector<qm::Observation> observations;
  observations.reserve(count);
  for (std::size_t position = 0; position < count; ++position) {
    // Zero-padded so that the subject keys sort in creation order (fewer than a million).
    const std::string digits = std::to_string(position);
    std::string id = "t000000";
    id.replace(id.size() - digits.size(), digits.size(), digits);
    observations.push_back(
        qm::Conformance::makeObservation(qm::EntityKind::engine, std::move(id), "gpu-0", 4, 2));
  }
  return observations;
}

std::vector<qm::SnapshotProbe> copyingProbes(const std::vector<qm::Observation>& observations) {
  std::vector<qm::SnapshotProbe> probes;
  probes.reserve(observations.size());
  for (const qm::Observation& observation : observations) {
    probes.push_back({observation.entity.subjectKey(), true,
                      [&observation] { return std::optional<qm::Observation>(observation); }});
  }
  return probes;
}

}  // namespace Quillon::Bench
