// The four M-02 scenarios and the run that turns them into a verdict. Internal to the executable:
// nothing here is part of the library.
//
// Each scenario builds its own probes, clock and barrier, checks its expectations with `expect`,
// and as its last act writes its "[PASS] " line to `out`; it fails by letting an exception leave.
#ifndef QUILLON_CONFORMANCE_SCENARIOS_HPP
#define QUILLON_CONFORMANCE_SCENARIOS_HPP

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Core::Monitoring::Conformance {

using Scenario = std::function<void(std::ostream& out)>;

/// Two probes registered out of order give a complete, consistent, canonically ordered snapshot.
void completeSnapshotIsDeterministic(std::ostream& out);

/// An observation of an older epoch makes the snapshot partial and is withheld.
void mixedEpochCannotLookConsistent(std::ostream& out);

/// An unsupported, an empty and a late probe each keep a subject with its own reason.
void unsupportedMissingAndDeadlineAreExplicit(std::ostream& out);

/// Capturing a simulated runtime every seventh step leaves its trajectory unchanged.
void probesDoNotChangeTrajectory(std::ostream& out);

/// One step of the simulated runtime: state * 6364136223846793005 + 1, modulo 2^64.
[[nodiscard]] constexpr std::uint64_t trajectoryStep(std::uint64_t state) noexcept {
  return state * 6364136223846793005U + 1U;
}

/// The final states of the observed runtime and of its unobserved twin.
struct TrajectoryOutcome {
  std::uint64_t observed = 0;
  std::uint64_t reference = 0;
};

/// Steps the observed runtime and its twin through ticks 1 to 1000, capturing the observed one at
/// every seventh tick and handing each snapshot to `inspect` before it is discarded.
[[nodiscard]] TrajectoryOutcome runObservedTrajectory(
    const std::function<void(const RuntimeStateSnapshot&)>& inspect);

/// Runs `scenarios` in order and writes the verdict. Returns 0 when all passed and `out` took
/// every line; otherwise writes "[FAIL] " + the error's message + "\nM-02 VERDICT: FAIL\n" to
/// `err`, skips the remaining scenarios and returns 1. Never throws a standard exception.
int runScenarios(std::span<const Scenario> scenarios, std::ostream& out, std::ostream& err);

}  // namespace Quillon::Core::Monitoring::Conformance

#endif  // QUILLON_CONFORMANCE_SCENARIOS_HPP
