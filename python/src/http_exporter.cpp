// The HTTP exporter from Python: a capture callable serving GET /metrics and GET /snapshot.
//
// The exporter's threads call the capture holding the GIL, so whoever waits for them must not
// hold it: making, closing and destroying the exporter release it, or a scrape in flight would
// wait for the GIL forever while its closer waited for the scrape. Whatever the callable raises
// or returns instead of a snapshot becomes the answer "500 capture failed: ...": a Python error
// cannot propagate from the exporter's thread.
#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

#include <quillon/monitoring/http_exporter.hpp>

#include "bindings.hpp"
#include "records.hpp"

namespace Quillon::Core::Monitoring::Python {

template <>
struct Layout<BarrierRequest> {
  static constexpr const char* kName = "BarrierRequest";
  static constexpr std::array kFields{field<&BarrierRequest::epoch>("epoch"),
                                      field<&BarrierRequest::barrier_sequence>("barrier_sequence"),
                                      field<&BarrierRequest::logical_time>("logical_time"),
                                      field<&BarrierRequest::budget_ns>("budget_ns")};
};

namespace {

/// Returns what the answer says of a capture that raised: str() of an Exception, the name of the
/// type of any other BaseException (which has no thread here to propagate to) or of an exception
/// whose text cannot be had.
std::string failureOf(const py::error_already_set& error) {
  if (error.matches(PyExc_Exception)) {
    try {
      return exceptionText(error);
    } catch (const py::error_already_set& unwritable) {
      return unwritable.what();
    } catch (const PythonEscape&) {  // str() itself raised a BaseException: the type still speaks
    }
  }
  return typeName(error.value());
}

/// Returns the core's capture function over the Python callable `capture`, which takes the
/// request's BarrierRequest and returns a RuntimeStateSnapshot. `thread` is set to the thread
/// running the callable while it runs (guarded by the GIL).
CaptureFunction captureOf(const py::object& capture, std::shared_ptr<std::thread::id> thread) {
  return [callable = sharedCallable(capture),
          thread = std::move(thread)](const BarrierRequest& request) -> RuntimeStateSnapshot {
    const py::gil_scoped_acquire gil;
    struct Running {
      std::thread::id& thread;
      explicit Running(std::thread::id& running) : thread(running) {
        thread = std::this_thread::get_id();
      }
      ~Running() { thread = {}; }
      Running(const Running&) = delete;
      Running& operator=(const Running&) = delete;
    } const running(*thread);
    std::string failure;
    try {
      const py::object result = (*callable)(newRecord(request));
      if (const auto* snapshot = recordOf<RuntimeStateSnapshot>(result)) return toCore(*snapshot);
      failure = "capture returned " + typeName(result) + ", not a RuntimeStateSnapshot";
    } catch (const py::error_already_set& error) {
      failure = failureOf(error);
    }
    throw std::runtime_error(failure);
  };
}

class PythonExporter;

/// The module's open exporters, closed at the interpreter's exit while Python still runs: a
/// scrape in flight later would call into an interpreter that is being torn down. Guarded by the
/// GIL.
using OpenExporters = std::unordered_set<PythonExporter*>;

/// Python's HttpExporter: the core's exporter until it is closed.
class PythonExporter {
 public:
  PythonExporter(HttpExporterOptions options, const py::object& capture,
                 std::shared_ptr<OpenExporters> open)
      : open_(std::move(open)), capturing_(std::make_shared<std::thread::id>()) {
    CaptureFunction function = captureOf(capture, capturing_);
    {
      const py::gil_scoped_release released;
      exporter_ = std::make_unique<HttpExporter>(std::move(options), std::move(function));
    }
    open_->insert(this);
  }

  ~PythonExporter() {
    open_->erase(this);
    if (exporter_ && *capturing_ == std::this_thread::get_id()) {
      // The last reference went inside the capture, which the exporter's destructor would wait
      // for: another thread waits instead, once the capture has returned.
      std::thread([closing = std::move(exporter_)]() mutable { closing.reset(); }).detach();
      return;
    }
    stop();
  }

  PythonExporter(const PythonExporter&) = delete;
  PythonExporter& operator=(const PythonExporter&) = delete;

  /// Stops serving and waits for the requests in flight; harmless when closed. Raises
  /// RuntimeError from the exporter's own capture, which it would wait for.
  void close() {
    if (exporter_ && *capturing_ == std::this_thread::get_id()) {
      raise(PyExc_RuntimeError, "an http exporter cannot be closed from its own capture");
    }
    open_->erase(this);
    stop();
  }

  /// Stops serving without the GIL, which the requests in flight need; touches nothing of this
  /// object once the GIL is released.
  void stop() {
    std::unique_ptr<HttpExporter> closing = std::move(exporter_);
    const py::gil_scoped_release released;
    closing.reset();
  }

  [[nodiscard]] const HttpExporter& open() const {
    if (!exporter_) raise(PyExc_ValueError, "http exporter is closed");
    return *exporter_;
  }

  [[nodiscard]] bool closed() const { return !exporter_; }

 private:
  std::shared_ptr<OpenExporters> open_;
  std::shared_ptr<std::thread::id> capturing_;
  std::unique_ptr<HttpExporter> exporter_;
};

/// Closes every exporter in `open`, including any made meanwhile by another thread.
void closeAll(OpenExporters& open) {
  while (!open.empty()) {
    PythonExporter* exporter = *open.begin();
    open.erase(open.begin());
    exporter->stop();
  }
}

std::unique_ptr<PythonExporter> makeExporter(const py::object& capture, py::handle listen,
                                             const py::object& web_config_file,
                                             std::shared_ptr<OpenExporters> open) {
  if (PyCallable_Check(capture.ptr()) == 0) {
    raise(PyExc_TypeError, "capture must be callable, not " + typeName(capture));
  }
  HttpExporterOptions options{converted<std::string>(listen, "listen"), {}};
  if (!web_config_file.is_none()) {
    PyObject* path = PyOS_FSPath(web_config_file.ptr());
    if (path == nullptr) throw py::error_already_set();
    const auto held = py::reinterpret_steal<py::object>(path);
    options.web_config_file =
        PyBytes_Check(path) ? std::string(py::bytes(held)) : toBytes(held, "web_config_file");
    // The core reads an empty name as no configuration at all, which must be asked for as None.
    if (options.web_config_file.empty()) {
      raise(PyExc_ValueError, "web_config_file is empty; None serves without TLS or credentials");
    }
    // The file is opened by its C string: a name cut at a NUL would open another file.
    if (options.web_config_file.find('\0') != std::string::npos) {
      raise(PyExc_ValueError, "web_config_file holds a NUL byte");
    }
  }
  return std::make_unique<PythonExporter>(std::move(options), capture, std::move(open));
}

}  // namespace

void bindHttpExporter(py::module_& module) {
  bindRecord<BarrierRequest>(module,
                             "What one request asks of a capture; None where the query is silent.");
  py::class_<PythonExporter> type(module, "HttpExporter",
                                  "Serves GET /metrics and GET /snapshot from a capture per "
                                  "request, on threads of its own, until closed.");
  const auto open = std::make_shared<OpenExporters>();
  type.def(py::init([open](const py::object& capture, py::handle listen,
                           const py::object& web_config_file) {
             return makeExporter(capture, listen, web_config_file, open);
           }),
           py::arg("capture"), py::kw_only(), py::arg("listen") = "127.0.0.1:9464",
           py::arg("web_config_file") = py::none());
  py::module_::import("atexit").attr("register")(py::cpp_function([open] { closeAll(*open); }));
  type.def_property_readonly(
      "port", [](const PythonExporter& exporter) { return exporter.open().port(); },
      "The port bound (the free port chosen for port 0); ValueError once closed.");
  type.def_property_readonly(
      "secure", [](const PythonExporter& exporter) { return exporter.open().secure(); },
      "Whether connections speak TLS; ValueError once closed.");
  type.def_property_readonly("closed", &PythonExporter::closed);
  type.def("close", &PythonExporter::close,
           "Stops serving and waits for the requests in flight; harmless when closed.");
  type.def("__enter__", [](const py::object& self) {
    (void)self.cast<const PythonExporter&>().open();
    return self;
  });
  type.def("__exit__", [](PythonExporter& exporter, const py::args&) { exporter.close(); });
  type.attr("__module__") = "quillon_monitoring";
}

}  // namespace Quillon::Core::Monitoring::Python
