#include "fixtures.hpp"

#include <utility>

namespace Quillon::Core::Monitoring::Conformance {

Observation makeObservation(EntityKind kind, std::string id, std::string parent,
                            std::uint64_t epoch, std::uint64_t sequence) {
  Observation observation;
  observation.system_id = "lab";
  observation.epoch = epoch;
  observation.sequence = sequence;
  observation.logical_time = 100;
  observation.observed_at_ns = 1000;
  observation.entity.kind = kind;
  observation.entity.id = std::move(id);
  observation.entity.parent = std::move(parent);
  ObservedState& observed = observation.observed.emplace();
  observed.lifecycle = LifecycleState::running;
  observed.health = HealthState::healthy;
  observed.ready = true;
  observed.pressure = 0.2;
  observed.last_observed_ns = 999;
  return observation;
}

Clock counterClock(std::uint64_t& counter) {
  return [&counter] { return counter++; };
}

Clock fixedClock(std::uint64_t value) {
  return [value] { return value; };
}

Clock sharedTimeClock(const std::uint64_t& sharedTime) {
  return [&sharedTime] { return sharedTime; };
}

const SubjectResult* subjectAt(const RuntimeStateSnapshot& snapshot,
                               std::size_t position) noexcept {
  return position < snapshot.subjects.size() ? &snapshot.subjects[position] : nullptr;
}

}  // namespace Quillon::Core::Monitoring::Conformance
