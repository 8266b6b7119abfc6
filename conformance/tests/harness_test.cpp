#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {
namespace {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

RunResult run(const std::vector<Scenario>& scenarios) {
  std::ostringstream out;
  std::ostringstream err;
  RunResult result;
  result.status = runScenarios(scenarios, out, err);
  result.out = out.str();
  result.err = err.str();
  return result;
}

void passing(std::ostream& out) {
  out << "[PASS] first\n";
}

TEST(Harness, ExpectThrowsItsMessageOnlyWhenTheConditionFails) {
  EXPECT_NO_THROW(expect(true, "never"));
  try {
    expect(false, "complete snapshot is not consistent");
    FAIL() << "expect(false, ...) returned";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("complete snapshot is not consistent", error.what());
  }
}

TEST(Harness, AllScenariosPassingEndsWithThePassVerdict) {
  const RunResult result = run({passing, passing});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ("[PASS] first\n[PASS] first\nM-02 VERDICT: PASS\n", result.out);
  EXPECT_EQ("", result.err);
}

TEST(Harness, FailedExpectationStopsTheRunBeforeLaterScenarios) {
  bool laterRan = false;
  const RunResult result = run({
      passing,
      [](std::ostream&) { expect(false, "mixed epochs were presented as consistent"); },
      [&laterRan](std::ostream& out) {
        laterRan = true;
        out << "[PASS] never\n";
      },
  });
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("[PASS] first\n", result.out);
  EXPECT_EQ("[FAIL] mixed epochs were presented as consistent\nM-02 VERDICT: FAIL\n", result.err);
  EXPECT_FALSE(laterRan);
}

TEST(Harness, LibraryErrorEndsTheRunWithItsOwnMessage) {
  const RunResult result = run({[](std::ostream&) {
    std::vector<SnapshotProbe> probes;
    probes.push_back({"device:host/gpu-0", false, {}});
    probes.push_back({"device:host/gpu-0", false, {}});
    const SnapshotBarrier barrier(std::move(probes), fixedClock(0));
  }});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("", result.out);
  EXPECT_EQ("[FAIL] snapshot probes require unique non-empty ids\nM-02 VERDICT: FAIL\n",
            result.err);
}

TEST(Harness, NonStandardExceptionFailsInsteadOfCrashing) {
  const RunResult result = run({[](std::ostream&) { throw 42; }});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("[FAIL] unexpected non-standard exception\nM-02 VERDICT: FAIL\n", result.err);
}

/// A stream whose every write fails, like standard output redirected to a full disk.
class FullDevice : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(Harness, UnwritableOutputIsNeverReportedAsAPass) {
  FullDevice device;
  std::ostream out(&device);
  std::ostringstream err;
  const std::vector<Scenario> scenarios{passing};
  EXPECT_EQ(1, runScenarios(scenarios, out, err));
  EXPECT_EQ("[FAIL] cannot write standard output\nM-02 VERDICT: FAIL\n", err.str());
}

TEST(Fixtures, ObservationIsValidAndWritesTheFixtureDocument) {
  const Observation observation = makeObservation(EntityKind::engine, "transformer", "gpu-0", 4, 2);
  EXPECT_TRUE(observation.validate().empty());
  EXPECT_EQ("engine:gpu-0/transformer", observation.entity.subjectKey());
  EXPECT_EQ(
      R"({"declared":null,"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":2,"system_id":"lab"})",
      observation.toCanonicalJson());
  EXPECT_EQ(observation, makeObservation(EntityKind::engine, "transformer", "gpu-0", 4, 2));
}

TEST(Fixtures, SystemKindWithParentIsRejected) {
  const Observation observation = makeObservation(EntityKind::system, "lab", "lab", 1, 1);
  EXPECT_EQ(std::vector<std::string>{"system entity cannot have parent"}, observation.validate());
}

TEST(Fixtures, ClocksReadAsTheScenariosNeed) {
  std::uint64_t counter = 10;
  const Clock counting = counterClock(counter);
  EXPECT_EQ(10U, counting());
  EXPECT_EQ(11U, counting());
  EXPECT_EQ(12U, counter);

  const Clock fixed = fixedClock(50);
  EXPECT_EQ(50U, fixed());
  EXPECT_EQ(50U, fixed());

  std::uint64_t sharedTime = 0;
  const Clock shared = sharedTimeClock(sharedTime);
  EXPECT_EQ(0U, shared());
  sharedTime = 100;
  EXPECT_EQ(100U, shared());
}

TEST(Fixtures, SubjectAtNeverReadsPastTheEnd) {
  RuntimeStateSnapshot snapshot;
  snapshot.subjects.resize(1);
  EXPECT_EQ(&snapshot.subjects[0], subjectAt(snapshot, 0));
  EXPECT_EQ(nullptr, subjectAt(snapshot, 1));
}

TEST(Fixtures, DocumentsReadBackExactly) {
  std::vector<SnapshotProbe> probes = {{"unsupported:probe", false, {}},
                                       {"missing:probe", true, [] { return std::nullopt; }}};
  for (std::uint32_t kind = 1; kind < 12; ++kind) {
    const Observation fixture =
        makeObservation(static_cast<EntityKind>(kind), "e", "p", kind % 3 + 3, kind);
    probes.push_back({fixture.entity.subjectKey(), true, [fixture] { return fixture; }});
  }
  std::uint64_t counter = 0;
  std::vector<RuntimeStateSnapshot> snapshots = {
      SnapshotBarrier(std::move(probes), counterClock(counter)).capture("lab", 4, 9, -5, 100)};
  (void)runObservedTrajectory(
      [&snapshots](const RuntimeStateSnapshot& snapshot) { snapshots.push_back(snapshot); });
  for (const RuntimeStateSnapshot& snapshot : snapshots) {
    const std::string text = snapshot.toCanonicalJson();
    EXPECT_EQ(snapshot, readRuntimeState(text));
    EXPECT_EQ(text, readRuntimeState(text).toCanonicalJson());
    for (const SubjectResult& subject : snapshot.subjects) {
      if (subject.observation) {
        EXPECT_EQ(*subject.observation, readObservation(subject.observation->toCanonicalJson()));
      }
    }
  }
}

TEST(Trajectory, CapturesEverySeventhTickAndLeavesTheStateUnchanged) {
  EXPECT_EQ(6364136223846793006U, trajectoryStep(1));

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
}

}  // namespace
}  // namespace Quillon::Core::Monitoring::Conformance
