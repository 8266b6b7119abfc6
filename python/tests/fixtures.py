"""What the tests share: the reader's committed seeds, which the C++ tests read too, and the
records of the documentation and the conformance scenarios built in Python."""
import itertools
import pathlib

import quillon_monitoring as qm

ROOT = pathlib.Path(__file__).resolve().parents[2]
SEEDS = ROOT / "fuzz" / "corpus" / "reader"
E, L, H = qm.EntityKind, qm.LifecycleState, qm.HealthState


def seed(name: str) -> bytes:
    return (SEEDS / name).read_bytes()


def fixture(kind: qm.EntityKind, id: str, parent: str, epoch: int,
            sequence: int) -> qm.Observation:
    """The conformance fixture (conformance/fixtures.cpp): system "lab", running and healthy."""
    return qm.Observation(
        system_id="lab", epoch=epoch, sequence=sequence, logical_time=100, observed_at_ns=1000,
        entity=qm.EntityIdentity(kind, id, parent),
        observed=qm.ObservedState(lifecycle=L.running, health=H.healthy, ready=True,
                                  pressure=0.2, last_observed_ns=999))


def engine_example() -> qm.Observation:
    """The observation example of docs/format.md."""
    return qm.Observation(
        system_id="lab", epoch=4, sequence=2, logical_time=100, observed_at_ns=1000,
        entity=qm.EntityIdentity(E.engine, "transformer", "gpu-0"),
        declared=qm.DeclaredState(type="inference", config_hash="cfg-7",
                                  attributes={"precision": "fp16"}),
        planned=qm.PlannedState(host_id="host", placement_hash="plan-3"),
        observed=qm.ObservedState(lifecycle=L.running, health=H.degraded, pressure=0.25,
                                  last_observed_ns=990, attributes={"queue": "3", "batch": "8"}))


def system_example() -> qm.Observation:
    return qm.Observation(system_id="lab", epoch=1, entity=qm.EntityIdentity(E.system, "lab"))


def counter_clock(start: int):
    """A clock that reads start, start + 1, ... (the conformance counterClock)."""
    return itertools.count(start).__next__


def barrier(reads: dict, clock=None) -> qm.SnapshotBarrier:
    """A barrier of one probe per id in `reads`; a read of None makes the probe unsupported."""
    return qm.SnapshotBarrier([qm.SnapshotProbe(id, read, read is not None)
                               for id, read in reads.items()], clock)


def complete_scenario() -> qm.RuntimeStateSnapshot:
    """The first M-02 scenario: two probes registered out of order, a counter clock from 10."""
    return barrier({"engine:gpu-0/transformer": lambda: fixture(E.engine, "transformer", "gpu-0", 4, 2),
                    "device:host/gpu-0": lambda: fixture(E.device, "gpu-0", "host", 4, 1)},
                   counter_clock(10)).capture("lab", 4, 9, 100, 100)
