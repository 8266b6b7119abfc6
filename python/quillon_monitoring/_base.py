"""The parts of quillon_monitoring written in Python: the document enumerations and DocumentError.

The compiled module checks, when it is imported, that every enumeration here holds exactly the
names and values of the library's own, so the two can never disagree.
"""
import enum


class _DocumentEnum(enum.IntEnum):
    """An enumeration whose members print as the names the documents use: str(EntityKind.engine)
    and f"{EntityKind.engine}" are "engine", as EntityKind.engine.name is."""

    def __str__(self) -> str:
        return self.name

    def __format__(self, spec: str) -> str:
        return format(self.name, spec)

    def __repr__(self) -> str:
        return f"{type(self).__name__}.{self.name}"


class EntityKind(_DocumentEnum):
    """What sort of entity a record describes. Only `system` has rules of its own."""
    system = 0
    host = 1
    device = 2
    engine = 3
    network = 4
    module = 5
    run = 6
    session = 7
    artifact = 8
    tensor = 9
    trace = 10
    unknown = 11


class HealthState(_DocumentEnum):
    """Observed health of an entity."""
    unknown = 0
    healthy = 1
    degraded = 2
    unhealthy = 3


class LifecycleState(_DocumentEnum):
    """Observed lifecycle stage of an entity."""
    declared = 0
    provisioning = 1
    ready = 2
    running = 3
    paused = 4
    stopping = 5
    stopped = 6
    failed = 7
    unknown = 8


class SnapshotStatus(_DocumentEnum):
    """Whether every subject of a snapshot was captured."""
    complete = 0
    partial = 1


class SubjectStatus(_DocumentEnum):
    """The outcome of one subject of a capture."""
    captured = 0
    missing = 1
    unsupported = 2
    stale_epoch = 3
    deadline_exceeded = 4
    invalid = 5


class DocumentError(ValueError):
    """A text that is not an acceptable document. str(error) is the reader's message,
    "invalid document at byte N: REASON"; `offset` is N, the byte of the UTF-8 text where it stops
    being acceptable (its length when it ends too early)."""

    def __init__(self, message: str, offset: int) -> None:
        super().__init__(message)
        self.offset = offset

    def __reduce__(self) -> tuple[type["DocumentError"], tuple[str, int]]:
        return type(self), (str(self), self.offset)


# Users import these from the package, which is where pickle and repr should look for them too.
for _public in (EntityKind, HealthState, LifecycleState, SnapshotStatus, SubjectStatus,
                DocumentError):
    _public.__module__ = "quillon_monitoring"
