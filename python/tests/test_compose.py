"""compose from Python: what crosses the boundary (parts with and without snapshots, statuses,
the composer's clock, the core's refusals); the rules themselves are the C++ table's."""
import pytest
import quillon_monitoring as qm
from fixtures import complete_scenario

S = qm.SubjectStatus
IDS = ["device:host/gpu-0", "engine:gpu-0/transformer"]


def at_epoch(epoch):
    snapshot = complete_scenario()  # lab, epoch 4, barrier sequence 9, logical time 100
    snapshot.epoch = epoch
    return snapshot


@pytest.mark.parametrize("parts, subjects", [
    ([qm.SnapshotPart("rank0", complete_scenario())], [(id, S.captured, "") for id in IDS]),
    ([qm.SnapshotPart("rank1", None, S.deadline_exceeded, "no answer in 2s"),
      qm.SnapshotPart("rank2", status=S.captured)],
     [("rank1", S.deadline_exceeded, "no answer in 2s"),
      ("rank2", S.invalid, "part rank2 gave no snapshot and no reason")]),
    ([qm.SnapshotPart("rank3", at_epoch(3))],
     [(id, S.stale_epoch, "part rank3 answered epoch 3, the barrier is at epoch 4") for id in IDS]),
])
def test_parts_compose_by_the_cores_rules(parts, subjects):
    kept = repr(parts)
    snapshot = qm.compose(parts, "lab", 4, 9, 100, deadline_ns=50, clock=lambda: 42)
    assert [(s.id, s.status, s.diagnostic) for s in snapshot.subjects] == subjects
    assert (snapshot.captured_at_ns, snapshot.deadline_ns) == (42, 50)
    assert qm.is_consistent(snapshot) == (snapshot.status == qm.SnapshotStatus.complete)
    assert [s.observation for s in snapshot.subjects if s.observation] == (
        [s.observation for s in complete_scenario().subjects] if subjects[0][1] == S.captured
        else [])
    assert repr(parts) == kept  # the parts are copied, not moved from


def test_without_a_deadline_the_deadline_is_the_one_clock_reading():
    readings = iter([7])
    snapshot = qm.compose([qm.SnapshotPart("rank0", None, S.missing, "gone")], "lab", 4, 9,
                          clock=lambda: next(readings))
    assert (snapshot.logical_time, snapshot.captured_at_ns, snapshot.deadline_ns) == (0, 7, 7)


@pytest.mark.parametrize("call, error, message", [
    (lambda: qm.compose([qm.SnapshotPart("a"), qm.SnapshotPart("a")], "lab", 4, 9), ValueError,
     "snapshot parts require unique non-empty ids"),
    (lambda: qm.compose(["rank0"], "lab", 4, 9), TypeError, "part must be SnapshotPart, not str"),
    (lambda: qm.compose([], "lab", 4, 9, deadline_ns=-1), OverflowError, "deadline_ns must be"),
    (lambda: qm.compose([], "lab", 4, 9, clock=lambda: 1 / 0), ZeroDivisionError, "division"),
    (lambda: qm.SnapshotPart(), TypeError, "SnapshotPart\\(\\) missing required argument 'id'"),
])
def test_compose_refuses_what_the_core_refuses_and_lets_the_clock_raise(call, error, message):
    with pytest.raises(error, match=f"^{message}"):
        call()
