// Writes a representative set of documents, one per line, for the schema check: the worked
// examples, the fixture observation, a snapshot of every subject outcome, escapes and the
// extremes of every number. Each document comes from the library's own writers, so a schema that
// rejects one of them, or a writer that drifts from the schema, fails the check.
#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "example_records.hpp"
#include "fixtures.hpp"

namespace {

namespace qm = Quillon::Core::Monitoring;
using qm::Conformance::makeObservation;
using qm::testing::engineExample;
using qm::testing::systemExample;

constexpr std::uint64_t kMaxUnsigned = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kMinSigned = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxSigned = std::numeric_limits<std::int64_t>::max();

/// Every number at its limit, and enumeration values outside their tables.
qm::Observation extremes() {
  qm::Observation record = makeObservation(static_cast<qm::EntityKind>(12), "x", "y", 1, 0);
  record.epoch = kMaxUnsigned;
  record.sequence = kMaxUnsigned;
  record.logical_time = kMinSigned;
  record.observed_at_ns = kMaxUnsigned;
  record.planned = qm::PlannedState{std::nullopt, "", "", {}};
  record.observed->health = static_cast<qm::HealthState>(4);
  record.observed->lifecycle = static_cast<qm::LifecycleState>(100);
  record.observed->pressure = -0.0;
  record.observed->last_observed_ns = kMaxUnsigned;
  return record;
}

/// Free text holding every kind of escape, tokens holding DEL and UTF-8, and a NUL byte.
qm::Observation escapes() {
  qm::Observation record = makeObservation(qm::EntityKind::tensor, "t\xC3\xA9",
                                           "\x7F"
                                           "engine",
                                           2, 3);
  record.logical_time = kMaxSigned;
  record.declared =
      qm::DeclaredState{"quote\" reverse solidus\\ tab\t",
                        std::string("nul\0byte", 8),
                        {{"\x01", "\x1F"}, {"A", "upper"}, {"a", "/"}, {"ab", "\xC3\xA9"}}};
  record.planned = qm::PlannedState{"h\"", "d\\", "\b\f\n\r", {{"vt", "\x0B\x1B"}}};
  record.extensions = {{"empty", ""}, {"del", "\x7F"}};
  return record;
}

std::vector<qm::Observation> observations() {
  std::vector<qm::Observation> all{
      engineExample(), systemExample(),
      makeObservation(qm::EntityKind::engine, "transformer", "gpu-0", 4, 1), extremes(), escapes()};
  // Plain and exponent forms, the ends of the range and the smallest subnormal.
  for (const double pressure :
       {0.0, 1.0, 0.1, 0.0001, 0.00001, 1e-300, std::numeric_limits<double>::denorm_min()}) {
    qm::Observation record = makeObservation(qm::EntityKind::device, "gpu-0", "host", 1, 0);
    record.observed->pressure = pressure;
    all.push_back(std::move(record));
  }
  return all;
}

/// A supported probe named by `observation`'s subject key that returns it.
qm::SnapshotProbe returning(const qm::Observation& observation) {
  return {observation.entity.subjectKey(), true, [observation] { return observation; }};
}

/// A supported probe whose read throws `message`.
qm::SnapshotProbe throwing(std::string id, std::string message) {
  return {std::move(id), true,
          [message]() -> std::optional<qm::Observation> { throw std::runtime_error(message); }};
}

/// The runtime-state worked example of the documentation, built by hand.
qm::RuntimeStateSnapshot workedExample() {
  qm::RuntimeStateSnapshot snapshot;
  snapshot.system_id = "lab";
  snapshot.epoch = 1;
  snapshot.barrier_sequence = 3;
  snapshot.logical_time = 7;
  snapshot.captured_at_ns = 14;
  snapshot.deadline_ns = 110;
  snapshot.subjects.push_back({"device:host/gpu-0", qm::SubjectStatus::missing,
                               "probe returned no observation", std::nullopt});
  snapshot.subjects.push_back({"system:lab", qm::SubjectStatus::captured, "", systemExample()});
  return snapshot;
}

std::vector<qm::RuntimeStateSnapshot> snapshots() {
  std::vector<qm::RuntimeStateSnapshot> all{workedExample()};

  std::uint64_t counter = 10;
  const qm::SnapshotBarrier complete(
      {returning(makeObservation(qm::EntityKind::engine, "transformer", "gpu-0", 4, 2)),
       returning(makeObservation(qm::EntityKind::device, "gpu-0", "host", 4, 1))},
      qm::Conformance::counterClock(counter));
  all.push_back(complete.capture("lab", 4, 9, 100, 100));

  const qm::SnapshotBarrier staleEpoch(
      {returning(makeObservation(qm::EntityKind::engine, "current", "gpu-0", 8, 1)),
       returning(makeObservation(qm::EntityKind::engine, "stale", "gpu-0", 7, 2))},
      qm::Conformance::fixedClock(50));
  all.push_back(staleEpoch.capture("lab", 8, 1, 0, 10));

  // Every way a subject can fail, in one capture: the late probe moves the shared time past the
  // deadline while it is read, so the probe after it is never read.
  std::uint64_t sharedTime = 0;
  std::vector<qm::SnapshotProbe> failing;
  failing.push_back({"artifact:lab/model", false, {}});
  failing.push_back(
      {"session:engine/missing", true, [] { return std::optional<qm::Observation>(); }});
  failing.push_back({"device:host/gpu-1", true, [] {
                       return makeObservation(qm::EntityKind::device, "gpu-0", "host", 3, 1);
                     }});
  failing.push_back(throwing("engine:gpu-0/throws", "sensor offline"));
  failing.push_back(throwing("engine:gpu-0/silent", ""));
  failing.push_back({"tensor:engine/late", true, [&sharedTime] {
                       sharedTime = 100;
                       return makeObservation(qm::EntityKind::tensor, "late", "engine", 3, 1);
                     }});
  failing.push_back({"trace:engine/after", true, [] { return std::optional<qm::Observation>(); }});
  const qm::SnapshotBarrier everyFailure(std::move(failing),
                                         qm::Conformance::sharedTimeClock(sharedTime));
  all.push_back(everyFailure.capture("lab", 3, 1, -5, 10));

  const qm::SnapshotBarrier empty({}, qm::Conformance::fixedClock(0));
  all.push_back(empty.capture("lab", 1, 1, 0, 0));

  // Numbers at their limits; the budget saturates the deadline.
  qm::Observation limitObservation = extremes();
  limitObservation.entity = {qm::EntityKind::host, "x", "lab"};
  const qm::SnapshotBarrier limits({returning(limitObservation)},
                                   qm::Conformance::fixedClock(kMaxUnsigned - 1));
  all.push_back(limits.capture("lab", kMaxUnsigned, kMaxUnsigned, kMinSigned, kMaxUnsigned));

  // Ids and a system id that need escaping; no observation can match such a system id.
  const qm::SnapshotBarrier escaped({{"odd\"id\\\x01", false, {}}, {"\xC3\xA9", false, {}}},
                                    qm::Conformance::fixedClock(1));
  all.push_back(escaped.capture("lab \"\\\x1F\xC3\xA9", 2, 2, kMaxSigned, 0));
  return all;
}

}  // namespace

int main() {
  try {
    for (const qm::Observation& observation : observations()) {
      std::cout << observation.toCanonicalJson() << '\n';
    }
    for (const qm::RuntimeStateSnapshot& snapshot : snapshots()) {
      std::cout << snapshot.toCanonicalJson() << '\n';
    }
  } catch (const std::exception& error) {
    std::cerr << "write_documents: " << error.what() << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
