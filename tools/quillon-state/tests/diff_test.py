"""quillon-state diff, case by case."""
from cases import MISSING_GPU, OBSERVATION, STATE, E, run

# The next barrier: the GPU's subject is gone and the snapshot is complete.
NEXT = STATE.replace('"barrier_sequence":3', '"barrier_sequence":4').replace(
    MISSING_GPU + ",", "").replace('"partial"', '"complete"')
HUMAN = '/barrier_sequence 3 -> 4\n/status "partial" -> "complete"\ndevice:host/gpu-0 disappeared\n'


def ignoring(*pointers):
    return ["diff", *(word for pointer in pointers for word in ("--ignore", pointer)), "{a}", "{b}"]


# The same barrier captured again: only clock readings differ.
AGAIN = STATE.replace('"captured_at_ns":14', '"captured_at_ns":15').replace(
    '"observed_at_ns":0', '"observed_at_ns":5')

run([
    {"what": "no change", "args": ["diff", "{a}", "{b}"], "files": {"a": STATE, "b": STATE + "\n"},
     "out": "", "err": "", "status": 0},
    {"what": "members first, then subjects", "args": ["diff", "{a}", "{b}"],
     "files": {"a": STATE, "b": NEXT}, "out": E(HUMAN), "err": "", "status": 1},
    {"what": "an appeared subject; the last line of a file with several",
     "args": ["diff", "{a}", "-"], "files": {"a": "not read\n" + NEXT + "\n"}, "stdin": STATE,
     "out": E(HUMAN.replace("3 -> 4", "4 -> 3").replace('"partial" -> "complete"',
                                                        '"complete" -> "partial"')
              .replace("disappeared", "appeared")), "status": 1},
    {"what": "an id that is not one plain word is quoted", "args": ["diff", "{a}", "{b}"],
     "files": {"a": STATE, "b": STATE.replace("gpu-0", "gpu 0")},
     "out": E('"device:host/gpu 0" appeared\ndevice:host/gpu-0 disappeared\n'), "status": 1},
    {"what": "--json: one canonical object per change", "args": ["diff", "--json", "{a}", "{b}"],
     "files": {"a": STATE, "b": NEXT},
     "out": E('{"after":"4","before":"3","pointer":"/barrier_sequence","subject":""}\n'
              '{"after":"\\"complete\\"","before":"\\"partial\\"","pointer":"/status",'
              '"subject":""}\n{"after":"","before":"') + r'\{\\"diagnostic\\":[^\n]+' +
            E('","pointer":"","subject":"device:host/gpu-0"}\n'), "status": 1},
    {"what": "an invalid document names file and line", "args": ["diff", "{a}", "{b}"],
     "files": {"a": STATE, "b": STATE + "\n" + STATE[:-1]},
     "out": "", "err": r"quillon-state: .*/b\.jsonl:2: byte \d+: [^\n]+\n", "status": 2},
    {"what": "an observation is not a runtime-state document", "args": ["diff", "{a}", "{a}"],
     "files": {"a": OBSERVATION},
     "err": r"quillon-state: .*/a\.jsonl:1: byte \d+: [^\n]+\n", "status": 2},
    {"what": "an empty file holds no document", "args": ["diff", "{a}", "{b}"],
     "files": {"a": STATE, "b": ""}, "err": r"quillon-state: .*/b\.jsonl: no document\n",
     "status": 2},
    {"what": "two documents are needed", "args": ["diff", "{a}"], "files": {"a": STATE},
     "status": 2},
    {"what": "--ignore leaves members out; the status counts what is shown",
     "args": ["diff", "--ignore", "/barrier_sequence", "{a}", "--ignore", "/status", "{b}"],
     "files": {"a": STATE, "b": NEXT}, "out": E("device:host/gpu-0 disappeared\n"), "status": 1},
    {"what": "the empty pointer is the whole value", "args": ignoring(""),
     "files": {"a": STATE, "b": NEXT}, "out": "", "status": 0},
    {"what": "--ignore-clocks", "args": ["diff", "--ignore-clocks", "{a}", "{b}"],
     "files": {"a": STATE, "b": AGAIN.replace('"logical_time":7', '"logical_time":8')},
     "out": E("/logical_time 7 -> 8\n"), "status": 1},
    {"what": "* is any one token", "files": {"a": STATE, "b": AGAIN}, "out": "", "status": 0,
     "args": ignoring("/*/observed_at_ns", "/a~1b~0", "/captured_at_ns")},
    {"what": "a prefix is matched token by token", "files": {"a": STATE, "b": AGAIN},
     "args": ignoring("/observ", "/Xbservation", "/observation/Xbserved_at_ns", "/captured_at_ns"),
     "out": E("system:lab /observation/observed_at_ns 0 -> 5\n"), "status": 1},
    {"what": "an --ignore that is not a JSON pointer", "args": ignoring("/~2"),
     "files": {"a": STATE, "b": STATE}, "status": 2,
     "err": E("quillon-state: --ignore: not a JSON pointer: /~2\n")},
    {"what": "help shows an example", "args": ["diff", "--help"],
     "out": r".*Example:\n  quillon-state diff .*", "status": 0},
])
