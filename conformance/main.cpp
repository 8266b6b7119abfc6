// M-02: proves that the snapshot facility fails closed and never disturbs what it observes.
// Takes no input: arguments, environment and working directory change nothing.
#include <array>
#include <iostream>

#include "scenarios.hpp"

int main() {
  namespace M02 = Quillon::Core::Monitoring::Conformance;
  const std::array<M02::Scenario, 4> scenarios{
      M02::completeSnapshotIsDeterministic,
      M02::mixedEpochCannotLookConsistent,
      M02::unsupportedMissingAndDeadlineAreExplicit,
      M02::probesDoNotChangeTrajectory,
  };
  return M02::runScenarios(scenarios, std::cout, std::cerr);
}
