"""usage: python3 SUBCOMMAND_test.py QUILLON_STATE: runs quillon-state over a table of cases and
reports every case whose result differs. A case: "what", "args" ("{name}" is the path of file
name: NAME.jsonl, or NAME and the case's "suffix"), "files" (name -> text), "stdin", "tty" (a
terminal as standard error), and what must come back: "status"; "out" and "err", regular
expressions the whole output must match; "consumer", a command that must accept standard output;
"seconds", the most the run may take.
"""
import contextlib
import json
import os
import pathlib
import pty
import re
import subprocess
import sys
import tempfile
import time

# The documentation's worked runtime-state document and the observation document it embeds, as
# committed among the reader's seeds.
SEEDS = pathlib.Path(__file__).resolve().parents[3] / "fuzz" / "corpus" / "reader"
OBSERVATION = (SEEDS / "system_example").read_text()
STATE = (SEEDS / "partial_snapshot").read_text()
MISSING_GPU = json.dumps(json.loads(STATE)["subjects"][0], separators=(",", ":"))
E = re.escape


def run(cases):
    tool, failures = sys.argv[1], 0
    with tempfile.TemporaryDirectory() as folder:
        for case in cases:
            paths = {name: pathlib.Path(folder, name + case.get("suffix", ".jsonl"))
                     for name in case.get("files", {})}
            for name, text in case.get("files", {}).items():
                paths[name].write_text(text, encoding="utf-8")
            args = [argument.format(**paths) for argument in case["args"]]
            terminal, tty = pty.openpty() if case.get("tty") else (None, subprocess.PIPE)
            start = time.monotonic()
            result = subprocess.run([tool] + args, input=case.get("stdin", "").encode(),
                                    stdout=subprocess.PIPE, stderr=tty, timeout=120)
            if terminal is not None:
                os.close(tty)
                result.stderr = b""
                with contextlib.suppress(OSError):  # EIO once the writers are gone
                    while chunk := os.read(terminal, 65536):
                        result.stderr += chunk
                os.close(terminal)
            out, err = result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")
            took = time.monotonic() - start
            problems = [] if result.returncode == case["status"] else [
                f"status {result.returncode}, want {case['status']}"]
            if took > case.get("seconds", took):
                problems.append(f"took {took:.2f} s, want at most {case['seconds']} s")
            for name, got in (("out", out), ("err", err)):
                if name in case and not re.fullmatch(case[name], got, re.S):
                    problems.append(f"standard {name}put does not match {case[name]!r}")
            if "consumer" in case:
                used = subprocess.run(case["consumer"], input=result.stdout, capture_output=True)
                if used.returncode != 0 or used.stdout or used.stderr:
                    problems.append(f"{case['consumer'][0]} refused it: {used.stdout + used.stderr}")
            if problems:
                failures += 1
                print(f"FAIL {case['what']}: " + "; ".join(problems) +
                      f"\n  stdout: {out[:600]!r}\n  stderr: {err[:600]!r}")
    print(f"{len(cases) - failures} of {len(cases)} cases pass")
    sys.exit(1 if failures else 0)
