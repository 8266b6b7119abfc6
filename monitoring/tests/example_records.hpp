// The example records of the documentation, shared by the robustness tests (allocation failure,
// locale), the schema check and the benchmarks, so that each builds the same bytes.
#ifndef QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP
#define QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP

#include <quillon/monitoring/observation.hpp>

#include <optional>

namespace Quillon::Core::Monitoring::testing {

/// The engine of the documentation example: every optional section present, attributes inserted
/// out of order, one absent device id.
inline Observation engineExample(double pressure = 0.25) {
  Observation record;
  record.system_id = "lab";
  record.epoch = 4;
  record.sequence = 2;
  record.logical_time = 100;
  record.observed_at_ns = 1000;
  record.entity = {EntityKind::engine, "transformer", "gpu-0"};
  record.declared = DeclaredState{"inference", "cfg-7", {{"precision", "fp16"}}};
  record.planned = PlannedState{"host", std::nullopt, "plan-3", {}};
  record.observed =
      ObservedState{LifecycleState::running,         HealthState::degraded, false, pressure, 990,
                    {{"queue", "3"}, {"batch", "8"}}};
  return record;
}

/// The smallest valid record: the system "lab" itself at epoch 1.
inline Observation systemExample() {
  Observation record;
  record.system_id = "lab";
  record.epoch = 1;
  record.entity.id = "lab";
  return record;
}

}  // namespace Quillon::Core::Monitoring::testing

#endif  // QUILLON_MONITORING_TESTS_EXAMPLE_RECORDS_HPP
