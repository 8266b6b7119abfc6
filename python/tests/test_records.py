"""The records from Python: assignments through nested members reach the record whether it was
built or read, values out of a member's type or range are refused where they are given, strings
survive as bytes, and equality, repr and the enumerations behave as the documents name them."""
import copy

import pytest
import quillon_monitoring as qm
from fixtures import E, H, L, engine_example, seed, system_example

ORIGINS = {"built": engine_example, "read": lambda: qm.read_observation(seed("engine_example"))}


def put(member, key, value):
    member[key] = value


@pytest.mark.parametrize("origin", sorted(ORIGINS))
@pytest.mark.parametrize("change, fragment", [
    (lambda o: setattr(o.observed, "pressure", 0.5), '"pressure":0.5,'),
    (lambda o: put(o.observed.attributes, "queue", "4"), '"queue":"4"'),
    (lambda o: o.declared.attributes.clear(), '"declared":{"attributes":{}'),
    (lambda o: setattr(o.planned, "device_id", "gpu-1"), '"device_id":"gpu-1"'),
    (lambda o: setattr(o.entity, "parent", "gpu-1"), '"parent":"gpu-1"'),
    (lambda o: put(o.extensions, "origin", "test"), '"extensions":{"origin":"test"}'),
    (lambda o: setattr(o, "observed", None), '"observed":null'),
])
def test_an_assignment_through_a_nested_member_reaches_the_record(origin, change, fragment):
    record = ORIGINS[origin]()
    change(record)
    assert fragment in record.to_canonical_json()
    assert qm.read_observation(record.to_canonical_json()) == record != engine_example()


@pytest.mark.parametrize("make", [engine_example, system_example,
                                  lambda: qm.read_runtime_state(seed("partial_snapshot"))])
def test_repr_evaluates_to_an_equal_record(make):
    namespace = vars(qm)
    assert eval(repr(make()), namespace) == make()


def test_records_are_equal_by_value_unhashable_and_copied_deep():
    record = engine_example()
    assert record == ORIGINS["read"]() and record != system_example()
    assert record != record.to_canonical_json()
    with pytest.raises(TypeError):
        hash(record)
    for copied in (copy.copy(record), copy.deepcopy(record)):
        copied.observed.attributes["queue"] = "9"
        assert record.observed.attributes["queue"] == "3" and copied != record


@pytest.mark.parametrize("target, name, value, error", [
    (qm.Observation, "epoch", -1, OverflowError),
    (qm.Observation, "epoch", 2**64, OverflowError),
    (qm.Observation, "sequence", True, TypeError),
    (qm.Observation, "observed_at_ns", 1.0, TypeError),
    (qm.Observation, "logical_time", 2**63, OverflowError),
    (qm.Observation, "logical_time", -2**63 - 1, OverflowError),
    (qm.ObservedState, "pressure", "0.5", TypeError),
    (qm.ObservedState, "pressure", 10**400, OverflowError),
    (qm.ObservedState, "ready", 1, TypeError),
    (qm.ObservedState, "health", 1, TypeError),
    (qm.ObservedState, "lifecycle", H.healthy, TypeError),
    (qm.ObservedState, "attributes", {"queue": 4}, TypeError),
    (qm.Observation, "system_id", b"lab", TypeError),
    (qm.Observation, "system_id", "\ud800", UnicodeEncodeError),
    (qm.Observation, "entity", None, TypeError),
    (qm.Observation, "observed", qm.DeclaredState(), TypeError),
    (qm.Observation, "extensions", [], TypeError),
    (qm.PlannedState, "host_id", 7, TypeError),
    (qm.RuntimeStateSnapshot, "subjects", (), TypeError),
])
def test_a_value_out_of_type_or_range_is_refused_at_assignment(target, name, value, error):
    record = target()
    before = repr(record)
    with pytest.raises(error):
        setattr(record, name, value)
    with pytest.raises(error):
        target(**{name: value})
    assert repr(record) == before


@pytest.mark.parametrize("call, message", [
    (lambda: qm.SnapshotBarrier([]).capture("lab", -1, 1), "epoch must be an integer from 0 to"),
    (lambda: qm.SnapshotBarrier([]).capture("lab", 1, 2**64), "barrier_sequence must be an "),
    (lambda: qm.SnapshotBarrier([]).capture("lab", 1, 1, 2**63), "logical_time must be an "),
    (lambda: qm.SnapshotBarrier([]).capture("lab", 1, 1, 0, -5), "budget_ns must be an "),
    (lambda: qm.belongs_to_epoch(system_example(), 2**64), "epoch must be an integer from 0"),
])
def test_an_integer_out_of_range_is_refused_at_the_call(call, message):
    with pytest.raises(OverflowError, match=f"^{message}"):
        call()


def test_a_dict_or_list_that_no_longer_holds_its_kind_is_refused_where_it_is_used():
    record = engine_example()
    record.observed.attributes["queue"] = 4
    for use in (record.validate, record.to_canonical_json):
        with pytest.raises(TypeError, match="^attributes must map str to str, not str to int$"):
            use()
    with pytest.raises(TypeError, match="^subject must be SubjectResult, not int$"):
        qm.RuntimeStateSnapshot(subjects=[1]).to_canonical_json()


HOSTILE = ["\udcff\udcfe\udc80", "\x00\x1f\"\\/\x7f", "\u00e9\U0001F600", "\udced\udca0\udc80", ""]


@pytest.mark.parametrize("text", HOSTILE)
def test_hostile_strings_round_trip_through_surrogateescape(text):
    record = engine_example()
    record.declared = qm.DeclaredState(type=text, config_hash=text, attributes={text: text})
    record.observed.attributes[text + "k"] = text
    record.extensions = {"x" + text: text}
    if text and "\x00" not in text:  # identifiers take no control byte and no separator
        record.system_id = record.entity.id = record.entity.parent = text
        record.entity.kind = E.system
        record.entity.parent = None
    assert record.validate() == []
    written = record.to_canonical_json().encode("utf-8", "surrogateescape")
    back = qm.read_observation(written)
    assert back == record and back.to_canonical_json().encode("utf-8", "surrogateescape") == written
    assert back.declared.type == text


def test_validate_lists_the_cores_messages_and_the_document_refuses():
    assert qm.Observation().validate() == [
        "invalid system_id", "epoch must be non-zero", "invalid entity id"]
    record = engine_example()
    record.observed.pressure = -1.0
    assert record.validate() == ["pressure must be finite and in [0,1]"]
    with pytest.raises(ValueError, match="^invalid observation$"):
        qm.Observation().to_canonical_json()


@pytest.mark.parametrize("call, message", [
    (lambda: qm.EntityIdentity(E.system, "lab", None, 1), r"EntityIdentity\(\) takes at most 3 "),
    (lambda: qm.EntityIdentity(E.system), r"EntityIdentity\(\) missing required argument 'id'"),
    (lambda: qm.SnapshotProbe("system:lab"), r"SnapshotProbe\(\) missing required argument 'read'"),
    (lambda: qm.ObservedState(colour="red"), "unexpected keyword argument 'colour'"),
    (lambda: qm.EntityIdentity(E.system, "lab", id="x"), "multiple values for argument 'id'"),
])
def test_the_constructors_take_arguments_as_a_python_function_does(call, message):
    with pytest.raises(TypeError, match=message):
        call()


@pytest.mark.parametrize("member", [*E, *H, *L, *qm.SnapshotStatus, *qm.SubjectStatus])
def test_an_enumeration_member_prints_as_the_documents_name_it(member):
    assert str(member) == f"{member}" == member.name
    assert repr(member) == f"{type(member).__name__}.{member.name}"
    if isinstance(member, E):
        assert qm.EntityIdentity(member, "x").subject_key() == f"{member}:x"
