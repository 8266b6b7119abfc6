"""Capture from Python: the conformance scenarios' barriers with their fixture observations (the
documents they give are in test_documents.py), every way a Python read can fail, what leaves
capture instead (BaseException, the clock), and captures from several threads at once."""
import sys
import threading

import pytest
import quillon_monitoring as qm
from fixtures import E, barrier, complete_scenario, counter_clock, fixture

S = qm.SubjectStatus
ENGINE = "engine:gpu-0/transformer"


def test_a_complete_capture_is_consistent_and_in_id_order():
    snapshot = complete_scenario()
    assert qm.is_consistent(snapshot) and snapshot.status == qm.SnapshotStatus.complete
    assert [s.id for s in snapshot.subjects] == ["device:host/gpu-0", ENGINE]
    assert qm.belongs_to_epoch(snapshot.subjects[0].observation, 4)
    assert not qm.belongs_to_epoch(snapshot.subjects[0].observation, 5)


def test_unsupported_missing_and_late_subjects_say_why():
    now = [0]

    def late():
        now[0] = 100  # the read itself takes until 100, past the deadline of 10
        return fixture(E.tensor, "late", "engine", 3, 1)

    snapshot = barrier({"artifact:lab/model": None, "session:engine/missing": lambda: None,
                        "tensor:engine/late": late}, lambda: now[0]).capture("lab", 3, 1, 0, 10)
    assert [(s.status, s.diagnostic) for s in snapshot.subjects] == [
        (S.unsupported, "probe capability is not supported"),
        (S.missing, "probe returned no observation"),
        (S.deadline_exceeded, "probe completed after snapshot deadline")]


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


def raising(error):
    def read():
        raise error
    return read


def with_attribute(value):
    observation = fixture(E.engine, "transformer", "gpu-0", 4, 2)
    observation.observed.attributes["queue"] = value
    return lambda: observation


def encoding_error():
    try:
        "\ud800".encode("utf-8", "surrogateescape")
    except UnicodeEncodeError as error:
        return str(error)


@pytest.mark.parametrize("read, status, diagnostic", [
    (raising(RuntimeError('sensor offline: "gpu-0"')), S.invalid, 'sensor offline: "gpu-0"'),
    (raising(ValueError()), S.invalid, ""),
    (raising(OSError("\udcff")), S.invalid, "\udcff"),
    (raising(Unprintable()), S.invalid, "Unprintable"),
    (lambda: 42, S.invalid, "probe returned int, not an Observation or None"),
    (lambda: qm.ObservedState(), S.invalid, "probe returned ObservedState, not an Observation or None"),
    (lambda: qm.Observation.__new__(qm.Observation), S.invalid,
     "probe returned an Observation its constructor never made"),
    (lambda: None, S.missing, "probe returned no observation"),
    (lambda: fixture(E.engine, "other", "gpu-0", 4, 2), S.invalid, "probe returned invalid identity or state"),
    (lambda: fixture(E.engine, "transformer", "gpu-0", 3, 2), S.stale_epoch, "probe observation belongs to another epoch"),
    (with_attribute(4), S.invalid, "attributes must map str to str, not str to int"),
    (with_attribute("\ud800"), S.invalid, encoding_error()),
    (with_attribute("4"), S.captured, ""),
])
def test_a_python_read_decides_its_subject_as_the_core_does(read, status, diagnostic):
    snapshot = barrier({ENGINE: read, "system:lab": lambda: None}).capture("lab", 4, 1)
    assert (snapshot.subjects[0].status, snapshot.subjects[0].diagnostic) == (status, diagnostic)
    assert snapshot.subjects[1].status == S.missing  # the capture went on


class Stop(BaseException):
    pass


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), Stop()])
def test_a_base_exception_from_a_read_leaves_capture(error):
    later = []
    probes = barrier({"a:x": raising(error), "b:x": lambda: later.append(1)})
    with pytest.raises(type(error)) as raised:
        probes.capture("lab", 4, 1)
    assert raised.value is error and later == []


@pytest.mark.parametrize("failing_reading", [1, 2, 3, 4])
def test_anything_the_clock_raises_leaves_capture(failing_reading):
    # Readings: the start, before the read, judging the read (inside the core's guard), the end.
    readings = counter_clock(1)

    def clock():
        reading = readings()
        if reading == failing_reading:
            raise ValueError("clock stopped")
        return reading

    with pytest.raises(ValueError, match="^clock stopped$"):
        barrier({ENGINE: lambda: fixture(E.engine, "transformer", "gpu-0", 4, 2)}, clock).capture(
            "lab", 4, 1)


@pytest.mark.parametrize("reading, error", [(-1, OverflowError), (2**64, OverflowError),
                                            (1.5, TypeError), (None, TypeError)])
def test_a_clock_reading_that_is_no_unsigned_integer_leaves_capture(reading, error):
    with pytest.raises(error, match="^clock reading must be"):
        barrier({ENGINE: lambda: None}, lambda: reading).capture("lab", 4, 1)


def test_a_barrier_refuses_what_the_core_refuses_and_defaults_as_it_does():
    with pytest.raises(ValueError, match="^supported snapshot probe requires read callback$"):
        qm.SnapshotBarrier([qm.SnapshotProbe(ENGINE, None)])
    with pytest.raises(TypeError, match="^probe must be SnapshotProbe, not str$"):
        qm.SnapshotBarrier([ENGINE])
    snapshot = barrier({}, lambda: 7).capture("lab", 4, 1)
    assert (snapshot.logical_time, snapshot.deadline_ns) == (0, 7 + 1_000_000_000)


def test_captures_from_several_threads_at_once_agree():
    probes = barrier({f"engine:gpu-0/e{i:03}": (lambda i=i: fixture(E.engine, f"e{i:03}", "gpu-0",
                                                                      4, 1)) for i in range(100)},
                     lambda: 7)
    expected = probes.capture("lab", 4, 1).to_canonical_json()
    documents = []

    def run():
        documents.extend(probes.capture("lab", 4, 1).to_canonical_json() for _ in range(20))

    threads = [threading.Thread(target=run) for _ in range(4)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # the threads take turns between reads, not between captures
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert documents == [expected] * 80
