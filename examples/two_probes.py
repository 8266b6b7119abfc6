"""The example of docs/python.md: two probes of a serving process captured at one barrier, the
document and the exposition, then the document read back and compared with the next barrier.
Run with the package importable (docs/python.md, "Install"); the tests run it and check it with
mypy --strict against the package's stubs."""
from __future__ import annotations

import quillon_monitoring as qm

queue = {"transformer": 3}  # the runtime's own state, which the probes read


def transformer() -> qm.Observation:
    return qm.Observation(
        system_id="lab", epoch=4, sequence=2,
        entity=qm.EntityIdentity(qm.EntityKind.engine, "transformer", "gpu-0"),
        observed=qm.ObservedState(lifecycle=qm.LifecycleState.running,
                                  health=qm.HealthState.healthy, ready=True, pressure=0.25,
                                  attributes={"queue": str(queue["transformer"])}))


def gpu() -> qm.Observation | None:
    return None  # cannot be read right now: the subject is missing, never invented


barrier = qm.SnapshotBarrier([qm.SnapshotProbe("engine:gpu-0/transformer", transformer),
                              qm.SnapshotProbe("device:host/gpu-0", gpu)])
snapshot = barrier.capture("lab", epoch=4, barrier_sequence=1)
for subject in snapshot.subjects:
    print(subject.id, subject.status, subject.diagnostic)
print(snapshot.to_canonical_json())
print(qm.to_openmetrics(snapshot), end="")

back = qm.read_runtime_state(snapshot.to_canonical_json())
assert back == snapshot and not qm.is_consistent(back)
changes: list[qm.Change] = qm.compare(back, barrier.capture("lab", 4, 2))
print([(change.pointer, change.before, change.after) for change in changes])
