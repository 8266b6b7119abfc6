#include <cstdint>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "expect.hpp"
#include "fixtures.hpp"
#include "scenarios.hpp"

namespace Quillon::Core::Monitoring::Conformance {
namespace {

bool hasStatus(const SubjectResult* subject, SubjectStatus status) {
  return subject != nullptr && subject->status == status;
}

}  // namespace

void unsupportedMissingAndDeadlineAreExplicit(std::ostream& out) {
  std::uint64_t sharedTime = 0;
  std::vector<SnapshotProbe> probes;
  // Unsupported, so the barrier must accept it without a read callback and never read it.
  probes.push_back({"artifact:lab/model", false, {}});
  probes.push_back({"session:engine/missing", true, [] { return std::optional<Observation>(); }});
  probes.push_back({"tensor:engine/late", true, [&sharedTime] {
                      // The read itself takes until time 100, far past the deadline of 10.
                      sharedTime = 100;
                      return std::optional(
                          makeObservation(EntityKind::tensor, "late", "engine", 3, 1));
                    }});
  const SnapshotBarrier barrier(std::move(probes), sharedTimeClock(sharedTime));

  const RuntimeStateSnapshot snapshot = barrier.capture("lab", 3, 1, 0, 10);

  expect(snapshot.status == SnapshotStatus::partial && snapshot.subjects.size() == 3,
         "partial subjects disappeared");
  expect(hasStatus(subjectAt(snapshot, 0), SubjectStatus::unsupported) &&
             hasStatus(subjectAt(snapshot, 1), SubjectStatus::missing) &&
             hasStatus(subjectAt(snapshot, 2), SubjectStatus::deadline_exceeded),
         "partial reason is not explicit");
  out << "[PASS] unsupported, missing and timed-out subjects remain distinguishable\n";
}

}  // namespace Quillon::Core::Monitoring::Conformance
