"""Signatures of the compiled part of quillon_monitoring (see docs/python.md)."""
from typing import Callable, ClassVar, Iterable

from ._base import EntityKind, HealthState, LifecycleState, SnapshotStatus, SubjectStatus

class EntityIdentity:
    """Who an observed entity is, and where it sits."""
    kind: EntityKind
    id: str
    parent: str | None
    def __init__(self, kind: EntityKind, id: str, parent: str | None = None) -> None: ...
    def subject_key(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class DeclaredState:
    """What was declared for an entity."""
    type: str
    config_hash: str
    attributes: dict[str, str]
    def __init__(self, *, type: str = "", config_hash: str = "",
                 attributes: dict[str, str] = ...) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class PlannedState:
    """Where an entity is planned to be placed."""
    host_id: str | None
    device_id: str | None
    placement_hash: str
    attributes: dict[str, str]
    def __init__(self, *, host_id: str | None = None, device_id: str | None = None,
                 placement_hash: str = "", attributes: dict[str, str] = ...) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class ObservedState:
    """What was last observed about an entity."""
    lifecycle: LifecycleState
    health: HealthState
    ready: bool
    pressure: float
    last_observed_ns: int
    attributes: dict[str, str]
    def __init__(self, *, lifecycle: LifecycleState = ..., health: HealthState = ...,
                 ready: bool = False, pressure: float = 0.0, last_observed_ns: int = 0,
                 attributes: dict[str, str] = ...) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Observation:
    """One monitored entity of one system at one moment."""
    schema: str
    system_id: str
    epoch: int
    sequence: int
    logical_time: int
    observed_at_ns: int
    entity: EntityIdentity
    declared: DeclaredState | None
    planned: PlannedState | None
    observed: ObservedState | None
    extensions: dict[str, str]
    def __init__(self, *, schema: str = "velmor-observability/1", system_id: str = "",
                 epoch: int = 0, sequence: int = 0, logical_time: int = 0,
                 observed_at_ns: int = 0, entity: EntityIdentity = ...,
                 declared: DeclaredState | None = None, planned: PlannedState | None = None,
                 observed: ObservedState | None = None,
                 extensions: dict[str, str] = ...) -> None: ...
    def validate(self) -> list[str]: ...
    def to_canonical_json(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class SubjectResult:
    """One subject of a snapshot."""
    id: str
    status: SubjectStatus
    diagnostic: str
    observation: Observation | None
    def __init__(self, *, id: str = "", status: SubjectStatus = ..., diagnostic: str = "",
                 observation: Observation | None = None) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class RuntimeStateSnapshot:
    """The state of a system's subjects at one logical barrier."""
    schema: str
    system_id: str
    epoch: int
    barrier_sequence: int
    logical_time: int
    captured_at_ns: int
    deadline_ns: int
    status: SnapshotStatus
    subjects: list[SubjectResult]
    def __init__(self, *, schema: str = "velmor-runtime-state/1", system_id: str = "",
                 epoch: int = 0, barrier_sequence: int = 0, logical_time: int = 0,
                 captured_at_ns: int = 0, deadline_ns: int = 0, status: SnapshotStatus = ...,
                 subjects: list[SubjectResult] = ...) -> None: ...
    def to_canonical_json(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class SnapshotProbe:
    """One subject a barrier reads: `read` returns an Observation or None."""
    id: str
    read: Callable[[], Observation | None] | None
    supported: bool
    def __init__(self, id: str, read: Callable[[], Observation | None] | None,
                 supported: bool = True) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class SnapshotBarrier:
    """Owns a fixed set of probes, sorted by id, and the clock that measures every capture's
    budget."""
    def __init__(self, probes: Iterable[SnapshotProbe],
                 clock: Callable[[], int] | None = None) -> None: ...
    def capture(self, system_id: str, epoch: int, barrier_sequence: int, logical_time: int = 0,
                budget_ns: int = 1_000_000_000) -> RuntimeStateSnapshot: ...

class Change:
    """One difference between two runtime-state documents."""
    subject: str
    pointer: str
    before: str
    after: str
    def __init__(self, *, subject: str = "", pointer: str = "", before: str = "",
                 after: str = "") -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def is_consistent(snapshot: RuntimeStateSnapshot) -> bool: ...
def belongs_to_epoch(observation: Observation, epoch: int) -> bool: ...
def read_observation(document: str | bytes) -> Observation: ...
def read_runtime_state(document: str | bytes) -> RuntimeStateSnapshot: ...
def compare(before: RuntimeStateSnapshot, after: RuntimeStateSnapshot) -> list[Change]: ...
def to_openmetrics(snapshot: RuntimeStateSnapshot) -> str: ...
