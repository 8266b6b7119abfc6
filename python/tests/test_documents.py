"""Documents written and read from Python are the bytes C++ writes and reads: the committed seeds
and the examples of docs/format.md; the readers' errors; compare; the exposition as
prometheus_client parses it."""
import json
import re
import sys

import pytest
import quillon_monitoring as qm
from fixtures import (E, ROOT, barrier, complete_scenario, counter_clock, engine_example, fixture,
                      seed, system_example)
from prometheus_client.openmetrics.parser import text_string_to_metric_families

sys.path.insert(0, str(ROOT / "monitoring" / "tests"))
from check_expositions import expected_samples  # noqa: E402  the C++ exposition test's oracle


def extremes():
    record = engine_example()
    record.epoch, record.logical_time, record.observed.pressure = 2**64 - 1, -2**63, 5e-324
    return record


def raw_high_bytes():
    record = engine_example()
    record.declared.type = b"\xff\xfe\xc3".decode("utf-8", "surrogateescape")
    return record


def partial_example():
    return barrier({"system:lab": system_example, "device:host/gpu-0": lambda: None},
                   counter_clock(10)).capture("lab", 1, 3, 7, 100)


WRITTEN = {
    "engine_example": engine_example, "system_example": system_example, "extremes": extremes,
    "raw_high_bytes": raw_high_bytes, "partial_snapshot": partial_example,
    "complete_snapshot": complete_scenario,
    "fixture": lambda: fixture(E.engine, "transformer", "gpu-0", 4, 2),
}
OBSERVATIONS = ["engine_example", "escapes", "escapes_upper", "extremes", "fixture",
                "raw_high_bytes", "reordered", "spaced", "spaced_engine", "system_example"]
SNAPSHOTS = ["complete_snapshot", "every_name", "numbers", "numbers_spaced", "partial_snapshot"]
CANONICAL = {"engine_example", "extremes", "fixture", "raw_high_bytes", "system_example",
             "complete_snapshot", "every_name", "partial_snapshot"}


@pytest.mark.parametrize("name", sorted(WRITTEN))
def test_python_writes_the_bytes_of_the_seed(name):
    assert WRITTEN[name]().to_canonical_json().encode("utf-8", "surrogateescape") == seed(name)


def test_python_writes_every_example_of_the_format_page():
    page = (ROOT / "docs" / "format.md").read_text()
    examples = re.findall(r"Example \(written on one line\):\n\n```json\n(.*)\n```", page)
    assert len(examples) == 2
    assert set(examples) <= {make().to_canonical_json() for make in WRITTEN.values()}


@pytest.mark.parametrize("read, name", [(qm.read_observation, name) for name in OBSERVATIONS] +
                         [(qm.read_runtime_state, name) for name in SNAPSHOTS])
def test_every_valid_seed_reads_back_as_str_and_as_bytes(read, name):
    record = read(seed(name))
    text = record.to_canonical_json()
    assert read(seed(name).decode("utf-8", "surrogateescape")) == record
    assert read(text.encode("utf-8", "surrogateescape")) == record == read(text)
    assert (text.encode("utf-8", "surrogateescape") == seed(name)) == (name in CANONICAL)


def renamed(text):  # a non-ASCII id before the fault: its offset counts bytes, not characters
    return text.replace('"id":"transformer"', '"id":"tr\u00e4nsformer","colour":1')


@pytest.mark.parametrize("read, text, reason, at", [
    (qm.read_observation, seed("duplicate"), 'duplicate member "epoch"', b'"epoch"'),
    (qm.read_observation, seed("truncated"), "unterminated string", None),
    (qm.read_observation, renamed(seed("engine_example").decode()), 'unknown member "colour"',
     b'"colour"'),
    (qm.read_runtime_state, seed("engine_example"), 'unknown member "declared"', b'"declared"'),
])
def test_a_refused_text_raises_the_readers_message_at_its_byte(read, text, reason, at):
    raw = text if isinstance(text, bytes) else text.encode()
    offset = len(raw) if at is None else raw.rindex(at)
    with pytest.raises(qm.DocumentError) as raised:
        read(text)
    assert isinstance(raised.value, ValueError) and raised.value.offset == offset
    assert str(raised.value) == f"invalid document at byte {offset}: {reason}"


def test_a_document_is_str_or_bytes():
    with pytest.raises(TypeError, match="document must be str or bytes, not bytearray"):
        qm.read_observation(bytearray(seed("fixture")))


def test_compare_reports_changes_through_nested_records():
    before, after = qm.read_runtime_state(seed("partial_snapshot")), partial_example()
    assert qm.compare(before, after) == []
    after.epoch = 2
    after.subjects[1].observation.observed_at_ns = 5
    assert qm.compare(before, after) == [
        qm.Change(pointer="/epoch", before="1", after="2"),
        qm.Change(subject="system:lab", pointer="/observation/observed_at_ns", before="0",
                  after="5")]
    after.subjects.reverse()
    with pytest.raises(ValueError, match="^snapshot subjects require unique non-empty ids in "):
        qm.compare(before, after)


def hostile_ids():
    def read(id):
        observation = fixture(E.engine, id.split("/")[1], "gpu-0", 4, 1)
        observation.system_id = "lab\udcff"
        return observation

    ids = ['engine:gpu-0/%"q', "engine:gpu-0/\udcff\udcfe", "engine:gpu-0/\x7f\u00e9",
           "engine:gpu-0/not\nan id"]
    snapshot = barrier({id: (lambda id=id: read(id)) for id in ids}, counter_clock(0)).capture(
        "lab\udcff", 4, 1)
    assert [s.status.name for s in snapshot.subjects] == ["captured", "invalid", "captured", "captured"]
    return snapshot


@pytest.mark.parametrize("snapshot", [
    lambda: qm.read_runtime_state(seed("partial_snapshot")), complete_scenario, hostile_ids,
    lambda: qm.read_runtime_state(seed("every_name"))])
def test_prometheus_client_reads_the_samples_the_document_implies(snapshot):
    snapshot = snapshot()
    families = text_string_to_metric_families(qm.to_openmetrics(snapshot))
    found = [(s.name, tuple(sorted(s.labels.items())), s.value)
             for family in families for s in family.samples]
    assert found == expected_samples(json.loads(snapshot.to_canonical_json()))
