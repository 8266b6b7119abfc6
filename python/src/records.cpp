#include "records.hpp"

#include <utility>

#include "bindings.hpp"

namespace Quillon::Core::Monitoring::Python {

void Crossing<std::vector<SubjectResult>>::check(py::handle value, const char* name) {
  if (!PyList_Check(value.ptr())) {
    raise(PyExc_TypeError, std::string(name) + " must be list, not " + typeName(value));
  }
}

py::object Crossing<std::vector<SubjectResult>>::toObject(std::vector<SubjectResult>&& value) {
  py::list subjects(value.size());
  for (std::size_t at = 0; at < value.size(); ++at)
    subjects[at] = newRecord(std::move(value[at]));
  return subjects;
}

std::vector<SubjectResult> Crossing<std::vector<SubjectResult>>::toValue(py::handle value,
                                                                         const char* /*name*/) {
  std::vector<SubjectResult> subjects;
  subjects.reserve(py::len(value));
  for (const py::handle item : value) {
    checkRecord<SubjectResult>(item, "subject", false);
    subjects.push_back(toCore(*recordOf<SubjectResult>(item)));
  }
  return subjects;
}

namespace {

template <typename Core>
void bindWithDocument(py::class_<Record<Core>>& type, const char* doc) {
  type.def(
      "to_canonical_json", [](const Record<Core>& record) { return canonicalJson(toCore(record)); },
      doc);
}

}  // namespace

void bindRecords(py::module_& module) {
  bindRecord<EntityIdentity>(module, "Who an observed entity is, and where it sits.")
      .def(
          "subject_key",
          [](const Record<EntityIdentity>& identity) { return toStr(identity.value.subjectKey()); },
          "Returns the subject key: \"engine:gpu-0/transformer\", or \"system:lab\" without "
          "parent.");
  bindRecord<DeclaredState>(module, "What was declared for an entity.");
  bindRecord<PlannedState>(module, "Where an entity is planned to be placed.");
  bindRecord<ObservedState>(module, "What was last observed about an entity.");
  auto observation =
      bindRecord<Observation>(module, "One monitored entity of one system at one moment.");
  observation.def(
      "validate",
      [](const Record<Observation>& record) {
        py::list messages;
        for (const std::string& message : toCore(record).validate())
          messages.append(toStr(message));
        return messages;
      },
      "Returns one message per broken rule, in the library's order; empty when valid.");
  bindWithDocument(observation,
                   "Returns the canonical document; raises ValueError(\"invalid observation\") "
                   "when validate() reports anything.");
  bindRecord<SubjectResult>(module, "One subject of a snapshot.");
  auto snapshot = bindRecord<RuntimeStateSnapshot>(
      module, "The state of a system's subjects at one logical barrier.");
  bindWithDocument(snapshot,
                   "Returns the canonical runtime-state document; raises ValueError(\"invalid "
                   "observation\") when a subject holds an observation that validate() rejects.");
}

}  // namespace Quillon::Core::Monitoring::Python
