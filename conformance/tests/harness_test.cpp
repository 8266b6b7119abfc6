// The run loop's verdicts through a seam (scenarios and streams given by the test), the fixtures
// the scenarios are built from, and the trajectory the probes must leave unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {
namespace {

TEST(Harness, PrintsTheVerdictAndStopsAtTheFirstFailure) {
  const Scenario passing = [](std::ostream& out) { out << "[PASS] first\n"; };
  bool laterRan = false;
  const Scenario later = [&laterRan](std::ostream&) { laterRan = true; };
  const std::string kFail = "M-02 VERDICT: FAIL\n";
  const struct {
    std::vector<Scenario> scenarios;
    int status;
    std::string out, err;
  } cases[] = {
      {{passing, passing}, 0, "[PASS] first\n[PASS] first\nM-02 VERDICT: PASS\n", ""},
      {{passing, [](std::ostream&) { expect(false, "mixed epochs looked consistent"); }, later},
       1,
       "[PASS] first\n",
       "[FAIL] mixed epochs looked consistent\n" + kFail},
      {{[](std::ostream&) {
         std::vector<SnapshotProbe> probes(2, {"device:host/gpu-0", false, {}});
         const SnapshotBarrier barrier(std::move(probes), fixedClock(0));
       }},
       1,
       "",
       "[FAIL] snapshot probes require unique non-empty ids\n" + kFail},
      {{[](std::ostream&) { throw 42; }},
       1,
       "",
       "[FAIL] unexpected non-standard exception\n" + kFail},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.err);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(row.status, runScenarios(row.scenarios, out, err));
    EXPECT_EQ(row.out, out.str());
    EXPECT_EQ(row.err, err.str());
  }
  EXPECT_FALSE(laterRan);
}

TEST(Fixtures, BuildTheScenariosObservationsClocksAndSubjects) {
  const Observation observation = makeObservation(EntityKind::engine, "transformer", "gpu-0", 4, 2);
  EXPECT_EQ(
      R"({"declared":null,"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})",
      observation.toCanonicalJson());
  std::uint64_t counter = 10;
  const Clock counting = counterClock(counter);
  const Clock fixed = fixedClock(50);
  const Clock shared = sharedTimeClock(counter);
  // A braced list is evaluated left to right.
  EXPECT_EQ((std::vector<std::uint64_t>{10, 11, 12, 50, 50}),
            (std::vector{counting(), counting(), shared(), fixed(), fixed()}));
  RuntimeStateSnapshot snapshot;
  snapshot.subjects.resize(1);
  EXPECT_EQ(&snapshot.subjects[0], subjectAt(snapshot, 0));
  EXPECT_EQ(nullptr, subjectAt(snapshot, 1));
}

TEST(Trajectory, CapturesEverySeventhTickAndLeavesTheStateUnchanged) {
  std::vector<RuntimeStateSnapshot> snapshots;
  const TrajectoryOutcome states = runObservedTrajectory(
      [&snapshots](const RuntimeStateSnapshot& snapshot) { snapshots.push_back(snapshot); });
  ASSERT_EQ(142U, snapshots.size());
  const SubjectResult& first = snapshots.front().subjects.at(0);
  ASSERT_TRUE(first.observation.has_value());
  EXPECT_EQ(11136134660641191128U, first.observation->sequence);
  EXPECT_EQ("11136134660641191128", first.observation->observed->attributes.at("state"));
  EXPECT_EQ(7U, snapshots.front().barrier_sequence);
  EXPECT_EQ(994U, snapshots.back().barrier_sequence);
  for (const RuntimeStateSnapshot& snapshot : snapshots) {
    EXPECT_EQ(static_cast<std::int64_t>(snapshot.barrier_sequence), snapshot.logical_time);
    EXPECT_EQ(1U, snapshot.deadline_ns);
    EXPECT_EQ(0U, snapshot.captured_at_ns);
    EXPECT_TRUE(isConsistent(snapshot));
    ASSERT_EQ(1U, snapshot.subjects.size());
    EXPECT_EQ("engine:host/runtime", snapshot.subjects[0].id);
  }
  // Tick 1000 is stepped too: the final state is the 1000th, not the 994th or 999th.
  std::uint64_t expected = 1;
  for (int tick = 1; tick <= 1000; ++tick)
    expected = expected * 6364136223846793005U + 1U;
  EXPECT_EQ(expected, states.observed);
  EXPECT_EQ(expected, states.reference);
  EXPECT_EQ(expected * 6364136223846793005U + 1U, trajectoryStep(expected));
}

}  // namespace
}  // namespace Quillon::Core::Monitoring::Conformance
