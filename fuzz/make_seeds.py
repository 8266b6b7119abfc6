#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) in the byte format that
fuzz_input.hpp decodes. The seeds are committed; run this again only when the format changes:

    python3 fuzz/make_seeds.py
"""
import math
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent
SYSTEM, HOST, DEVICE, ENGINE = 0, 1, 2, 3  # kinds
RUNNING, DEGRADED = 3, 2  # lifecycle, health


def u64(n):
    return struct.pack("<Q", n & 0xFFFFFFFFFFFFFFFF)


def small(n):
    return bytes([n]) if n < 0xFF else b"\xff" + u64(n)


def text(s):
    """Encodes a string; a (piece, copies) pair becomes a huge string of repeated pieces."""
    s, copies = s if isinstance(s, tuple) else (s, 1)
    s = s.encode() if isinstance(s, str) else s
    if copies == 1 and len(s) < 0xFF:
        return bytes([len(s)]) + s
    return b"\xff" + struct.pack("<H", copies - 1) + bytes([len(s)]) + s


def amap(entries):
    return bytes([len(entries)]) + b"".join(text(key) + text(value) for key, value in entries)


def observation(system_id="", epoch=0, sequence=0, logical_time=0, observed_at_ns=0,
                kind=SYSTEM, id="", parent=None, schema=None, declared=None, planned=None,
                observed=None, extensions=()):
    """declared: (type, config_hash, attributes); planned: (host_id, device_id, placement_hash,
    attributes); observed: (pressure, last_observed_ns, lifecycle, health, ready, attributes)."""
    flags = sum(bit for bit, present in (
        (1, schema is not None), (2, parent is not None), (4, declared), (8, planned),
        (16, observed), (32, planned and planned[0] is not None),
        (64, planned and planned[1] is not None), (128, observed and observed[4])) if present)
    out = bytes([flags]) + (text(schema) if schema is not None else b"") + text(system_id)
    out += u64(epoch) + u64(sequence) + u64(logical_time) + u64(observed_at_ns)
    out += struct.pack("<I", kind) + text(id) + (text(parent) if parent is not None else b"")
    if declared:
        out += text(declared[0]) + text(declared[1]) + amap(declared[2])
    if planned:
        out += b"".join(text(part) for part in planned[:3] if part is not None) + amap(planned[3])
    if observed:
        pressure, last, lifecycle, health, _, attributes = observed
        out += struct.pack("<IId", lifecycle, health, pressure) + u64(last) + amap(attributes)
    return out + amap(extensions)


def observed_section(pressure=0.5, last=0, lifecycle=RUNNING, health=1, ready=True, attributes=()):
    return (pressure, last, lifecycle, health, ready, list(attributes))


# The engine record of the documentation example, and the smallest valid record (the system).
ENGINE_EXAMPLE = observation(
    system_id="lab", epoch=4, sequence=2, logical_time=100, observed_at_ns=1000, kind=ENGINE,
    id="transformer", parent="gpu-0", declared=("inference", "cfg-7", [("precision", "fp16")]),
    planned=("host", None, "plan-3", []),
    observed=observed_section(0.25, 990, RUNNING, DEGRADED, False, [("queue", "3"), ("batch", "8")]))
SYSTEM_EXAMPLE = observation(system_id="lab", epoch=1, id="lab")
ENGINE_DOCUMENT = (
    b'{"declared":{"attributes":{"precision":"fp16"},"config_hash":"cfg-7","type":"inference"},'
    b'"entity":{"id":"transformer","kind":"engine","parent":"gpu-0"},"epoch":4,"extensions":{},'
    b'"logical_time":100,"observed":{"attributes":{"batch":"8","queue":"3"},"health":"degraded",'
    b'"last_observed_ns":990,"lifecycle":"running","pressure":0.25,"ready":false},'
    b'"observed_at_ns":1000,"planned":{"attributes":{},"device_id":null,"host_id":"host",'
    b'"placement_hash":"plan-3"},"schema":"velmor-observability/1","sequence":2,"system_id":"lab"}')
DOUBLES = [0.0, -0.0, 1.0, 0.5, 0.75, 0.1, 0.3, 0.0001, 0.00012, 0.00001, 2.0 ** -25, 1e16, 1e17,
           -1.5, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, math.nan, math.inf,
           -math.inf]

TEXT_WRITER_SEEDS = {
    "empty": b"",
    "observation_document": ENGINE_DOCUMENT,
    "escapes": b'quote " backslash \\ tab \t newline \n cr \r bs \b ff \f',
    "control_bytes": bytes(range(0x00, 0x20)) + b"\x7f/",
    "utf8": "caf\u00e9 \u65e5\u672c \U0001f600".encode(),
    "invalid_utf8": b"\xc3 \xed\xa0\x80 \xf4\x90\x80\x80 \xc0\xaf \xff",
    "map_pieces": b"b\xff2\xffa\xff1\xffA\xff0\xffab\xff\x00",
    "doubles": b"".join(struct.pack("<d", x) for x in DOUBLES),
}

OBSERVATION_SEEDS = {
    "engine_example": ENGINE_EXAMPLE,
    "system_example": SYSTEM_EXAMPLE,
    "default_record": observation(),
    "every_rule_broken": observation(schema="VELMOR-OBSERVABILITY/1", system_id="l b", id="",
                                     parent="", observed_at_ns=5,
                                     observed=observed_section(math.nan, 6)),
    "kind_outside_table": observation(system_id="lab", epoch=1, kind=12, id="x", parent="y",
                                      observed=observed_section(1.0, 0, 100, 4)),
    "negative_zero_pressure": observation(system_id="lab", epoch=1, id="lab",
                                          observed=observed_section(-0.0)),
    "infinite_pressure": observation(system_id="lab", epoch=1, id="lab",
                                     observed=observed_section(math.inf)),
    "nul_and_escapes": observation(system_id="lab", epoch=2**64 - 1, logical_time=-2**63,
                                   kind=DEVICE, id="gpu\u00e9", parent="host",
                                   extensions=[("a\x00b", "\"\\\x01"), ("A", "")]),
    "huge_strings": observation(system_id="lab", epoch=1, kind=HOST, id="h", parent="lab",
                                declared=(("inference ", 40000), "", []),
                                extensions=[("k", ("\"\x01", 65536))]),
    "huge_token": observation(system_id="lab", epoch=1, kind=HOST, parent="lab",
                              id=("gpu", 30000)),
}

# Probe flags and read actions of capture_fuzz.cpp.
SUPPORTED_WITH_READ, UNSUPPORTED, SUPPORTED_WITHOUT_READ = 3, 0, 1
NOTHING, VALID, INVALID, OTHER_ENTITY, OTHER_SYSTEM, OTHER_EPOCH, THROW, THROW_OTHER, DECODED = \
    range(9)


def probe(id_form, flags, action, argument=b"", advance=0):
    return id_form + bytes([flags, action]) + argument + small(advance)


def raw_id(s):
    return b"\x00" + text(s)


def subject_id(kind, id, parent=None):
    parent_part = b"\x01" + text(parent) if parent is not None else b"\x00"
    return b"\x01" + bytes([kind]) + parent_part + text(id)


def reused_id(index):
    return b"\x02" + bytes([index])


def capture_script(probes, system_id="lab", epoch=4, barrier=9, logical_time=100, budget=100,
                   start=10, steps=(1,)):
    out = text(system_id) + small(epoch) + small(barrier) + u64(logical_time) + small(budget)
    out += small(start) + bytes([len(steps) - 1]) + b"".join(small(s) for s in steps)
    return out + bytes([len(probes)]) + b"".join(probes)


ENGINE_ID = subject_id(ENGINE, "transformer", "gpu-0")
DEVICE_ID = subject_id(DEVICE, "gpu-0", "host")
SYSTEM_ID = subject_id(SYSTEM, "lab")
CAPTURE_SEEDS = {
    "complete_view": capture_script([probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID),
                                     probe(DEVICE_ID, SUPPORTED_WITH_READ, VALID)]),
    "missing_and_system": capture_script(
        [probe(DEVICE_ID, SUPPORTED_WITH_READ, NOTHING),
         probe(SYSTEM_ID, SUPPORTED_WITH_READ, DECODED, SYSTEM_EXAMPLE)],
        epoch=1, barrier=3, logical_time=7),
    "engine_example_read": capture_script(
        [probe(ENGINE_ID, SUPPORTED_WITH_READ, DECODED, ENGINE_EXAMPLE)]),
    "mixed_epochs": capture_script([probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID),
                                    probe(DEVICE_ID, SUPPORTED_WITH_READ, OTHER_EPOCH)]),
    "unsupported_missing_late": capture_script(
        [probe(subject_id(HOST, "h", "lab"), UNSUPPORTED, VALID),
         probe(DEVICE_ID, SUPPORTED_WITH_READ, NOTHING),
         probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID, advance=200),
         probe(subject_id(ENGINE, "z", "gpu-0"), SUPPORTED_WITH_READ, VALID)]),
    "wrong_identity": capture_script(
        [probe(ENGINE_ID, SUPPORTED_WITH_READ, OTHER_ENTITY),
         probe(DEVICE_ID, SUPPORTED_WITH_READ, OTHER_SYSTEM),
         probe(SYSTEM_ID, SUPPORTED_WITH_READ, INVALID)]),
    "reads_throw": capture_script(
        [probe(ENGINE_ID, SUPPORTED_WITH_READ, THROW, text("probe failed")),
         probe(DEVICE_ID, SUPPORTED_WITH_READ, THROW_OTHER, b"\x02"),
         probe(SYSTEM_ID, SUPPORTED_WITH_READ, THROW_OTHER, b"\x00")]),
    "duplicate_ids": capture_script([probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID),
                                     probe(reused_id(0), UNSUPPORTED, NOTHING)]),
    "empty_id": capture_script([probe(raw_id(""), UNSUPPORTED, NOTHING)]),
    "missing_callback_first": capture_script(
        [probe(raw_id("x"), SUPPORTED_WITHOUT_READ, NOTHING),
         probe(raw_id("y"), SUPPORTED_WITH_READ, NOTHING),
         probe(reused_id(1), SUPPORTED_WITH_READ, NOTHING)]),
    "missing_identity": capture_script([probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID)], epoch=0),
    "budget_zero_moving_clock": capture_script(
        [probe(ENGINE_ID, SUPPORTED_WITH_READ, VALID)], budget=0, steps=(1, 0, 3)),
    "saturated_deadline": capture_script(
        [probe(DEVICE_ID, SUPPORTED_WITH_READ, VALID), probe(raw_id("\xc3"), UNSUPPORTED, NOTHING)],
        budget=2**64 - 1, start=5),
}

if __name__ == "__main__":
    for target, seeds in (("text_writers", TEXT_WRITER_SEEDS), ("observation", OBSERVATION_SEEDS),
                          ("capture", CAPTURE_SEEDS)):
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
