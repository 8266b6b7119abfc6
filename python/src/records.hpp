// The records of both documents as Python classes: each holds the core's own record (see
// Record in fields.hpp), and its layout here says which members are attributes and which cross
// as Python objects.
//
// Guarantees: converting a record to the core's copies it, so that what the core then reads is a
// value no other Python thread can change; converting from the core takes the core's record over
// and makes one Python object.
#ifndef QUILLON_PYTHON_RECORDS_HPP
#define QUILLON_PYTHON_RECORDS_HPP

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "fields.hpp"

namespace Quillon::Core::Monitoring::Python {

/// A map crosses as a plain dict[str, str].
template <>
struct Crossing<AttributeMap> {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name) { checkStringMap(value, name); }
  static py::object toObject(AttributeMap&& value) { return toDict(value); }
  static AttributeMap toValue(py::handle value, const char* name) { return toMap(value, name); }
};

/// A snapshot's subjects cross as a plain list of SubjectResult, whose items are checked where
/// the list is used: it may have changed since it was assigned.
template <>
struct Crossing<std::vector<SubjectResult>> {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name);
  static py::object toObject(std::vector<SubjectResult>&& value);
  static std::vector<SubjectResult> toValue(py::handle value, const char* name);
};

template <>
inline constexpr std::size_t kObjectMembers<DeclaredState> = 1;
template <>
inline constexpr std::size_t kObjectMembers<PlannedState> = 1;
template <>
inline constexpr std::size_t kObjectMembers<ObservedState> = 1;
template <>
inline constexpr std::size_t kObjectMembers<Observation> = 5;
template <>
inline constexpr std::size_t kObjectMembers<SubjectResult> = 1;
template <>
inline constexpr std::size_t kObjectMembers<RuntimeStateSnapshot> = 1;

template <>
struct Layout<EntityIdentity> {
  static constexpr const char* kName = "EntityIdentity";
  static constexpr std::size_t kPositional = 3;
  static constexpr std::size_t kRequired = 2;
  static constexpr std::array kFields{field<&EntityIdentity::kind>("kind"),
                                      field<&EntityIdentity::id>("id"),
                                      field<&EntityIdentity::parent>("parent")};
};

template <>
struct Layout<DeclaredState> {
  static constexpr const char* kName = "DeclaredState";
  static constexpr std::array kFields{field<&DeclaredState::type>("type"),
                                      field<&DeclaredState::config_hash>("config_hash"),
                                      object<&DeclaredState::attributes, 0>("attributes")};
};

template <>
struct Layout<PlannedState> {
  static constexpr const char* kName = "PlannedState";
  static constexpr std::array kFields{field<&PlannedState::host_id>("host_id"),
                                      field<&PlannedState::device_id>("device_id"),
                                      field<&PlannedState::placement_hash>("placement_hash"),
                                      object<&PlannedState::attributes, 0>("attributes")};
};

template <>
struct Layout<ObservedState> {
  static constexpr const char* kName = "ObservedState";
  static constexpr std::array kFields{field<&ObservedState::lifecycle>("lifecycle"),
                                      field<&ObservedState::health>("health"),
                                      field<&ObservedState::ready>("ready"),
                                      field<&ObservedState::pressure>("pressure"),
                                      field<&ObservedState::last_observed_ns>("last_observed_ns"),
                                      object<&ObservedState::attributes, 0>("attributes")};
};

template <>
struct Layout<Observation> {
  static constexpr const char* kName = "Observation";
  static constexpr std::array kFields{field<&Observation::schema>("schema"),
                                      field<&Observation::system_id>("system_id"),
                                      field<&Observation::epoch>("epoch"),
                                      field<&Observation::sequence>("sequence"),
                                      field<&Observation::logical_time>("logical_time"),
                                      field<&Observation::observed_at_ns>("observed_at_ns"),
                                      object<&Observation::entity, 0>("entity"),
                                      object<&Observation::declared, 1>("declared"),
                                      object<&Observation::planned, 2>("planned"),
                                      object<&Observation::observed, 3>("observed"),
                                      object<&Observation::extensions, 4>("extensions")};
};

template <>
struct Layout<SubjectResult> {
  static constexpr const char* kName = "SubjectResult";
  static constexpr std::array kFields{field<&SubjectResult::id>("id"),
                                      field<&SubjectResult::status>("status"),
                                      field<&SubjectResult::diagnostic>("diagnostic"),
                                      object<&SubjectResult::observation, 0>("observation")};
};

template <>
struct Layout<RuntimeStateSnapshot> {
  static constexpr const char* kName = "RuntimeStateSnapshot";
  static constexpr std::array kFields{
      field<&RuntimeStateSnapshot::schema>("schema"),
      field<&RuntimeStateSnapshot::system_id>("system_id"),
      field<&RuntimeStateSnapshot::epoch>("epoch"),
      field<&RuntimeStateSnapshot::barrier_sequence>("barrier_sequence"),
      field<&RuntimeStateSnapshot::logical_time>("logical_time"),
      field<&RuntimeStateSnapshot::captured_at_ns>("captured_at_ns"),
      field<&RuntimeStateSnapshot::deadline_ns>("deadline_ns"),
      field<&RuntimeStateSnapshot::status>("status"),
      object<&RuntimeStateSnapshot::subjects, 0>("subjects")};
};

template <>
struct Layout<Change> {
  static constexpr const char* kName = "Change";
  static constexpr std::array kFields{
      field<&Change::subject>("subject"), field<&Change::pointer>("pointer"),
      field<&Change::before>("before"), field<&Change::after>("after")};
};

/// Returns the canonical document of the core's `value` (an Observation or a
/// RuntimeStateSnapshot), written without the GIL.
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
