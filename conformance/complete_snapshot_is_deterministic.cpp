#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {

void completeSnapshotIsDeterministic(std::ostream& out) {
  std::uint64_t counter = 10;
  // Registered in the reverse of canonical order, so the barrier has to sort them.
  std::vector<SnapshotProbe> probes;
  probes.push_back({"engine:gpu-0/transformer", true, [] {
                      return makeObservation(EntityKind::engine, "transformer", "gpu-0", 4, 2);
                    }});
  probes.push_back({"device:host/gpu-0", true,
                    [] { return makeObservation(EntityKind::device, "gpu-0", "host", 4, 1); }});
  const SnapshotBarrier barrier(std::move(probes), counterClock(counter));

  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 4, 9, 100, 100);

  expect(isConsistent(snapshot), "complete snapshot is not consistent");
  const SubjectResult* first = subjectAt(snapshot, 0);
  const SubjectResult* second = subjectAt(snapshot, 1);
  expect(first != nullptr && second != nullptr && first->id == "device:host/gpu-0" &&
             second->id == "engine:gpu-0/transformer",
         "subjects are not canonically ordered");
  expect(snapshot.toCanonicalJson().find(R"("status":"complete")") != std::string::npos,
         "complete state not serialized");
  out << "[PASS] logical barrier produces a deterministic complete state view\n";
}

}  // namespace Quillon::Core::Monitoring::Conformance
