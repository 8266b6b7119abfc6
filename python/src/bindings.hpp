// The parts of the module quillon_monitoring._core, each defined by its own source file.
#ifndef QUILLON_PYTHON_BINDINGS_HPP
#define QUILLON_PYTHON_BINDINGS_HPP

#include <pybind11/pybind11.h>

namespace Quillon::Core::Monitoring::Python {

/// Defines EntityIdentity, DeclaredState, PlannedState, ObservedState, Observation, SubjectResult
/// and RuntimeStateSnapshot.
void bindRecords(pybind11::module_& module);

/// Defines SnapshotProbe, SnapshotBarrier, is_consistent and belongs_to_epoch.
void bindBarrier(pybind11::module_& module);

/// Defines read_observation, read_runtime_state, Change, compare and to_openmetrics, and turns
/// the readers' errors into DocumentError.
void bindDocuments(pybind11::module_& module);

/// Defines SnapshotPart and compose.
void bindCompose(pybind11::module_& module);

/// Defines BarrierRequest and HttpExporter when the module is built with the HTTP exporter
/// library; nothing otherwise (without_http/http_exporter.cpp).
void bindHttpExporter(pybind11::module_& module);

}  // namespace Quillon::Core::Monitoring::Python

#endif  // QUILLON_PYTHON_BINDINGS_HPP
