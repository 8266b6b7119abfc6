// Composing the snapshots of a system's parts from Python: the parts are converted to the core's
// copies while the GIL is held, and the core composes without it, taking it only for a Python
// clock's one reading.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/compose.hpp>

#include "bindings.hpp"
#include "records.hpp"

namespace Quillon::Core::Monitoring::Python {

template <>
inline constexpr std::size_t kObjectMembers<SnapshotPart> = 1;

template <>
struct Layout<SnapshotPart> {
  static constexpr const char* kName = "SnapshotPart";
  static constexpr std::size_t kPositional = 4;
  static constexpr std::size_t kRequired = 1;
  static constexpr std::array kFields{
      field<&SnapshotPart::id>("id"), object<&SnapshotPart::snapshot, 0>("snapshot"),
      field<&SnapshotPart::status>("status"), field<&SnapshotPart::diagnostic>("diagnostic")};
};

namespace {

py::object composeParts(const py::iterable& parts, py::handle system_id, py::handle epoch,
                        py::handle barrier_sequence, py::handle logical_time,
                        py::handle deadline_ns, const py::object& clock) {
  std::vector<SnapshotPart> owned;
  for (const py::handle item : parts) {
    checkRecord<SnapshotPart>(item, "part", false);
    owned.push_back(toCore(*recordOf<SnapshotPart>(item)));
  }
  auto id = converted<std::string>(system_id, "system_id");
  const auto epochValue = converted<std::uint64_t>(epoch, "epoch");
  const auto sequence = converted<std::uint64_t>(barrier_sequence, "barrier_sequence");
  const auto time = converted<std::int64_t>(logical_time, "logical_time");
  const auto deadline = converted<std::optional<std::uint64_t>>(deadline_ns, "deadline_ns");
  const Clock reading = toClock(clock);
  RuntimeStateSnapshot snapshot;
  {
    const py::gil_scoped_release released;
    snapshot = compose(std::move(owned), std::move(id), epochValue, sequence, time,
                       deadline.value_or(0), reading);
  }
  // Without a deadline nothing was waited for: the deadline is the moment of composing, as
  // quillon-state compose has it.
  if (!deadline) snapshot.deadline_ns = snapshot.captured_at_ns;
  return newRecord(std::move(snapshot));
}

}  // namespace

void bindCompose(py::module_& module) {
  bindRecord<SnapshotPart>(
      module, "One part of a system at a barrier: its snapshot, or why there is none.");
  module.def("compose", &composeParts, py::arg("parts"), py::arg("system_id"), py::arg("epoch"),
             py::arg("barrier_sequence"), py::arg("logical_time") = 0,
             py::arg("deadline_ns") = py::none(), py::arg("clock") = py::none(),
             "Returns the snapshot of the barrier composed from the parts' snapshots, failing "
             "closed (see docs/compose.md).");
}

}  // namespace Quillon::Core::Monitoring::Python
