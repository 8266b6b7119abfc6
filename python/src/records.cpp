#include "records.hpp"

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "bindings.hpp"

namespace Quillon::Core::Monitoring::Python {
namespace {

DeclaredRecord toRecord(DeclaredState&& state) {
  return {std::move(state.type), std::move(state.config_hash), {std::move(state.attributes), {}}};
}

PlannedRecord toRecord(PlannedState&& state) {
  return {std::move(state.host_id),
          std::move(state.device_id),
          std::move(state.placement_hash),
          {std::move(state.attributes), {}}};
}

ObservedRecord toRecord(ObservedState&& state) {
  return {state.lifecycle, state.health,           state.ready,
          state.pressure,  state.last_observed_ns, {std::move(state.attributes), {}}};
}

ObservationRecord toRecord(Observation&& observation) {
  return {std::move(observation.schema),
          std::move(observation.system_id),
          observation.epoch,
          observation.sequence,
          observation.logical_time,
          observation.observed_at_ns,
          {std::move(observation.entity), {}},
          {std::move(observation.declared), {}},
          {std::move(observation.planned), {}},
          {std::move(observation.observed), {}},
          {std::move(observation.extensions), {}}};
}

SubjectRecord toRecord(SubjectResult&& subject) {
  return {std::move(subject.id),
          subject.status,
          std::move(subject.diagnostic),
          {std::move(subject.observation), {}}};
}

DeclaredState toCore(const DeclaredRecord& record) {
  return {record.type, record.config_hash, valueOf(record.attributes, "attributes")};
}

PlannedState toCore(const PlannedRecord& record) {
  return {record.host_id, record.device_id, record.placement_hash,
          valueOf(record.attributes, "attributes")};
}

ObservedState toCore(const ObservedRecord& record) {
  return {record.lifecycle, record.health,           record.ready,
          record.pressure,  record.last_observed_ns, valueOf(record.attributes, "attributes")};
}

SubjectResult toCore(const SubjectRecord& record) {
  return {record.id, record.status, record.diagnostic, valueOf(record.observation, "observation")};
}

}  // namespace

/// A section, or a subject's observation: None or a record of its own.
template <typename Core>
struct Crossing<std::optional<Core>> {
  using Record = decltype(toRecord(std::declval<Core>()));
  static constexpr bool kOptional = true;

  static void check(py::handle value, const char* name) { checkType<Record>(value, name, true); }

  static py::object toObject(std::optional<Core>&& value) {
    return value ? adopt(toRecord(std::move(*value))) : py::none();
  }

  static std::optional<Core> toValue(py::handle value, const char* /*name*/) {
    return toCore(value.cast<const Record&>());
  }
};

template <>
struct Crossing<EntityIdentity> {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name) {
    checkType<EntityIdentity>(value, name, false);
  }

  static py::object toObject(EntityIdentity&& value) { return adopt(std::move(value)); }

  static EntityIdentity toValue(py::handle value, const char* /*name*/) {
    return value.cast<const EntityIdentity&>();
  }
};

template <>
struct Crossing<AttributeMap> {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name) { checkStringMap(value, name); }
  static py::object toObject(AttributeMap&& value) { return toDict(value); }
  static AttributeMap toValue(py::handle value, const char* name) { return toMap(value, name); }
};

/// A snapshot's subjects: a list of SubjectResult. Its items are checked where it is used, since
/// the list may change after it was assigned.
template <>
struct Crossing<std::vector<SubjectResult>> {
  static constexpr bool kOptional = false;

  static void check(py::handle value, const char* name) {
    if (!PyList_Check(value.ptr())) {
      raise(PyExc_TypeError, std::string(name) + " must be list, not " + typeName(value));
    }
  }

  static py::object toObject(std::vector<SubjectResult>&& value) {
    py::list subjects(value.size());
    for (std::size_t at = 0; at < value.size(); ++at)
      subjects[at] = adopt(toRecord(std::move(value[at])));
    return subjects;
  }

  static std::vector<SubjectResult> toValue(py::handle value, const char* name) {
    std::vector<SubjectResult> subjects;
    subjects.reserve(py::len(value));
    for (const py::handle item : value) {
      checkType<SubjectRecord>(item, name, false);
      subjects.push_back(toCore(item.cast<const SubjectRecord&>()));
    }
    return subjects;
  }
};

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
struct Layout<DeclaredRecord> {
  static constexpr const char* kName = "DeclaredState";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&DeclaredRecord::type>("type"),
                                      field<&DeclaredRecord::config_hash>("config_hash"),
                                      field<&DeclaredRecord::attributes>("attributes")};
};

template <>
struct Layout<PlannedRecord> {
  static constexpr const char* kName = "PlannedState";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&PlannedRecord::host_id>("host_id"),
                                      field<&PlannedRecord::device_id>("device_id"),
                                      field<&PlannedRecord::placement_hash>("placement_hash"),
                                      field<&PlannedRecord::attributes>("attributes")};
};

template <>
struct Layout<ObservedRecord> {
  static constexpr const char* kName = "ObservedState";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&ObservedRecord::lifecycle>("lifecycle"),
                                      field<&ObservedRecord::health>("health"),
                                      field<&ObservedRecord::ready>("ready"),
                                      field<&ObservedRecord::pressure>("pressure"),
                                      field<&ObservedRecord::last_observed_ns>("last_observed_ns"),
                                      field<&ObservedRecord::attributes>("attributes")};
};

template <>
struct Layout<ObservationRecord> {
  static constexpr const char* kName = "Observation";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&ObservationRecord::schema>("schema"),
                                      field<&ObservationRecord::system_id>("system_id"),
                                      field<&ObservationRecord::epoch>("epoch"),
                                      field<&ObservationRecord::sequence>("sequence"),
                                      field<&ObservationRecord::logical_time>("logical_time"),
                                      field<&ObservationRecord::observed_at_ns>("observed_at_ns"),
                                      field<&ObservationRecord::entity>("entity"),
                                      field<&ObservationRecord::declared>("declared"),
                                      field<&ObservationRecord::planned>("planned"),
                                      field<&ObservationRecord::observed>("observed"),
                                      field<&ObservationRecord::extensions>("extensions")};
};

template <>
struct Layout<SubjectRecord> {
  static constexpr const char* kName = "SubjectResult";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&SubjectRecord::id>("id"),
                                      field<&SubjectRecord::status>("status"),
                                      field<&SubjectRecord::diagnostic>("diagnostic"),
                                      field<&SubjectRecord::observation>("observation")};
};

template <>
struct Layout<SnapshotRecord> {
  static constexpr const char* kName = "RuntimeStateSnapshot";
  static constexpr std::size_t kPositional = 0;
  static constexpr std::size_t kRequired = 0;
  static constexpr std::array kFields{field<&SnapshotRecord::schema>("schema"),
                                      field<&SnapshotRecord::system_id>("system_id"),
                                      field<&SnapshotRecord::epoch>("epoch"),
                                      field<&SnapshotRecord::barrier_sequence>("barrier_sequence"),
                                      field<&SnapshotRecord::logical_time>("logical_time"),
                                      field<&SnapshotRecord::captured_at_ns>("captured_at_ns"),
                                      field<&SnapshotRecord::deadline_ns>("deadline_ns"),
                                      field<&SnapshotRecord::status>("status"),
                                      field<&SnapshotRecord::subjects>("subjects")};
};

Observation toCore(const ObservationRecord& record) {
  return {record.schema,
          record.system_id,
          record.epoch,
          record.sequence,
          record.logical_time,
          record.observed_at_ns,
          valueOf(record.entity, "entity"),
          valueOf(record.declared, "declared"),
          valueOf(record.planned, "planned"),
          valueOf(record.observed, "observed"),
          valueOf(record.extensions, "extensions")};
}

RuntimeStateSnapshot toCore(const SnapshotRecord& record) {
  return {record.schema,           record.system_id,    record.epoch,
          record.barrier_sequence, record.logical_time, record.captured_at_ns,
          record.deadline_ns,      record.status,       valueOf(record.subjects, "subjects")};
}

py::object toPython(Observation&& observation) {
  return adopt(toRecord(std::move(observation)));
}

py::object toPython(RuntimeStateSnapshot&& snapshot) {
  return adopt(SnapshotRecord{std::move(snapshot.schema),
                              std::move(snapshot.system_id),
                              snapshot.epoch,
                              snapshot.barrier_sequence,
                              snapshot.logical_time,
                              snapshot.captured_at_ns,
                              snapshot.deadline_ns,
                              snapshot.status,
                              {std::move(snapshot.subjects), {}}});
}

namespace {

template <typename Record>
void bindWithDocument(py::class_<Record>& type, const char* doc) {
  type.def(
      "to_canonical_json", [](const Record& record) { return canonicalJson(toCore(record)); }, doc);
}

}  // namespace

void bindRecords(py::module_& module) {
  bindRecord<EntityIdentity>(module, "Who an observed entity is, and where it sits.")
      .def(
          "subject_key",
          [](const EntityIdentity& identity) { return toStr(identity.subjectKey()); },
          "Returns the subject key: \"engine:gpu-0/transformer\", or \"system:lab\" without "
          "parent.");
  bindRecord<DeclaredRecord>(module, "What was declared for an entity.");
  bindRecord<PlannedRecord>(module, "Where an entity is planned to be placed.");
  bindRecord<ObservedRecord>(module, "What was last observed about an entity.");
  auto observation =
      bindRecord<ObservationRecord>(module, "One monitored entity of one system at one moment.");
  observation.def(
      "validate",
      [](const ObservationRecord& record) {
        py::list messages;
        for (const std::string& message : toCore(record).validate())
          messages.append(toStr(message));
        return messages;
      },
      "Returns one message per broken rule, in the library's order; empty when valid.");
  bindWithDocument(observation,
                   "Returns the canonical document; raises ValueError(\"invalid observation\") "
                   "when validate() reports anything.");
  bindRecord<SubjectRecord>(module, "One subject of a snapshot.");
  auto snapshot = bindRecord<SnapshotRecord>(
      module, "The state of a system's subjects at one logical barrier.");
  bindWithDocument(snapshot,
                   "Returns the canonical runtime-state document; raises ValueError(\"invalid "
                   "observation\") when a subject holds an observation that validate() rejects.");
}

}  // namespace Quillon::Core::Monitoring::Python
