"""quillon-state metrics, case by case; promtool must accept every exposition."""
from cases import STATE, run

PROMTOOL = ["promtool", "check", "metrics"]
EXPOSITION = r'.*\nquillon_snapshot_complete\{system_id="lab"\} 0\n.*# EOF\n'

run([
    {"what": "standard input", "args": ["metrics"], "stdin": STATE + "\n", "out": EXPOSITION,
     "err": "", "status": 0, "consumer": PROMTOOL},
    {"what": "a missing file", "args": ["metrics", "no/such.jsonl"], "out": "",
     "err": "quillon-state: cannot open no/such.jsonl: no such file or directory\n", "status": 2},
    {"what": "help shows an example", "args": ["metrics", "--help"],
     "out": r".*Example:\n  quillon-state .* metrics.*", "status": 0},
])
