// The records of both documents as Python classes, and their conversions to and from the core's
// records.
//
// Guarantees: a record's scalar members live in C++ in their member's type; its sections,
// subjects and string maps stay the core's values until Python reads them, and are from then on
// the Python objects it holds, so that every assignment through them reaches it (see Lazy). A
// conversion to the core copies: what the core then reads is a value no other Python thread can
// change. A conversion from the core takes the core's record over and makes one Python object.
#ifndef QUILLON_PYTHON_RECORDS_HPP
#define QUILLON_PYTHON_RECORDS_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "fields.hpp"

namespace Quillon::Core::Monitoring::Python {

/// Python's DeclaredState.
struct DeclaredRecord {
  std::string type;
  std::string config_hash;
  Lazy<AttributeMap> attributes;
};

/// Python's PlannedState.
struct PlannedRecord {
  std::optional<std::string> host_id;
  std::optional<std::string> device_id;
  std::string placement_hash;
  Lazy<AttributeMap> attributes;
};

/// Python's ObservedState.
struct ObservedRecord {
  LifecycleState lifecycle = LifecycleState::declared;
  HealthState health = HealthState::unknown;
  bool ready = false;
  double pressure = 0.0;
  std::uint64_t last_observed_ns = 0;
  Lazy<AttributeMap> attributes;
};

/// Python's Observation; its EntityIdentity is the core's own record.
struct ObservationRecord {
  std::string schema{kObservationSchema};
  std::string system_id;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  std::int64_t logical_time = 0;
  std::uint64_t observed_at_ns = 0;
  Lazy<EntityIdentity> entity;
  Lazy<std::optional<DeclaredState>> declared;
  Lazy<std::optional<PlannedState>> planned;
  Lazy<std::optional<ObservedState>> observed;
  Lazy<AttributeMap> extensions;
};

/// Python's SubjectResult.
struct SubjectRecord {
  std::string id;
  SubjectStatus status = SubjectStatus::missing;
  std::string diagnostic;
  Lazy<std::optional<Observation>> observation;
};

/// Python's RuntimeStateSnapshot; `subjects` is a list of SubjectResult once Python has it.
struct SnapshotRecord {
  std::string schema{kRuntimeStateSchema};
  std::string system_id;
  std::uint64_t epoch = 0;
  std::uint64_t barrier_sequence = 0;
  std::int64_t logical_time = 0;
  std::uint64_t captured_at_ns = 0;
  std::uint64_t deadline_ns = 0;
  SnapshotStatus status = SnapshotStatus::partial;
  Lazy<std::vector<SubjectResult>> subjects;
};

/// Returns the core's copy of `record`. Raises TypeError when one of its dicts holds something
/// other than str, UnicodeEncodeError for a surrogate that stands for no byte.
[[nodiscard]] Observation toCore(const ObservationRecord& record);

/// Returns the core's copy of `record`. Raises as the Observation overload does, and TypeError
/// when `subjects` holds something other than SubjectResult.
[[nodiscard]] RuntimeStateSnapshot toCore(const SnapshotRecord& record);

/// Returns a new Python Observation that takes `observation` over.
[[nodiscard]] py::object toPython(Observation&& observation);

/// Returns a new Python RuntimeStateSnapshot that takes `snapshot` over.
[[nodiscard]] py::object toPython(RuntimeStateSnapshot&& snapshot);

/// Returns the canonical document of `value` (an Observation or a RuntimeStateSnapshot of the
/// core), written without the GIL.
template <typename Core>
[[nodiscard]] py::str canonicalJson(const Core& value) {
  std::string text;
  {
    const py::gil_scoped_release released;
    text = value.toCanonicalJson();
  }
  return toStr(text);
}

}  // namespace Quillon::Core::Monitoring::Python

#endif  // QUILLON_PYTHON_RECORDS_HPP
