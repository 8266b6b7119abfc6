"""The example of docs/python.md: two probes of a serving process captured at one barrier, the
document and the exposition, the document read back and compared with the next barrier, then the
same barrier served over HTTP and scraped once.
Run with the package importable (docs/python.md, "Install"); the tests run it and check it with
mypy --strict against the package's stubs."""
from __future__ import annotations

import urllib.request

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

sequence = 2  # the barriers taken so far; the exporter runs one capture at a time


def capture(request: qm.BarrierRequest) -> qm.RuntimeStateSnapshot:
    """Every scrape captures anew, at the barrier its query names (?epoch=4&barrier_sequence=9)."""
    global sequence
    sequence = request.barrier_sequence or sequence + 1
    return barrier.capture("lab", request.epoch or 4, sequence, request.logical_time or 0,
                           request.budget_ns or 1_000_000_000)


with qm.HttpExporter(capture, listen="127.0.0.1:0") as exporter:  # a service: 127.0.0.1:9464
    url = f"http://127.0.0.1:{exporter.port}/snapshot?barrier_sequence=9"
    with urllib.request.urlopen(url) as answer:
        served = qm.read_runtime_state(answer.read())
    print(answer.status, served.barrier_sequence, served.status)
