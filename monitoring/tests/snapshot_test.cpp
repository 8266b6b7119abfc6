// The snapshot barrier: every per-subject decision with the clock readings behind it, the deadline
// and the runtime-state document. The probe set rules, the id order, the refused identities, the
// consistency predicate and the strict JSON of every document are properties of the capture and
// snapshot views fuzz seeds.
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
constexpr char kDevice[] = "device:host/gpu-0";
constexpr char kEngine[] = "engine:gpu-0/transformer";
constexpr char kInvalid[] = "probe returned invalid identity or state";
constexpr char kStale[] = "probe observation belongs to another epoch";

using Ids = std::vector<std::string>;
using Readings = std::vector<std::uint64_t>;
using Read = std::function<std::optional<Observation>()>;

/// An observation of `systemId`, running and healthy, with subject key "kind:parent/id".
Observation observationOf(EntityKind kind, std::string id, std::string parent,
                          std::uint64_t epoch = 4, std::uint64_t sequence = 2,
                          std::string systemId = "lab") {
  Observation observation = testing::systemExample();
  observation.system_id = std::move(systemId);
  observation.epoch = epoch;
  observation.sequence = sequence;
  observation.logical_time = 100;
  observation.observed_at_ns = 1000;
  observation.entity = {kind, std::move(id), std::move(parent)};
  observation.observed = {LifecycleState::running, HealthState::healthy, true, 0.2, 999, {}};
  return observation;
}

Observation engineAt(std::uint64_t epoch, std::string systemId = "lab") {
  return observationOf(EntityKind::engine, "transformer", "gpu-0", epoch, 2, std::move(systemId));
}

/// The world of one capture. The clock yields `now`, then moves it on by `step`, records every
/// reading and fails on call number `throwAt`; probes log their reads and may move `now`. Its
/// closures point at the rig, so it never moves.
struct Rig {
  std::uint64_t now;
  std::uint64_t step;
  std::size_t throwAt = kNever;
  std::size_t calls = 0;
  Readings readings;
  Ids reads;

  Rig(std::uint64_t start, std::uint64_t advance) : now(start), step(advance) {}
  Rig(const Rig&) = delete;

  Clock clock() {
    return [this] {
      if (calls++ == throwAt) throw std::runtime_error("clock stopped");
      readings.push_back(now);
      return std::exchange(now, now + step);
    };
  }
  SnapshotProbe probe(std::string id, Read body) {
    return {id, true, [this, id, body] {
              reads.push_back(id);
              return body();
            }};
  }
  SnapshotProbe returning(std::string id, std::optional<Observation> observation) {
    return probe(std::move(id), [observation] { return observation; });
  }
};

/// Expects the capture to have read exactly `readings` and `reads`, and to write `document`.
void expectCaptured(const RuntimeStateSnapshot& snapshot, const Rig& rig, const Readings& readings,
                    const Ids& reads, std::string_view document) {
  EXPECT_EQ(readings, rig.readings);
  EXPECT_EQ(reads, rig.reads);
  EXPECT_EQ(document, snapshot.toCanonicalJson());
  EXPECT_EQ(snapshot.status == SnapshotStatus::complete, isConsistent(snapshot));
}

TEST(SnapshotCapture, WritesEachScenarioAfterExactlyItsClockReadings) {
  Rig view(10, 1);  // registered against canonical order
  const SnapshotBarrier complete(
      {view.returning(kEngine, engineAt(4)),
       view.returning(kDevice, observationOf(EntityKind::device, "gpu-0", "host", 4, 1))},
      view.clock());
  expectCaptured(complete.capture("lab", 4, 9, 100, 100), view, {10, 11, 12, 13, 14, 15},
                 {kDevice, kEngine}, testing::readerSeed("complete_snapshot"));

  // The late read moves the time past the deadline; a read that throws does not end the capture,
  // and the probe after the late one is never read.
  Rig failing(0, 0);
  const SnapshotBarrier distinct(
      {{"artifact:lab/model", false, {}},
       failing.returning("session:engine/missing", std::nullopt),
       failing.probe("tensor:engine/late",
                     [&failing] {
                       failing.now = 100;
                       return observationOf(EntityKind::tensor, "late", "engine", 3, 1);
                     }),
       failing.probe("session:engine/offline",
                     []() -> std::optional<Observation> {
                       throw std::runtime_error("sensor offline: \"gpu-0\"");
                     }),
       failing.returning("tensor:engine/later", std::nullopt)},
      failing.clock());
  expectCaptured(
      distinct.capture("lab", 3, 1, 0, 10), failing, {0, 0, 0, 0, 100, 100, 100},
      {"session:engine/missing", "session:engine/offline", "tensor:engine/late"},
      R"({"barrier_sequence":1,"captured_at_ns":100,"deadline_ns":10,"epoch":3,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe capability is not supported","id":"artifact:lab/model","observation":null,"status":"unsupported"},{"diagnostic":"probe returned no observation","id":"session:engine/missing","observation":null,"status":"missing"},{"diagnostic":"sensor offline: \"gpu-0\"","id":"session:engine/offline","observation":null,"status":"invalid"},{"diagnostic":"probe completed after snapshot deadline","id":"tensor:engine/late","observation":null,"status":"deadline_exceeded"},{"diagnostic":"snapshot deadline exceeded before probe","id":"tensor:engine/later","observation":null,"status":"deadline_exceeded"}],"system_id":"lab"})");

  Rig worked(10, 1);  // the worked example: a missing device and the system itself
  const SnapshotBarrier example({worked.returning("system:lab", testing::systemExample()),
                                 worked.returning(kDevice, std::nullopt)},
                                worked.clock());
  expectCaptured(example.capture("lab", 1, 3, 7, 100), worked, {10, 11, 12, 13, 14},
                 {kDevice, "system:lab"}, testing::readerSeed("partial_snapshot"));
}

TEST(SnapshotCapture, DecidesEachSubjectByTheFirstRowThatHolds) {
  using enum SubjectStatus;
  using enum EntityKind;
  // A late capture has no budget on a clock that advances at each reading; a probe without read
  // is unsupported; a read moves the time to `finish` when it is given; a failed clock call yields
  // no reading. The literal documents above hold the rows for no observation, a throwing read and
  // either deadline.
  const struct {
    const char* description;
    bool late;
    Read read;
    SubjectStatus status;
    const char* diagnostic;
    std::size_t readings;
    std::optional<std::uint64_t> finish = std::nullopt;
    std::size_t clockFailsAt = kNever;
  } cases[] = {
      {"valid and in time", false, [] { return engineAt(4); }, captured, "", 4},
      {"unsupported beats a passed deadline", true, Read(), unsupported,
       "probe capability is not supported", 2},
      {"epoch 0 fails validation: invalid, not stale", false, [] { return engineAt(0); }, invalid,
       kInvalid, 3},
      {"an entity id the key only begins with", false,
       [] { return observationOf(engine, "transform", "gpu-0"); }, invalid, kInvalid, 3},
      {"another parent", false, [] { return observationOf(engine, "transformer", "gpu-1"); },
       invalid, kInvalid, 3},
      {"another kind", false, [] { return observationOf(device, "transformer", "gpu-0"); }, invalid,
       kInvalid, 3},
      {"another system", false, [] { return engineAt(4, "LAB"); }, invalid, kInvalid, 3},
      {"another system beats another epoch", false, [] { return engineAt(7, "LAB"); }, invalid,
       kInvalid, 3},
      {"another epoch", false, [] { return engineAt(3); }, stale_epoch, kStale, 3},
      {"another epoch beats late completion", false, [] { return engineAt(3); }, stale_epoch,
       kStale, 3, 100},
      {"completed exactly at the deadline", false, [] { return engineAt(4); }, captured, "", 4, 10},
      {"read throws a logic error", false,
       []() -> std::optional<Observation> { throw std::out_of_range("no tensor 7"); }, invalid,
       "no tensor 7", 3},
      {"read throws an error that says nothing", false,
       []() -> std::optional<Observation> { throw std::runtime_error(""); }, invalid, "", 3},
      {"the clock fails while judging the read", false, [] { return engineAt(4); }, invalid,
       "clock stopped", 3, std::nullopt, 2},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(0, row.late ? 1 : 0);
    rig.throwAt = row.clockFailsAt;
    const Read read = [&rig, &row] {
      if (row.finish) rig.now = *row.finish;
      return row.read();
    };
    const SnapshotBarrier barrier(
        {row.read ? rig.probe(kEngine, read) : SnapshotProbe{kEngine, false, {}}}, rig.clock());
    const RuntimeStateSnapshot snapshot = barrier.capture("lab", 4, 1, 0, row.late ? 0 : 10);
    ASSERT_EQ(1u, snapshot.subjects.size());
    const SubjectResult& subject = snapshot.subjects[0];
    EXPECT_EQ(kEngine, subject.id);
    EXPECT_EQ(row.status, subject.status);
    EXPECT_EQ(row.diagnostic, subject.diagnostic);
    EXPECT_EQ(row.status == captured, subject.observation.has_value());
    EXPECT_EQ(row.status == captured, snapshot.status == SnapshotStatus::complete);
    EXPECT_EQ(row.readings, rig.readings.size());
    EXPECT_EQ(row.read && row.readings > 2 && !row.late ? 1u : 0u, rig.reads.size());
    EXPECT_EQ(rig.readings.back(), snapshot.captured_at_ns);
    EXPECT_EQ(snapshot, readRuntimeState(snapshot.toCanonicalJson()));
  }
  // Epoch 0 is no capture's epoch, so no observation belongs to it.
  EXPECT_FALSE(belongsToEpoch(engineAt(0), 0));
}

TEST(SnapshotCapture, GuardsOnlyTheReadAndWhatFollowsIt) {
  // A clock that fails anywhere but in judging a read (a row above) ends the capture.
  for (const std::size_t throwAt : {0u, 1u, 3u}) {
    SCOPED_TRACE(throwAt);
    Rig rig(0, 0);
    rig.throwAt = throwAt;
    const SnapshotBarrier barrier({rig.returning(kEngine, engineAt(4))}, rig.clock());
    EXPECT_THROW((void)barrier.capture("lab", 4, 1, 0, 10), std::runtime_error);
    EXPECT_EQ(throwAt == 3 ? 1u : 0u, rig.reads.size());
  }
  // What is not a standard exception passes through, and nothing more is read.
  Rig rig(0, 0);
  const SnapshotBarrier barrier(
      {rig.probe(kDevice, []() -> std::optional<Observation> { throw 42; }),
       rig.returning(kEngine, engineAt(4))},
      rig.clock());
  EXPECT_THROW((void)barrier.capture("lab", 4, 1, 0, 10), int);
  EXPECT_EQ((Ids{kDevice}), rig.reads);
}

TEST(SnapshotCapture, SaturatesTheDeadline) {
  // A zero budget passes only a clock that stands still.
  const struct {
    const char* description;
    std::uint64_t start, step, budget, deadline;
    bool inTime;
  } cases[] = {
      {"saturated from 5", 5, 0, kMax, kMax, true},
      {"one past the top", 2, 0, kMax - 1, kMax, true},
      {"zero budget, still clock", 7, 0, 0, 7, true},
      {"zero budget, advancing clock", 7, 1, 0, 7, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(row.start, row.step);
    const SnapshotBarrier barrier({rig.returning(kEngine, engineAt(4))}, rig.clock());
    const RuntimeStateSnapshot snapshot = barrier.capture("lab", 4, 1, 0, row.budget);
    EXPECT_EQ(row.deadline, snapshot.deadline_ns);
    EXPECT_EQ(rig.readings.back(), snapshot.captured_at_ns);
    EXPECT_EQ(row.inTime, isConsistent(snapshot));
    EXPECT_EQ(row.inTime ? 4u : 3u, rig.readings.size());
    EXPECT_EQ(row.inTime ? 1u : 0u, rig.reads.size());
    EXPECT_EQ(row.inTime ? "" : "snapshot deadline exceeded before probe",
              snapshot.subjects.at(0).diagnostic);
  }
}

TEST(SnapshotBarrier, FallsBackToTheDefaultClock) {
  const std::uint64_t before = defaultClock();
  const RuntimeStateSnapshot snapshot = SnapshotBarrier({}, Clock()).capture("lab", 1, 1, 0, 0);
  EXPECT_LE(before, snapshot.deadline_ns);
  EXPECT_LE(snapshot.deadline_ns, snapshot.captured_at_ns);
  EXPECT_LE(snapshot.captured_at_ns, defaultClock());
}

TEST(RuntimeStateDocument, EscapesAndWritesObservationsByPresence) {
  RuntimeStateSnapshot snapshot;
  EXPECT_EQ(
      R"({"barrier_sequence":0,"captured_at_ns":0,"deadline_ns":0,"epoch":0,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[],"system_id":""})",
      snapshot.toCanonicalJson());
  snapshot.system_id = "q\"b\\c\x01";
  snapshot.epoch = kMax;
  snapshot.barrier_sequence = 2;
  snapshot.logical_time = -42;
  snapshot.captured_at_ns = 3;
  snapshot.deadline_ns = 5;
  snapshot.status = SnapshotStatus::complete;
  snapshot.subjects = {
      {"a\"\\\x01", SubjectStatus::missing, "kept anyway", testing::systemExample()},
      {"b", SubjectStatus::captured, "", std::nullopt},
  };
  EXPECT_EQ(
      R"({"barrier_sequence":2,"captured_at_ns":3,"deadline_ns":5,"epoch":18446744073709551615,"logical_time":-42,"schema":"velmor-runtime-state/1","status":"complete","subjects":[{"diagnostic":"kept anyway","id":"a\"\\\u0001","observation":{"declared":null,"entity":{"id":"lab","kind":"system","parent":null},"epoch":1,"extensions":{},"logical_time":0,"observed":null,"observed_at_ns":0,"planned":null,"schema":"velmor-observability/1","sequence":0,"system_id":"lab"},"status":"missing"},{"diagnostic":"","id":"b","observation":null,"status":"captured"}],"system_id":"q\"b\\c\u0001"})",
      snapshot.toCanonicalJson());
  snapshot.subjects[1].observation = engineAt(0);
  EXPECT_THAT(
      [&] { (void)snapshot.toCanonicalJson(); },
      ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq("invalid observation")));

  // Ids keep every byte; 0xFF is no UTF-8, so no strict parser reads this one back.
  Rig rig(0, 0);
  const SnapshotBarrier barrier(
      {{std::string("n\0\xFF", 3), false, {}}, rig.returning("n", std::nullopt)}, rig.clock());
  EXPECT_EQ(
      R"({"barrier_sequence":1,"captured_at_ns":0,"deadline_ns":0,"epoch":1,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe returned no observation","id":"n","observation":null,"status":"missing"},{"diagnostic":"probe capability is not supported","id":"n\u0000)"
      "\xFF"
      R"(","observation":null,"status":"unsupported"}],"system_id":"lab"})",
      barrier.capture("lab", 1, 1, 0, 0).toCanonicalJson());
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
