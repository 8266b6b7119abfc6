// The compiled part of the package quillon_monitoring: the library's records, documents and
// barrier over the same C++ code that C++ programs link.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "values.hpp"

PYBIND11_MODULE(_core, module) {
  namespace qp = Quillon::Core::Monitoring::Python;
  module.doc() = "The compiled part of quillon_monitoring; import the package instead.";
  qp::loadEnumerations();
  qp::bindRecords(module);
  qp::bindBarrier(module);
  qp::bindDocuments(module);
  qp::bindCompose(module);
  qp::bindHttpExporter(module);
}
