// The compiled part of the package quillon_monitoring: the library's records, documents and
// barrier over the same C++ code that C++ programs link.
#include <exception>
#include <stdexcept>

#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "values.hpp"

PYBIND11_MODULE(_core, module) {
  namespace qp = Quillon::Core::Monitoring::Python;
  module.doc() = "The compiled part of quillon_monitoring; import the package instead.";
  // The library's errors as Python's, their messages decoded as every string is: a message may
  // quote the caller's own bytes (a file name, an address), which must not turn the error into a
  // UnicodeDecodeError. Registered first, so that the translators registered by the bindings
  // (DocumentError, a Python error leaving a capture) are tried before it.
  pybind11::register_local_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const std::invalid_argument& error) {
      PyErr_SetObject(PyExc_ValueError, qp::toStr(error.what()).ptr());
    } catch (const std::runtime_error& error) {
      PyErr_SetObject(PyExc_RuntimeError, qp::toStr(error.what()).ptr());
    }
  });
  qp::loadEnumerations();
  qp::bindRecords(module);
  qp::bindBarrier(module);
  qp::bindDocuments(module);
  qp::bindCompose(module);
  qp::bindHttpExporter(module);
}
