// Writes a representative set of documents, one per line, for the schema check: the worked
// examples, the fixture observation, a snapshot of every subject outcome, escapes and the
// extremes of every number. Each document comes from the library's own writers, so a schema that
// rejects one of them, or a writer that drifts from the schema, fails the check.
#include <cstdint>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/compose.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/reader.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "example_records.hpp"
#include "fixtures.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using Conformance::makeObservation;
using testing::readerSeed;

constexpr std::uint64_t kMaxUnsigned = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kMinSigned = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxSigned = std::numeric_limits<std::int64_t>::max();

std::vector<Observation> observations() {
  // Free text holding every kind of escape, tokens holding DEL and UTF-8, and a NUL byte.
  Observation escapes = makeObservation(EntityKind::tensor, "t\xC3\xA9",
                                        "\x7F"
                                        "engine",
                                        2, 3);
  escapes.logical_time = kMaxSigned;
  escapes.declared =
      DeclaredState{"quote\" reverse solidus\\ tab\t",
                    std::string("nul\0byte", 8),
                    {{"\x01", "\x1F"}, {"A", "upper"}, {"a", "/"}, {"ab", "\xC3\xA9"}}};
  escapes.planned = PlannedState{"h\"", "d\\", "\b\f\n\r", {{"vt", "\x0B\x1B"}}};
  escapes.extensions = {{"empty", ""}, {"del", "\x7F"}};
  Observation unknown = testing::extremesExample();  // enumeration values outside their tables
  unknown.entity.kind = static_cast<EntityKind>(12);
  unknown.observed->health = static_cast<HealthState>(4);
  unknown.observed->lifecycle = static_cast<LifecycleState>(100);
  std::vector<Observation> all{testing::engineExample(), testing::systemExample(),
                               makeObservation(EntityKind::engine, "transformer", "gpu-0", 4, 1),
                               unknown, escapes};
  // Plain and exponent forms, the ends of the range and the smallest subnormal.
  for (const double pressure :
       {0.0, 1.0, 0.1, 0.0001, 0.00001, 1e-300, std::numeric_limits<double>::denorm_min()}) {
    all.push_back(makeObservation(EntityKind::device, "gpu-0", "host", 1, 0));
    all.back().observed->pressure = pressure;
  }
  return all;
}

SnapshotProbe returning(const Observation& observation) {
  return {observation.entity.subjectKey(), true, [observation] { return observation; }};
}

std::vector<RuntimeStateSnapshot> snapshots() {
  // The documentation's worked examples, complete and partial, read and written again.
  std::vector<RuntimeStateSnapshot> all{readRuntimeState(readerSeed("complete_snapshot")),
                                        readRuntimeState(readerSeed("partial_snapshot"))};
  // Every subject outcome in one capture, the late probe moving the time past the deadline.
  std::uint64_t now = 0;
  all.push_back(testing::everyOutcome(now).capture("lab", 4, 9, -5, 100));
  all.push_back(SnapshotBarrier({}, Conformance::fixedClock(0)).capture("lab", 1, 1, 0, 0));
  // Numbers at their limits; the budget saturates the deadline.
  all.push_back(SnapshotBarrier({returning(testing::extremesExample())},
                                Conformance::fixedClock(kMaxUnsigned - 1))
                    .capture("lab", kMaxUnsigned, kMaxUnsigned, kMinSigned, kMaxUnsigned));
  // Ids and a system id that need escaping; no observation can match such a system id.
  all.push_back(SnapshotBarrier({{"odd\"id\\\x01", false, {}}, {"\xC3\xA9", false, {}}},
                                Conformance::fixedClock(1))
                    .capture("lab \"\\\x1F\xC3\xA9", 2, 2, kMaxSigned, 0));
  // A composition: every outcome as one part, a part of another epoch holding one of its ids,
  // and a part that gave no snapshot.
  std::vector<SnapshotPart> parts{
      {"node-1", all[2], SubjectStatus::missing, ""},
      {"node-2", all[0], SubjectStatus::missing, ""},
      {"node-3", std::nullopt, SubjectStatus::deadline_exceeded, "late"}};
  parts[1].snapshot->epoch = 3;
  parts[1].snapshot->barrier_sequence = 9;
  parts[1].snapshot->logical_time = -5;
  all.push_back(compose(std::move(parts), "lab", 4, 9, -5, 100, Conformance::fixedClock(120)));
  return all;
}

}  // namespace

// An exception leaving main aborts the run, which fails the check.
int main() {
  for (const Observation& observation : observations())
    std::cout << observation.toCanonicalJson() << '\n';
  for (const RuntimeStateSnapshot& snapshot : snapshots())
    std::cout << snapshot.toCanonicalJson() << '\n';
  return std::cout.flush() ? 0 : 1;
}
