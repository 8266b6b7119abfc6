// The snapshot barrier: probe set-up, every per-subject decision with the clock readings behind
// it, the consistency predicate and the runtime-state document. Every document a test writes from
// valid UTF-8 is also read back by an independent strict parser.
#include <quillon/monitoring/snapshot.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "strict_json.hpp"

namespace Quillon::Core::Monitoring {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();
constexpr char kDevice[] = "device:host/gpu-0";
constexpr char kEngine[] = "engine:gpu-0/transformer";

using Ids = std::vector<std::string>;
using Readings = std::vector<std::uint64_t>;

/// The smallest valid observation: the system "lab" itself.
Observation labSystem() {
  Observation observation;
  observation.system_id = "lab";
  observation.epoch = 1;
  observation.entity.id = "lab";
  return observation;
}

/// A valid observation of system "lab", running and healthy, whose subject key is
/// "kind:parent/id".
Observation observationOf(EntityKind kind, std::string id, std::string parent, std::uint64_t epoch,
                          std::uint64_t sequence) {
  Observation observation = labSystem();
  observation.epoch = epoch;
  observation.sequence = sequence;
  observation.logical_time = 100;
  observation.observed_at_ns = 1000;
  observation.entity = {kind, std::move(id), std::move(parent)};
  observation.observed = {LifecycleState::running, HealthState::healthy, true, 0.2, 999, {}};
  return observation;
}

Observation engineAt(std::uint64_t epoch) {
  return observationOf(EntityKind::engine, "transformer", "gpu-0", epoch, 2);
}

Observation deviceAt(std::uint64_t epoch) {
  return observationOf(EntityKind::device, "gpu-0", "host", epoch, 1);
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
  Rig& operator=(const Rig&) = delete;

  Clock clock() {
    return [this] {
      if (calls++ == throwAt) throw std::runtime_error("clock stopped");
      readings.push_back(now);
      return std::exchange(now, now + step);
    };
  }
  SnapshotProbe probe(std::string id, std::function<std::optional<Observation>()> body) {
    return {id, true, [this, name = id, body = std::move(body)] {
              reads.push_back(name);
              return body();
            }};
  }
  SnapshotProbe returning(std::string id, std::optional<Observation> observation) {
    return probe(std::move(id), [observation] { return observation; });
  }
};

SnapshotProbe unsupportedProbe(std::string id) {
  return {std::move(id), false, {}};
}

template <typename Error, typename Action>
void expectThrowWithMessage(const Action& action, std::string_view message) {
  try {
    action();
    ADD_FAILURE() << "nothing was thrown";
  } catch (const Error& error) {
    EXPECT_EQ(message, error.what());
  }
}

/// Lists the ids of probes or subjects in their order.
template <typename Items>
Ids idsOf(const Items& items) {
  Ids ids;
  for (const auto& item : items)
    ids.push_back(item.id);
  return ids;
}

/// Writes `snapshot`, reads the text back strictly and checks that every value survived; returns
/// the text for a byte comparison.
std::string readBackDocument(const RuntimeStateSnapshot& snapshot) {
  std::string document = snapshot.toCanonicalJson();
  const testing::Json parsed = testing::parseStrict(document);
  if (!parsed.is_object()) return document;
  EXPECT_EQ(snapshot.barrier_sequence, parsed.at("barrier_sequence").get<std::uint64_t>());
  EXPECT_EQ(snapshot.captured_at_ns, parsed.at("captured_at_ns").get<std::uint64_t>());
  EXPECT_EQ(snapshot.deadline_ns, parsed.at("deadline_ns").get<std::uint64_t>());
  EXPECT_EQ(snapshot.epoch, parsed.at("epoch").get<std::uint64_t>());
  EXPECT_EQ(snapshot.logical_time, parsed.at("logical_time").get<std::int64_t>());
  EXPECT_EQ(snapshot.schema, parsed.at("schema").get<std::string>());
  EXPECT_EQ(toString(snapshot.status), parsed.at("status").get<std::string>());
  EXPECT_EQ(snapshot.system_id, parsed.at("system_id").get<std::string>());
  const testing::Json& subjects = parsed.at("subjects");
  EXPECT_EQ(snapshot.subjects.size(), subjects.size());
  for (std::size_t at = 0; at < std::min(snapshot.subjects.size(), subjects.size()); ++at) {
    const SubjectResult& subject = snapshot.subjects[at];
    const testing::Json& written = subjects.at(at);
    EXPECT_EQ(subject.id, written.at("id").get<std::string>());
    EXPECT_EQ(toString(subject.status), written.at("status").get<std::string>());
    EXPECT_EQ(subject.diagnostic, written.at("diagnostic").get<std::string>());
    const testing::Json& observation = written.at("observation");
    EXPECT_EQ(subject.observation.has_value(), observation.is_object());
    if (!subject.observation || !observation.is_object()) continue;
    EXPECT_EQ(subject.observation->sequence, observation.at("sequence").get<std::uint64_t>());
    EXPECT_EQ(subject.observation->epoch, observation.at("epoch").get<std::uint64_t>());
    EXPECT_EQ(subject.observation->system_id, observation.at("system_id").get<std::string>());
  }
  return document;
}

/// Both probes of a complete view at epoch 4, registered against canonical order.
SnapshotBarrier completeView(Rig& rig) {
  return SnapshotBarrier({rig.returning(kEngine, engineAt(4)), rig.returning(kDevice, deviceAt(4))},
                         rig.clock());
}

TEST(SnapshotCapture, CompleteViewReadsTheClockSixTimes) {
  Rig rig(10, 1);
  const RuntimeStateSnapshot snapshot = completeView(rig).capture("lab", 4, 9, 100, 100);
  EXPECT_EQ((Readings{10, 11, 12, 13, 14, 15}), rig.readings);
  EXPECT_EQ((Ids{kDevice, kEngine}), rig.reads);
  EXPECT_EQ(SnapshotStatus::complete, snapshot.status);
  EXPECT_TRUE(isConsistent(snapshot));
  ASSERT_EQ(2u, snapshot.subjects.size());
  EXPECT_EQ(deviceAt(4), snapshot.subjects[0].observation);
  EXPECT_EQ(engineAt(4), snapshot.subjects[1].observation);
  EXPECT_EQ(
      R"({"barrier_sequence":9,"captured_at_ns":15,"deadline_ns":110,"epoch":4,"logical_time":100,"schema":"velmor-runtime-state/1","status":"complete","subjects":[{"diagnostic":"","id":"device:host/gpu-0","observation":{"declared":null,"entity":{"id":"gpu-0","kind":"device","parent":"host"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":1,"system_id":"lab"},"status":"captured"},{"diagnostic":"","id":"engine:gpu-0/transformer","observation":{"declared":null,"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":2,"system_id":"lab"},"status":"captured"}],"system_id":"lab"})",
      readBackDocument(snapshot));
}

TEST(SnapshotCapture, MixedEpochsFailClosed) {
  Rig rig(50, 0);
  const SnapshotBarrier barrier(
      {rig.returning("engine:gpu-0/current",
                     observationOf(EntityKind::engine, "current", "gpu-0", 8, 1)),
       rig.returning("engine:gpu-0/stale",
                     observationOf(EntityKind::engine, "stale", "gpu-0", 7, 2))},
      rig.clock());
  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 8, 1, 0, 10);
  EXPECT_EQ((Readings{50, 50, 50, 50, 50}), rig.readings);
  EXPECT_FALSE(isConsistent(snapshot));
  EXPECT_EQ(
      R"({"barrier_sequence":1,"captured_at_ns":50,"deadline_ns":60,"epoch":8,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"","id":"engine:gpu-0/current","observation":{"declared":null,"entity":{"id":"current","kind":"engine","parent":"gpu-0"},"epoch":8,"extensions":{},"logical_time":100,"observed":{"attributes":{},"health":"healthy","last_observed_ns":999,"lifecycle":"running","pressure":0.20000000000000001,"ready":true},"observed_at_ns":1000,"planned":null,"schema":"velmor-observability/1","sequence":1,"system_id":"lab"},"status":"captured"},{"diagnostic":"probe observation belongs to another epoch","id":"engine:gpu-0/stale","observation":null,"status":"stale_epoch"}],"system_id":"lab"})",
      readBackDocument(snapshot));
}

/// One unsupported probe without read, one that returns nothing, and one whose read moves the
/// shared time to 100 before it returns a valid observation of epoch 3.
std::vector<SnapshotProbe> distinctFailures(Rig& rig) {
  return {unsupportedProbe("artifact:lab/model"),
          rig.returning("session:engine/missing", std::nullopt),
          rig.probe("tensor:engine/late", [&rig] {
            rig.now = 100;
            return observationOf(EntityKind::tensor, "late", "engine", 3, 1);
          })};
}

TEST(SnapshotCapture, UnsupportedMissingAndLateStayDistinct) {
  Rig rig(0, 0);
  const RuntimeStateSnapshot snapshot =
      SnapshotBarrier(distinctFailures(rig), rig.clock()).capture("lab", 3, 1, 0, 10);
  EXPECT_EQ((Readings{0, 0, 0, 100, 100}), rig.readings);
  EXPECT_EQ((Ids{"session:engine/missing", "tensor:engine/late"}), rig.reads);
  EXPECT_EQ(
      R"({"barrier_sequence":1,"captured_at_ns":100,"deadline_ns":10,"epoch":3,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe capability is not supported","id":"artifact:lab/model","observation":null,"status":"unsupported"},{"diagnostic":"probe returned no observation","id":"session:engine/missing","observation":null,"status":"missing"},{"diagnostic":"probe completed after snapshot deadline","id":"tensor:engine/late","observation":null,"status":"deadline_exceeded"}],"system_id":"lab"})",
      readBackDocument(snapshot));

  // A read that throws does not end the capture; the probe after the late one meets a passed
  // deadline and is never read.
  Rig again(0, 0);
  std::vector<SnapshotProbe> probes = distinctFailures(again);
  probes.push_back(again.probe("session:engine/offline", []() -> std::optional<Observation> {
    throw std::runtime_error("sensor offline: \"gpu-0\"");
  }));
  probes.push_back(again.returning("tensor:engine/later",
                                   observationOf(EntityKind::tensor, "later", "engine", 3, 1)));
  const RuntimeStateSnapshot longer =
      SnapshotBarrier(std::move(probes), again.clock()).capture("lab", 3, 1, 0, 10);
  EXPECT_EQ((Readings{0, 0, 0, 0, 100, 100, 100}), again.readings);
  EXPECT_EQ((Ids{"session:engine/missing", "session:engine/offline", "tensor:engine/late"}),
            again.reads);
  ASSERT_EQ(5u, longer.subjects.size());
  EXPECT_EQ(SubjectStatus::invalid, longer.subjects[2].status);
  EXPECT_EQ("sensor offline: \"gpu-0\"", longer.subjects[2].diagnostic);
  EXPECT_EQ(SubjectStatus::deadline_exceeded, longer.subjects[4].status);
  EXPECT_EQ("snapshot deadline exceeded before probe", longer.subjects[4].diagnostic);
  readBackDocument(longer);
}

TEST(SnapshotCapture, WritesTheMissingAndSystemSubjectsExample) {
  Rig rig(10, 1);
  const SnapshotBarrier barrier(
      {rig.returning("system:lab", labSystem()), rig.returning(kDevice, std::nullopt)},
      rig.clock());
  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 1, 3, 7, 100);
  EXPECT_EQ((Readings{10, 11, 12, 13, 14}), rig.readings);
  EXPECT_EQ(
      R"({"barrier_sequence":3,"captured_at_ns":14,"deadline_ns":110,"epoch":1,"logical_time":7,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe returned no observation","id":"device:host/gpu-0","observation":null,"status":"missing"},{"diagnostic":"","id":"system:lab","observation":{"declared":null,"entity":{"id":"lab","kind":"system","parent":null},"epoch":1,"extensions":{},"logical_time":0,"observed":null,"observed_at_ns":0,"planned":null,"schema":"velmor-observability/1","sequence":0,"system_id":"lab"},"status":"captured"}],"system_id":"lab"})",
      readBackDocument(snapshot));
}

TEST(SnapshotCapture, DecidesEachSubjectByTheFirstRowThatHolds) {
  using enum SubjectStatus;
  using Read = std::function<std::optional<Observation>(Rig&)>;
  const Read inTime = [](Rig&) { return engineAt(4); };
  const auto finishingAt = [](std::uint64_t epoch, std::uint64_t now) {
    return [epoch, now](Rig& rig) {
      rig.now = now;
      return engineAt(epoch);
    };
  };
  const auto observing = [](EntityKind kind, const char* id, const char* parent,
                            std::uint64_t epoch = 4, const char* systemId = "lab") {
    return [=](Rig&) {
      Observation observation = observationOf(kind, id, parent, epoch, 2);
      observation.system_id = systemId;
      return observation;
    };
  };
  const auto engine = [&observing](std::uint64_t epoch, const char* systemId = "lab") {
    return observing(EntityKind::engine, "transformer", "gpu-0", epoch, systemId);
  };
  const char* const kInvalid = "probe returned invalid identity or state";
  const char* const kStale = "probe observation belongs to another epoch";
  // A late capture has no budget on a clock that advances at each reading; an empty read stands
  // for an unsupported probe.
  const struct {
    const char* description;
    bool late;
    Read read;
    SubjectStatus status;
    const char* diagnostic;
    std::size_t readings;
    std::size_t reads;
  } cases[] = {
      {"valid and in time", false, inTime, captured, "", 4, 1},
      {"unsupported beats a passed deadline", true, Read(), unsupported,
       "probe capability is not supported", 2, 0},
      {"deadline passed before the read", true, inTime, deadline_exceeded,
       "snapshot deadline exceeded before probe", 3, 0},
      {"no observation", false, [](Rig&) { return std::optional<Observation>(); }, missing,
       "probe returned no observation", 3, 1},
      {"epoch 0 fails validation: invalid, not stale", false, engine(0), invalid, kInvalid, 3, 1},
      {"an entity id the key only begins with", false,
       observing(EntityKind::engine, "transform", "gpu-0"), invalid, kInvalid, 3, 1},
      {"another parent", false, observing(EntityKind::engine, "transformer", "gpu-1"), invalid,
       kInvalid, 3, 1},
      {"another kind", false, observing(EntityKind::device, "transformer", "gpu-0"), invalid,
       kInvalid, 3, 1},
      {"another system", false, engine(4, "LAB"), invalid, kInvalid, 3, 1},
      {"another system beats another epoch", false, engine(7, "LAB"), invalid, kInvalid, 3, 1},
      {"another epoch", false, engine(3), stale_epoch, kStale, 3, 1},
      {"another epoch beats late completion", false, finishingAt(3, 100), stale_epoch, kStale, 3,
       1},
      {"completed after the deadline", false, finishingAt(4, 11), deadline_exceeded,
       "probe completed after snapshot deadline", 4, 1},
      {"completed exactly at the deadline", false, finishingAt(4, 10), captured, "", 4, 1},
      {"read throws a runtime error", false,
       [](Rig&) -> std::optional<Observation> { throw std::runtime_error("sensor offline"); },
       invalid, "sensor offline", 3, 1},
      {"read throws a logic error", false,
       [](Rig&) -> std::optional<Observation> { throw std::out_of_range("no tensor 7"); }, invalid,
       "no tensor 7", 3, 1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(0, row.late ? 1 : 0);
    SnapshotProbe probe = row.read ? rig.probe(kEngine, [&rig, &row] { return row.read(rig); })
                                   : unsupportedProbe(kEngine);
    const SnapshotBarrier barrier({probe}, rig.clock());
    const RuntimeStateSnapshot snapshot = barrier.capture("lab", 4, 1, 0, row.late ? 0 : 10);
    ASSERT_EQ(1u, snapshot.subjects.size());
    const SubjectResult& subject = snapshot.subjects[0];
    EXPECT_EQ(kEngine, subject.id);
    EXPECT_EQ(row.status, subject.status);
    EXPECT_EQ(row.diagnostic, subject.diagnostic);
    EXPECT_EQ(row.status == captured, subject.observation.has_value());
    EXPECT_EQ(row.status == captured, snapshot.status == SnapshotStatus::complete);
    EXPECT_EQ(row.readings, rig.readings.size());
    EXPECT_LE(rig.readings.size(), 4u);
    EXPECT_EQ(row.reads, rig.reads.size());
    EXPECT_EQ(rig.readings.back(), snapshot.captured_at_ns);
    readBackDocument(snapshot);
  }
}

TEST(SnapshotCapture, GuardsOnlyTheReadAndWhatFollowsIt) {
  const struct {
    const char* description;
    std::size_t throwAt;  // the clock call that fails
    bool leavesCapture;
    std::size_t reads;
  } cases[] = {
      {"start reading", 0, true, 0},
      {"reading before the read", 1, true, 0},
      {"reading after the read", 2, false, 1},
      {"final reading", 3, true, 1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(0, 0);
    rig.throwAt = row.throwAt;
    const SnapshotBarrier barrier({rig.returning(kEngine, engineAt(4))}, rig.clock());
    if (row.leavesCapture) {
      expectThrowWithMessage<std::runtime_error>(
          [&barrier] { (void)barrier.capture("lab", 4, 1, 0, 10); }, "clock stopped");
    } else {
      const RuntimeStateSnapshot snapshot = barrier.capture("lab", 4, 1, 0, 10);
      EXPECT_EQ((Readings{0, 0, 0}), rig.readings);  // the failed call yields no reading
      ASSERT_EQ(1u, snapshot.subjects.size());
      EXPECT_EQ(SubjectStatus::invalid, snapshot.subjects[0].status);
      EXPECT_EQ("clock stopped", snapshot.subjects[0].diagnostic);
      EXPECT_FALSE(snapshot.subjects[0].observation);
      readBackDocument(snapshot);
    }
    EXPECT_EQ(row.reads, rig.reads.size());
  }

  Rig rig(0, 0);
  const SnapshotBarrier barrier(
      {rig.probe(kDevice, []() -> std::optional<Observation> { throw 42; }),
       rig.returning(kEngine, engineAt(4))},
      rig.clock());
  EXPECT_THROW((void)barrier.capture("lab", 4, 1, 0, 10), int);
  EXPECT_EQ((Ids{kDevice}), rig.reads);
}

TEST(SnapshotCapture, DeadlineSaturatesAndZeroBudgetPassesOnlyAStillClock) {
  const struct {
    const char* description;
    std::uint64_t start;
    std::uint64_t step;
    std::uint64_t budget;
    std::uint64_t deadline;
    bool inTime;
  } cases[] = {
      {"saturated from 5", 5, 0, kMax, kMax, true},
      {"reaching the top exactly", 1, 0, kMax - 1, kMax, true},
      {"one past the top", 2, 0, kMax - 1, kMax, true},
      {"whole budget from 0", 0, 0, kMax, kMax, true},
      {"zero budget, still clock", 7, 0, 0, 7, true},
      {"zero budget, advancing clock", 7, 1, 0, 7, false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(row.start, row.step);
    const RuntimeStateSnapshot snapshot = completeView(rig).capture("lab", 4, 1, 0, row.budget);
    EXPECT_EQ(row.deadline, snapshot.deadline_ns);
    EXPECT_EQ(rig.readings.back(), snapshot.captured_at_ns);
    EXPECT_EQ(row.inTime, isConsistent(snapshot));
    if (row.inTime) {
      EXPECT_EQ(Readings(6, row.start), rig.readings);
      EXPECT_EQ((Ids{kDevice, kEngine}), rig.reads);
    } else {
      EXPECT_EQ((Readings{7, 8, 9, 10}), rig.readings);
      EXPECT_TRUE(rig.reads.empty());
      for (const SubjectResult& subject : snapshot.subjects) {
        EXPECT_EQ(SubjectStatus::deadline_exceeded, subject.status);
        EXPECT_EQ("snapshot deadline exceeded before probe", subject.diagnostic);
      }
    }
    const std::string document = readBackDocument(snapshot);
    EXPECT_EQ(row.deadline == kMax,
              document.find(R"(,"deadline_ns":18446744073709551615,)") != std::string::npos);
  }
}

TEST(SnapshotCapture, RequiresIdentityBeforeReadingAnything) {
  constexpr std::int64_t kEarliest = std::numeric_limits<std::int64_t>::min();
  const struct {
    const char* description;
    const char* systemId;
    std::uint64_t epoch;
    std::uint64_t barrierSequence;
    std::int64_t logicalTime;
    bool accepted;
  } cases[] = {
      {"empty system id", "", 4, 9, 1, false},
      {"epoch 0", "lab", 0, 9, 1, false},
      {"barrier sequence 0", "lab", 4, 0, 1, false},
      {"logical time 0", "lab", 4, 9, 0, true},
      {"logical time -1", "lab", 4, 9, -1, true},
      {"earliest logical time", "lab", 4, 9, kEarliest, true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(10, 1);
    const SnapshotBarrier barrier = completeView(rig);
    const auto capture = [&] {
      return barrier.capture(row.systemId, row.epoch, row.barrierSequence, row.logicalTime, 100);
    };
    if (row.accepted) {
      const RuntimeStateSnapshot snapshot = capture();
      EXPECT_EQ(row.logicalTime, snapshot.logical_time);
      EXPECT_TRUE(isConsistent(snapshot));
      readBackDocument(snapshot);
      continue;
    }
    expectThrowWithMessage<std::invalid_argument>(
        [&capture] { (void)capture(); }, "snapshot identity, epoch and barrier are required");
    EXPECT_TRUE(rig.readings.empty());
    EXPECT_TRUE(rig.reads.empty());
  }
}

TEST(SnapshotBarrier, ProbeOrderDoesNotChangeTheSnapshot) {
  std::array<std::size_t, 4> order{0, 1, 2, 3};
  std::vector<RuntimeStateSnapshot> snapshots;
  do {
    Rig rig(10, 1);
    const std::vector<SnapshotProbe> canonical{
        unsupportedProbe("artifact:lab/model"), rig.returning(kDevice, deviceAt(4)),
        rig.returning("engine:gpu-0/stale",
                      observationOf(EntityKind::engine, "stale", "gpu-0", 3, 2)),
        rig.returning("session:engine/missing", std::nullopt)};
    std::vector<SnapshotProbe> given;
    for (const std::size_t at : order)
      given.push_back(canonical[at]);
    snapshots.push_back(
        SnapshotBarrier(std::move(given), rig.clock()).capture("lab", 4, 2, -5, 100));
    EXPECT_EQ(readBackDocument(snapshots.front()), readBackDocument(snapshots.back()));
    EXPECT_EQ(snapshots.front(), snapshots.back());
    EXPECT_EQ((Ids{kDevice, "engine:gpu-0/stale", "session:engine/missing"}), rig.reads);
    EXPECT_EQ((Readings{10, 11, 12, 13, 14, 15}), rig.readings);
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(24u, snapshots.size());
  EXPECT_EQ((Ids{"artifact:lab/model", kDevice, "engine:gpu-0/stale", "session:engine/missing"}),
            idsOf(snapshots.front().subjects));
  EXPECT_EQ(SnapshotStatus::partial, snapshots.front().status);
}

TEST(SnapshotBarrier, RejectsABrokenProbeSetByItsFirstOffender) {
  const char* const kIds = "snapshot probes require unique non-empty ids";
  const char* const kCallback = "supported snapshot probe requires read callback";
  // A probe is its id, then "!" when it is supported without read callback, "?" when it is
  // unsupported without one; a bare id is supported with a callback.
  const struct {
    const char* description;
    Ids probes;
    const char* message;
  } cases[] = {
      {"empty id alone", {"?"}, kIds},
      {"duplicates, unsupported then readable", {"y?", "y"}, kIds},
      {"supported without read", {"x!"}, kCallback},
      {"callback-less x before duplicate y", {"x!", "y", "y"}, kCallback},
      {"duplicate y before callback-less x", {"y", "y", "x!"}, kIds},
      {"a duplicate that lacks a callback", {"y", "y!"}, kIds},
      {"callback-less x inside a run of three y", {"y", "x!", "y", "y"}, kCallback},
      {"callback-less x before an empty id", {"x!", ""}, kCallback},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    std::vector<SnapshotProbe> probes;
    for (std::string id : row.probes) {
      const char flag = !id.empty() && (id.back() == '!' || id.back() == '?') ? id.back() : ' ';
      if (flag != ' ') id.pop_back();
      probes.push_back(
          {id, flag != '?',
           flag == ' ' ? ProbeRead([] { return std::optional<Observation>(); }) : ProbeRead()});
    }
    expectThrowWithMessage<std::invalid_argument>(
        [&probes] { SnapshotBarrier barrier(std::move(probes), Clock()); }, row.message);
  }
}

TEST(SnapshotBarrier, SortsIdsBytewise) {
  const struct {
    const char* description;
    Ids given;
    Ids stored;
  } cases[] = {
      {"registered against canonical order", {kEngine, kDevice}, {kDevice, kEngine}},
      {"a proper prefix first", {"ab", "a"}, {"a", "ab"}},
      {"bytes from 0x80 after ASCII",
       {"\xC3\xA9t\xC3\xA9", "z", "A"},
       {"A", "z", "\xC3\xA9t\xC3\xA9"}},
      {"none", {}, {}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    std::vector<SnapshotProbe> probes;
    for (const std::string& id : row.given)
      probes.push_back(unsupportedProbe(id));
    Rig rig(0, 1);
    const SnapshotBarrier barrier(std::move(probes), rig.clock());
    EXPECT_EQ(row.stored, idsOf(barrier.probes()));
    const RuntimeStateSnapshot snapshot = barrier.capture("lab", 1, 1, 0, 0);
    EXPECT_EQ(row.stored, idsOf(snapshot.subjects));
    EXPECT_EQ((Readings{0, 1}), rig.readings);  // none on behalf of an unsupported probe
    EXPECT_EQ(1u, snapshot.captured_at_ns);
    readBackDocument(snapshot);
  }
}

TEST(SnapshotBarrier, EmptyClockFallsBackToTheDefaultClock) {
  const SnapshotBarrier barrier({}, Clock());
  const std::uint64_t before = defaultClock();
  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 1, 1, 0, 0);
  const std::uint64_t after = defaultClock();
  EXPECT_LE(before, snapshot.deadline_ns);
  EXPECT_LE(snapshot.deadline_ns, snapshot.captured_at_ns);
  EXPECT_LE(snapshot.captured_at_ns, after);
}

TEST(SnapshotConsistency, ChecksTheSubjectsRatherThanTheStatus) {
  const struct {
    const char* description;
    std::function<void(RuntimeStateSnapshot&)> change;
    bool consistent;
  } cases[] = {
      {"as captured", [](RuntimeStateSnapshot&) {}, true},
      {"partial", [](RuntimeStateSnapshot& s) { s.status = SnapshotStatus::partial; }, false},
      {"a missing subject that kept its observation",
       [](RuntimeStateSnapshot& s) { s.subjects[1].status = SubjectStatus::missing; }, false},
      {"a captured subject without observation",
       [](RuntimeStateSnapshot& s) { s.subjects[0].observation.reset(); }, false},
      {"an observation of another system",
       [](RuntimeStateSnapshot& s) { s.subjects[1].observation->system_id = "LAB"; }, false},
      {"an observation of another epoch",
       [](RuntimeStateSnapshot& s) { s.subjects[0].observation->epoch = 5; }, false},
      {"no subjects", [](RuntimeStateSnapshot& s) { s.subjects.clear(); }, true},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    Rig rig(10, 1);
    RuntimeStateSnapshot snapshot = completeView(rig).capture("lab", 4, 9, 100, 100);
    row.change(snapshot);
    EXPECT_EQ(row.consistent, isConsistent(snapshot));
  }
  // Without subjects only the snapshot's own identity and status can fail it.
  RuntimeStateSnapshot bare;
  EXPECT_FALSE(isConsistent(bare));
  bare.status = SnapshotStatus::complete;
  bare.epoch = 4;
  EXPECT_FALSE(isConsistent(bare));
  bare.system_id = "lab";
  EXPECT_TRUE(isConsistent(bare));
  bare.epoch = 0;
  EXPECT_FALSE(isConsistent(bare));
  EXPECT_TRUE(belongsToEpoch(engineAt(kMax), kMax));
  EXPECT_FALSE(belongsToEpoch(engineAt(4), 5));
  EXPECT_FALSE(belongsToEpoch(engineAt(4), 0));
  EXPECT_FALSE(belongsToEpoch(engineAt(0), 0));
}

TEST(RuntimeStateDocument, EscapesAndWritesObservationsByPresence) {
  EXPECT_EQ(
      R"({"barrier_sequence":0,"captured_at_ns":0,"deadline_ns":0,"epoch":0,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[],"system_id":""})",
      readBackDocument(RuntimeStateSnapshot()));

  RuntimeStateSnapshot snapshot;
  snapshot.system_id = "q\"b\\c\x01";
  snapshot.epoch = kMax;
  snapshot.barrier_sequence = 2;
  snapshot.logical_time = -42;
  snapshot.captured_at_ns = 3;
  snapshot.deadline_ns = 5;
  snapshot.status = SnapshotStatus::complete;
  snapshot.subjects = {
      {"a\"\\\x01", SubjectStatus::missing, "kept anyway", labSystem()},
      {"b", SubjectStatus::captured, "", std::nullopt},
  };
  const std::string document = readBackDocument(snapshot);
  EXPECT_EQ(
      R"({"barrier_sequence":2,"captured_at_ns":3,"deadline_ns":5,"epoch":18446744073709551615,"logical_time":-42,"schema":"velmor-runtime-state/1","status":"complete","subjects":[{"diagnostic":"kept anyway","id":"a\"\\\u0001","observation":{"declared":null,"entity":{"id":"lab","kind":"system","parent":null},"epoch":1,"extensions":{},"logical_time":0,"observed":null,"observed_at_ns":0,"planned":null,"schema":"velmor-observability/1","sequence":0,"system_id":"lab"},"status":"missing"},{"diagnostic":"","id":"b","observation":null,"status":"captured"}],"system_id":"q\"b\\c\u0001"})",
      document);
  EXPECT_EQ(document, snapshot.toCanonicalJson());

  snapshot.subjects[1].observation = engineAt(0);
  expectThrowWithMessage<std::invalid_argument>([&snapshot] { (void)snapshot.toCanonicalJson(); },
                                                "invalid observation");
}

TEST(RuntimeStateDocument, KeepsAndEscapesArbitraryIdBytes) {
  const std::string id("n\0\xFF", 3);
  Rig rig(0, 0);
  const SnapshotBarrier barrier({unsupportedProbe(id), rig.returning("n", std::nullopt)},
                                rig.clock());
  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 1, 1, 0, 0);
  ASSERT_EQ(2u, snapshot.subjects.size());
  EXPECT_EQ(id, snapshot.subjects[1].id);
  // 0xFF is no UTF-8, so no strict parser reads this one back.
  EXPECT_EQ(
      R"({"barrier_sequence":1,"captured_at_ns":0,"deadline_ns":0,"epoch":1,"logical_time":0,"schema":"velmor-runtime-state/1","status":"partial","subjects":[{"diagnostic":"probe returned no observation","id":"n","observation":null,"status":"missing"},{"diagnostic":"probe capability is not supported","id":"n\u0000)"
      "\xFF"
      R"(","observation":null,"status":"unsupported"}],"system_id":"lab"})",
      snapshot.toCanonicalJson());
}

TEST(RuntimeStateDocument, NamesEveryStatus) {
  const std::string_view snapshotNames[] = {"complete", "partial", "partial"};
  for (std::uint32_t value = 0; value < 3; ++value) {
    EXPECT_EQ(snapshotNames[value], toString(static_cast<SnapshotStatus>(value)));
  }
  EXPECT_EQ("partial", toString(static_cast<SnapshotStatus>(0xFFFFFFFFu)));
  const std::string_view subjectNames[] = {"captured",    "missing",           "unsupported",
                                           "stale_epoch", "deadline_exceeded", "invalid",
                                           "invalid"};
  for (std::uint32_t value = 0; value < 7; ++value) {
    EXPECT_EQ(subjectNames[value], toString(static_cast<SubjectStatus>(value)));
  }
  EXPECT_EQ("invalid", toString(static_cast<SubjectStatus>(0xFFFFFFFFu)));
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
