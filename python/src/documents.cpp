// Reading documents, comparing snapshots and writing the exposition, each without the GIL once
// its input is the core's own.
#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <quillon/monitoring/compare.hpp>
#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/reader.hpp>

#include "bindings.hpp"
#include "records.hpp"

namespace Quillon::Core::Monitoring::Python {

namespace {

/// The UTF-8 bytes of a document given as str or bytes, and the object that keeps them alive.
/// Both are immutable, so the bytes can be read without the GIL.
struct DocumentText {
  py::object owner;
  std::string_view bytes;
};

DocumentText textOf(py::handle document) {
  if (PyBytes_Check(document.ptr())) {
    return {py::reinterpret_borrow<py::object>(document),
            {PyBytes_AS_STRING(document.ptr()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(document.ptr()))}};
  }
  if (!PyUnicode_Check(document.ptr())) {
    raise(PyExc_TypeError, "document must be str or bytes, not " + typeName(document));
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(document.ptr(), &size)) {
    return {py::reinterpret_borrow<py::object>(document), {utf8, static_cast<std::size_t>(size)}};
  }
  PyErr_Clear();
  const py::bytes encoded = py::reinterpret_steal<py::bytes>(
      PyUnicode_AsEncodedString(document.ptr(), "utf-8", "surrogateescape"));
  if (!encoded) throw py::error_already_set();
  return textOf(encoded);
}

/// Returns what `read` makes of `document`, read without the GIL.
template <typename Read>
py::object readDocument(py::handle document, Read read) {
  const DocumentText text = textOf(document);
  decltype(read(text.bytes)) record;
  {
    const py::gil_scoped_release released;
    record = read(text.bytes);
  }
  return newRecord(std::move(record));
}

}  // namespace

void bindDocuments(py::module_& module) {
  py::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const DocumentError& error) {
      const py::object type = py::module_::import("quillon_monitoring._base").attr("DocumentError");
      const py::object raised = type(toStr(error.what()), error.offset());
      PyErr_SetObject(type.ptr(), raised.ptr());
    }
  });

  module.def(
      "read_observation",
      [](py::handle document) { return readDocument(document, readObservation); },
      py::arg("document"),
      "Returns the Observation a document (str or bytes) describes; raises DocumentError.");
  module.def(
      "read_runtime_state",
      [](py::handle document) { return readDocument(document, readRuntimeState); },
      py::arg("document"),
      "Returns the RuntimeStateSnapshot a document (str or bytes) describes; raises "
      "DocumentError.");

  bindRecord<Change>(module, "One difference between two runtime-state documents.");
  module.def(
      "compare",
      [](const Record<RuntimeStateSnapshot>& before, const Record<RuntimeStateSnapshot>& after) {
        const RuntimeStateSnapshot left = toCore(before);
        const RuntimeStateSnapshot right = toCore(after);
        std::vector<Change> changes;
        {
          const py::gil_scoped_release released;
          changes = compare(left, right);
        }
        py::list result(changes.size());
        for (std::size_t at = 0; at < changes.size(); ++at)
          result[at] = newRecord(std::move(changes[at]));
        return result;
      },
      py::arg("before"), py::arg("after"),
      "Returns the differences from `before` to `after`, each at a JSON Pointer.");
  module.def(
      "to_openmetrics",
      [](const Record<RuntimeStateSnapshot>& snapshot) {
        const RuntimeStateSnapshot core = toCore(snapshot);
        std::string text;
        {
          const py::gil_scoped_release released;
          text = toOpenMetrics(core);
        }
        return toStr(text);
      },
      py::arg("snapshot"), "Returns the snapshot as OpenMetrics (and Prometheus) text.");
}

}  // namespace Quillon::Core::Monitoring::Python
