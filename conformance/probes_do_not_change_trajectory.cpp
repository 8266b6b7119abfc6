#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {

TrajectoryOutcome runObservedTrajectory(
    const std::function<void(const RuntimeStateSnapshot&)>& inspect) {
  TrajectoryOutcome states{1, 1};
  std::vector<SnapshotProbe> probes;
  // The read only ever reads the runtime state; `const` makes the compiler hold it to that.
  probes.push_back({"engine:host/runtime", true, [&runtime = std::as_const(states.observed)] {
                      Observation observation =
                          makeObservation(EntityKind::engine, "runtime", "host", 1, runtime);
                      observation.observed->attributes["state"] = std::to_string(runtime);
                      return std::optional(std::move(observation));
                    }});
  const SnapshotBarrier barrier(std::move(probes), fixedClock(0));

  for (std::uint64_t tick = 1; tick <= 1000; ++tick) {
    states.observed = trajectoryStep(states.observed);
    states.reference = trajectoryStep(states.reference);
    if (tick % 7 == 0) {
      const auto logicalTime = static_cast<std::int64_t>(tick);
      inspect(barrier.capture("lab", 1, tick, logicalTime, 1));
    }
  }
  return states;
}

void probesDoNotChangeTrajectory(std::ostream& out) {
  const TrajectoryOutcome states = runObservedTrajectory([](const RuntimeStateSnapshot& snapshot) {
    expect(isConsistent(snapshot), "read-only probe failed");
  });
  expect(states.observed == states.reference, "observation changed runtime trajectory");
  out << "[PASS] enabling snapshot probes leaves the logical trajectory unchanged\n";
}

}  // namespace Quillon::Core::Monitoring::Conformance
