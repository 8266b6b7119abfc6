"""quillon-state check, case by case."""
from cases import OBSERVATION, STATE, E, run

SPACED = " " + STATE  # valid, not canonical from byte 0
REORDERED = '{"epoch":1,' + OBSERVATION[1:].replace(',"epoch":1', "")  # a shared member first
LONG = OBSERVATION.replace('"extensions":{}', '"extensions":{"k":"' + "x" * (3 << 20) + '"}')
SUMMARY = "quillon-state check: {} documents, {} invalid"

run([
    {"what": "both formats on standard input", "args": ["check"],
     "stdin": STATE + "\n" + OBSERVATION + "\n", "out": "", "err": E(SUMMARY.format(2, 0)) + "\n",
     "status": 0},
    {"what": "- is standard input; a last line without line feed counts", "args": ["check", "-"],
     "stdin": OBSERVATION + "\n" + STATE, "out": "", "status": 0},
    {"what": "no input is zero documents", "args": ["check"], "stdin": "", "out": "",
     "err": E(SUMMARY.format(0, 0)) + "\n", "status": 0},
    {"what": "each invalid line once, numbered across a 3 MiB line", "args": ["check", "{a}"],
     "files": {"a": LONG + "\n\n" + STATE[:-1] + "\n" + OBSERVATION + " x\n" + LONG},
     "out": r".*/a\.jsonl:2: byte 0: [^\n]+\n.*/a\.jsonl:3: byte \d+: [^\n]+\n"
            r".*/a\.jsonl:4: byte \d+: [^\n]+\n", "err": E(SUMMARY.format(5, 3)) + "\n",
     "status": 1},
    {"what": "an observation where a runtime-state member is expected", "args": ["check"],
     "stdin": STATE.replace('"barrier_sequence":3,', '"barrier_sequence":3,"entity":0,'),
     "out": r"-:1: byte \d+: [^\n]+\n", "status": 1},
    {"what": "--canonical reports the first differing byte", "args": ["check", "--canonical"],
     "stdin": STATE + "\n" + SPACED + "\n" + OBSERVATION.replace(":1,", ":1 ,") + "\n",
     "out": E("-:2: byte 0: not the canonical text\n-:3: byte 78: not the canonical text\n"),
     "err": E(SUMMARY.format(3, 0) + ", 2 not canonical") + "\n", "status": 1},
    {"what": "a reordered observation is told by a member only observations have",
     "args": ["check", "--canonical"], "stdin": REORDERED,
     "out": E("-:1: byte 2: not the canonical text\n"), "status": 1},
    {"what": "a reordered snapshot is told by its schema", "args": ["check", "--canonical"],
     "stdin": '{"schema":"velmor-runtime-state/1",' + STATE[1:].replace(
         ',"schema":"velmor-runtime-state/1"', ""),
     "out": E("-:1: byte 2: not the canonical text\n"), "status": 1},
    {"what": "an observation's schema value decides before any other member",
     "args": ["check"], "stdin": '{"schema":"velmor-observability/1","epoch":1}',
     "out": r'-:1: byte \d+: missing member "declared"\n', "status": 1},
    {"what": "several files in turn", "args": ["check", "{a}", "{b}"],
     "files": {"a": STATE + "\n", "b": "\n"}, "out": r".*/b\.jsonl:1: byte 0: [^\n]+\n",
     "err": E(SUMMARY.format(2, 1)) + "\n", "status": 1},
    {"what": "progress on a terminal for a file over 64 MiB, erased at the end",
     "args": ["check", "{big}"], "files": {"big": (STATE + "\n") * 120000}, "tty": True,
     "out": "", "err": r"\r.*/big\.jsonl: \d+ of 6\d MiB \(\d+%\), \d+ MiB/s\x1b\[K.*\r\x1b\[K" +
     E(SUMMARY.format(120000, 0)) + "\r\n", "status": 0},
    {"what": "a missing file is an I/O error", "args": ["check", "{a}", "no/such.jsonl"],
     "files": {"a": STATE}, "err": E("quillon-state: cannot open no/such.jsonl: no such file "
                                     "or directory\n"), "status": 2},
    {"what": "a directory is an I/O error", "args": ["check", "/"],
     "err": E("quillon-state: cannot read /: is a directory\n"), "status": 2},
    {"what": "an unknown option is a usage error", "args": ["check", "--strict"], "status": 2},
    {"what": "help shows an example", "args": ["check", "--help"],
     "out": r".*Example:\n  quillon-state check .*", "status": 0},
])
