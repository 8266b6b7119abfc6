"""quillon-state compose, case by case; every composed line is checked against the schema."""
import json
import pathlib
import sys

from cases import OBSERVATION, E, run

SCHEMA = pathlib.Path(__file__).resolve().parents[3] / "schema" / "runtime-state-1.schema.json"
VALID = [sys.executable, "-c", "import json, sys, jsonschema\n"
         "check = jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))\n"
         "for line in sys.stdin: check.validate(json.loads(line))", str(SCHEMA)]


def doc(sequence, host, epoch=1, time=7, system="lab"):
    """A complete document of part `host`: its host subject, captured."""
    observation = dict(json.loads(OBSERVATION), epoch=epoch, system_id=system,
                       entity={"id": host, "kind": "host", "parent": "lab"})
    return json.dumps({"barrier_sequence": sequence, "captured_at_ns": 5, "deadline_ns": 9,
                       "epoch": epoch, "logical_time": time, "schema": "velmor-runtime-state/1",
                       "status": "complete", "system_id": system, "subjects": [
                           {"diagnostic": "", "id": f"host:lab/{host}", "observation": observation,
                            "status": "captured"}]}, separators=(",", ":"))


def lines(*barriers):
    """Each barrier a (sequence, epoch, status, subject patterns...) line, its clocks equal."""
    return "".join(E(f'{{"barrier_sequence":{sequence},"captured_at_ns":') +
                   rf'(\d+),"deadline_ns":\{group}' + E(f',"epoch":{epoch},') + r"[^\n]*" +
                   E(f'"status":"{status}","subjects":[') +
                   "".join(r"[^\n]*" + part for part in parts) + r"[^\n]*\n"
                   for group, (sequence, epoch, status, *parts) in enumerate(barriers, start=1))


def subject(id, status, diagnostic=""):
    """The pattern of a subject: captured with an observation, or not with `diagnostic`."""
    shown = "{" if status == "captured" else f'null,"status":"{status}"}}'
    return E(f'{{"diagnostic":{json.dumps(diagnostic)},"id":"{id}","observation":{shown}')


LOGS = {"r0": "\n".join(doc(s, "r0") for s in (1, 2, 3)),
        "r1": "\n".join([doc(1, "r1"), "garbage", doc(2, "r1"), doc(3, "r1", time=8),
                          doc(4, "r1")]) + "\n",
        "r2": "\n".join([doc(1, "r2", epoch=2), doc(2, "r0"), doc(3, "r2")])}
PARTS = ["compose", "--part", "r0={r0}", "--part", "r1={r1}", "--part", "r2={r2}"]

run([
    {"what": "one document is the one-line case", "args": ["compose", "--part", "a={a}"],
     "files": {"a": doc(9, "a")}, "err": "", "status": 0, "consumer": VALID,
     "out": lines((9, 1, "complete", subject("host:lab/a", "captured")))},
    {"what": "each sequence in order: highest epoch, missing, invalid line (and the document "
             "after it), held twice", "args": PARTS, "files": LOGS, "err": "", "status": 1,
     "consumer": VALID, "out": lines(
         (1, 2, "partial", subject("host:lab/r0", "stale_epoch",
                                   "part r0 answered epoch 1, the barrier is at epoch 2"),
          subject("host:lab/r2", "captured")),
         (2, 1, "partial", subject("host:lab/r0", "invalid", "id held by parts r0 and r2"),
          r'/r1\.jsonl:2: byte 0: [^"]+","id":"r1","observation":null,"status":"invalid"'),
         (3, 1, "partial", subject("host:lab/r0", "invalid", "part r0 answered logical time 7, "
                                   "the barrier is at logical time 8")),
         (4, 1, "partial", r'"no document at barrier sequence 4 in [^"]*/r0\.jsonl","id":"r0"',
          r'/r2\.jsonl","id":"r2","observation":null,"status":"missing"'))},
    {"what": "--system-id names the barrier's system", "status": 1, "consumer": VALID,
     "args": ["compose", "--system-id", "other", "--part", "a=-", "--part", "b={b}"],
     "stdin": doc(1, "a"), "files": {"b": doc(1, "b", system="other")},
     "out": lines((1, 1, "partial", subject(
         "host:lab/a", "invalid", "part a answered system lab, the barrier is of system other"),
         subject("host:lab/b", "captured")))},
    {"what": "--system-id must be an identifier token", "status": 2, "out": "",
     "args": ["compose", "--system-id", "a b", "--part", "a={a}"], "files": {"a": doc(1, "a")},
     "err": E("quillon-state: --system-id: not an identifier token: a b\n")},
    {"what": "a log that does not ascend", "args": ["compose", "--part", "a={a}"],
     "files": {"a": doc(2, "a") + "\n" + doc(2, "a")}, "out": "",
     "err": r"quillon-state: .*/a\.jsonl:2: barrier sequence 2 after barrier sequence 2\n",
     "status": 2},
    {"what": "an invalid line after the last barrier", "args": ["compose", "--part", "a={a}"],
     "files": {"a": doc(1, "a") + "\nx"}, "out": lines((1, 1, "complete")),
     "err": r"quillon-state: .*/a\.jsonl:2: byte 0: [^\n]+ \(after the last barrier\)\n",
     "status": 2},
    {"what": "no document at all", "args": ["compose", "--part", "a={a}", "--part", "b={a}"],
     "files": {"a": ""}, "out": "", "err": "quillon-state: no document in any part's log\n",
     "status": 2},
    {"what": "help shows an example", "args": ["compose", "--help"],
     "out": r".*Example:\n  quillon-state compose --part .*", "status": 0},
] + [{"what": f"--part {parts}", "args": ["compose"] + parts.split(), "status": 2,
      "err": f"quillon-state: --part: {why}\n"} for parts, why in (
    ("--part a=x --part a=y", "part a given twice"),
    ("--part a=- --part b=-", "standard input can be the log of one part only"),
    ("--part =x", "expected ID=FILE: =x"))])
