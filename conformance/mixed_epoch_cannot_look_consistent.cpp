#include <ostream>
#include <utility>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {

void mixedEpochCannotLookConsistent(std::ostream& out) {
  std::vector<SnapshotProbe> probes;
  probes.push_back({"engine:gpu-0/current", true,
                    [] { return makeObservation(EntityKind::engine, "current", "gpu-0", 8, 1); }});
  probes.push_back({"engine:gpu-0/stale", true,
                    [] { return makeObservation(EntityKind::engine, "stale", "gpu-0", 7, 2); }});
  const SnapshotBarrier barrier(std::move(probes), fixedClock(50));

  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 8, 1, 0, 10);

  expect(snapshot.status == SnapshotStatus::partial && !isConsistent(snapshot),
         "mixed epochs were presented as consistent");
  const SubjectResult* stale = subjectAt(snapshot, 1);
  expect(stale != nullptr && stale->status == SubjectStatus::stale_epoch && !stale->observation,
         "stale observation remained visible as current");
  out << "[PASS] mixed epochs fail closed as an explicit partial snapshot\n";
}

}  // namespace Quillon::Core::Monitoring::Conformance
