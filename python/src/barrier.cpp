// Probes whose reads are Python callables, and the barrier that captures them.
//
// The capture loop runs without the GIL; each read and each clock reading takes it. A read that
// raises an Exception fails its subject as a standard exception does in C++, with
// str(exception) as diagnostic; any other BaseException (KeyboardInterrupt, SystemExit), and
// anything the clock raises, leaves capture as a PythonEscape, which the core does not catch.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/snapshot.hpp>

#include "bindings.hpp"
#include "records.hpp"

namespace Quillon::Core::Monitoring::Python {
namespace {

/// A Python callable, or None.
struct Callable {
  py::object object;
};

py::object toPython(const Callable& callable) {
  return callable.object ? callable.object : py::none();
}

void assign(Callable& member, py::handle value, const char* name) {
  if (!value.is_none() && PyCallable_Check(value.ptr()) == 0) {
    raise(PyExc_TypeError, std::string(name) + " must be callable or None, not " + typeName(value));
  }
  member.object = value.is_none() ? py::object() : py::reinterpret_borrow<py::object>(value);
}

/// The same callable, not an equal one: functions compare by identity anyway.
bool operator==(const Callable& left, const Callable& right) {
  return left.object.ptr() == right.object.ptr();
}

/// What Python's SnapshotProbe holds: the core's probe, with a Python callable for `read`.
struct PythonProbe {
  std::string id;
  Callable read;
  bool supported = true;
};

/// Turns a read's Python error into what the core makes of a failed read: an Exception into a
/// standard exception carrying str(exception), anything else into an escape from capture.
[[noreturn]] void failRead(py::error_already_set& error) {
  if (!error.matches(PyExc_Exception)) throw PythonEscape{std::move(error)};
  throw std::runtime_error(exceptionText(error));
}

ProbeRead readerOf(const py::object& read) {
  return [callable = sharedCallable(read)]() -> std::optional<Observation> {
    const py::gil_scoped_acquire gil;
    try {
      const py::object result = callNoArgs(*callable);
      if (result.is_none()) return std::nullopt;
      const Record<Observation>* observation = recordOf<Observation>(result);
      if (observation == nullptr) {
        // An Observation made by __new__ alone holds no record to read.
        const bool unmade = py::isinstance<Record<Observation>>(result);
        throw std::runtime_error("probe returned " +
                                 (unmade ? "an Observation its constructor never made"
                                         : typeName(result) + ", not an Observation or None"));
      }
      return toCore(*observation);
    } catch (py::error_already_set& error) {
      failRead(error);
    }
  };
}

SnapshotBarrier barrierOf(const py::iterable& probes, const py::object& clock) {
  std::vector<SnapshotProbe> owned;
  for (const py::handle item : probes) {
    checkRecord<PythonProbe>(item, "probe", false);
    const PythonProbe& probe = recordOf<PythonProbe>(item)->value;
    owned.push_back(
        {probe.id, probe.supported, probe.read.object ? readerOf(probe.read.object) : ProbeRead()});
  }
  return {std::move(owned), toClock(clock)};
}

py::object capture(const SnapshotBarrier& barrier, py::handle system_id, py::handle epoch,
                   py::handle barrier_sequence, py::handle logical_time, py::handle budget_ns) {
  auto id = converted<std::string>(system_id, "system_id");
  const auto epochValue = converted<std::uint64_t>(epoch, "epoch");
  const auto sequence = converted<std::uint64_t>(barrier_sequence, "barrier_sequence");
  const auto time = converted<std::int64_t>(logical_time, "logical_time");
  const auto budget = converted<std::uint64_t>(budget_ns, "budget_ns");
  RuntimeStateSnapshot snapshot;
  {
    const py::gil_scoped_release released;
    snapshot = barrier.capture(std::move(id), epochValue, sequence, time, budget);
  }
  return newRecord(std::move(snapshot));
}

}  // namespace

template <>
struct Layout<PythonProbe> {
  static constexpr const char* kName = "SnapshotProbe";
  static constexpr std::size_t kPositional = 3;
  static constexpr std::size_t kRequired = 2;
  static constexpr std::array kFields{field<&PythonProbe::id>("id"),
                                      field<&PythonProbe::read>("read"),
                                      field<&PythonProbe::supported>("supported")};
};

void bindBarrier(py::module_& module) {
  bindRecord<PythonProbe>(module,
                          "One subject a barrier reads: `read` returns an Observation or None.");

  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (PythonEscape& escape) {
      escape.error.restore();
    }
  });

  py::class_<SnapshotBarrier> barrier(module, "SnapshotBarrier",
                                      "Owns a fixed set of probes, sorted by id, and the clock "
                                      "that measures every capture's budget.");
  barrier.def(py::init(&barrierOf), py::arg("probes"), py::arg("clock") = py::none());
  barrier.def("capture", &capture, py::arg("system_id"), py::arg("epoch"),
              py::arg("barrier_sequence"), py::arg("logical_time") = 0,
              py::arg("budget_ns") = 1'000'000'000,
              "Reads every probe once, in id order, and returns the snapshot of the barrier.");
  barrier.attr("__module__") = "quillon_monitoring";

  module.def(
      "is_consistent",
      [](const Record<RuntimeStateSnapshot>& snapshot) { return isConsistent(toCore(snapshot)); },
      py::arg("snapshot"),
      "Tells whether the snapshot is complete and every subject is captured with an observation "
      "of its system and epoch.");
  module.def(
      "belongs_to_epoch",
      [](const Record<Observation>& observation, py::handle epoch) {
        // The epoch is a plain member: the record's own value holds it.
        return belongsToEpoch(observation.value, converted<std::uint64_t>(epoch, "epoch"));
      },
      py::arg("observation"), py::arg("epoch"),
      "Tells whether the observation has a non-zero epoch equal to `epoch`.");
}

}  // namespace Quillon::Core::Monitoring::Python
