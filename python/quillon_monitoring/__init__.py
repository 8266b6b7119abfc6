"""Quillon Monitoring for Python: validated observations, canonical JSON documents and
fail-closed runtime-state snapshots, through the library's own C++ code.

A document written here is byte for byte the one C++ writes. See docs/python.md.
"""
from . import _core
from ._base import (DocumentError, EntityKind, HealthState, LifecycleState, SnapshotStatus,
                    SubjectStatus)
from ._core import (Change, DeclaredState, EntityIdentity, Observation, ObservedState,
                    PlannedState, RuntimeStateSnapshot, SnapshotBarrier, SnapshotPart,
                    SnapshotProbe, SubjectResult, belongs_to_epoch, compare, compose,
                    is_consistent, read_observation, read_runtime_state, to_openmetrics)

__all__ = [
    "Change", "DeclaredState", "DocumentError", "EntityIdentity", "EntityKind", "HealthState",
    "LifecycleState", "Observation", "ObservedState", "PlannedState", "RuntimeStateSnapshot",
    "SnapshotBarrier", "SnapshotPart", "SnapshotProbe", "SnapshotStatus", "SubjectResult",
    "SubjectStatus", "belongs_to_epoch", "compare", "compose", "is_consistent",
    "read_observation", "read_runtime_state", "to_openmetrics",
]

# A build without the HTTP exporter library has neither name: hasattr(quillon_monitoring,
# "HttpExporter") tells which build this is.
if hasattr(_core, "HttpExporter"):
    from ._core import BarrierRequest, HttpExporter
    __all__ += ["BarrierRequest", "HttpExporter"]
