"""Checks the expositions of Quillon Monitoring with consumers this project did not write.

usage: check_expositions.py WRITER

Runs WRITER with a fresh directory; for each NAME.prom it wrote next to NAME.json (the snapshot's
runtime-state document), requires that `promtool check metrics` prints nothing and exits 0, that
the text is strict UTF-8, and that the OpenMetrics parser of prometheus_client reads exactly the
samples the document implies, with every label value decoded back to the id's bytes.

Run it with the interpreter that Debian's python3-prometheus-client serves (/usr/bin/python3).
"""

import json
import pathlib
import re
import subprocess
import sys
import tempfile

try:
    from prometheus_client.openmetrics.parser import text_string_to_metric_families
except ImportError:
    sys.exit(f"check_expositions: {sys.executable} has no prometheus_client; "
             "run scripts/install-deps python3-prometheus-client and use /usr/bin/python3")

STATUSES = ["captured", "missing", "unsupported", "stale_epoch", "deadline_exceeded", "invalid"]
HEALTHS = ["unknown", "healthy", "degraded", "unhealthy"]
LIFECYCLES = ["declared", "provisioning", "ready", "running", "paused", "stopping", "stopped",
              "failed", "unknown"]


def decode_label(value):
    """Returns the bytes a label value stands for: %XX is a byte, anything else itself."""
    return re.sub(rb"%([0-9A-F]{2})", lambda m: bytes([int(m.group(1), 16)]),
                  value.encode("utf-8"))


def raw(text):
    return text.encode("utf-8", "surrogateescape")


def expected_samples(document):
    system = raw(document["system_id"])
    samples = [("quillon_snapshot_complete", (), float(document["status"] == "complete")),
               ("quillon_snapshot_epoch", (), float(document["epoch"])),
               ("quillon_snapshot_barrier_sequence", (), float(document["barrier_sequence"]))]
    subjects = document["subjects"]
    for status in STATUSES:
        count = sum(subject["status"] == status for subject in subjects)
        samples.append(("quillon_snapshot_subjects", (("status", status),), float(count)))
    for subject in subjects:
        labels = (("subject", raw(subject["id"])),)
        for status in STATUSES:
            samples.append(("quillon_subject_status", labels + (("status", status),),
                            float(subject["status"] == status)))
        observation = subject["observation"]
        if subject["status"] != "captured" or observation["observed"] is None:
            continue
        observed = observation["observed"]
        labels += (("kind", observation["entity"]["kind"]),)
        samples.append(("quillon_entity_ready", labels, float(observed["ready"])))
        samples.append(("quillon_entity_pressure", labels, float(observed["pressure"])))
        for name, key, table in (("health", "health", HEALTHS),
                                 ("lifecycle", "lifecycle", LIFECYCLES)):
            for value in table:
                samples.append((f"quillon_entity_{name}", labels + ((key, value),),
                                float(observed[key] == value)))
    return system, samples


def check(prom, document_path):
    """Returns the problems found with one exposition."""
    data = prom.read_bytes()
    linted = subprocess.run(["promtool", "check", "metrics"], input=data, capture_output=True)
    if linted.returncode != 0 or linted.stdout or linted.stderr:
        return [f"promtool: exit {linted.returncode}: {(linted.stdout + linted.stderr)!r}"]
    if not data.endswith(b"# EOF\n"):
        return ["does not end with # EOF and a newline"]
    text = data.decode("utf-8")
    system, expected = expected_samples(
        json.loads(document_path.read_bytes().decode("utf-8", "surrogateescape")))
    problems = []
    seen = []
    for family in text_string_to_metric_families(text):
        if family.type != "gauge" or not family.documentation:
            problems.append(f"{family.name}: not a documented gauge")
        for sample in family.samples:
            labels = dict(sample.labels)
            if decode_label(labels.pop("system_id", "")) != system:
                problems.append(f"{sample}: system_id does not decode to the snapshot's")
            decoded = tuple((key, decode_label(value) if key == "subject" else value)
                            for key, value in labels.items())
            seen.append((sample.name, decoded, sample.value))
    if len({(name, labels) for name, labels, _ in seen}) != len(seen):
        problems.append("a label set repeats within a family")
    if sorted(seen) != sorted(expected):
        missing = set(expected) - set(seen)
        extra = set(seen) - set(expected)
        problems.append(f"samples differ: missing {sorted(missing)[:3]}, extra {sorted(extra)[:3]}")
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([sys.argv[1], directory], check=True)
        expositions = sorted(pathlib.Path(directory).glob("*.prom"))
        if not expositions:
            sys.exit("check_expositions: the writer wrote no exposition")
        failed = False
        for prom in expositions:
            for problem in check(prom, prom.with_suffix(".json")):
                print(f"{prom.name}: {problem}")
                failed = True
            print(f"{prom.name}: checked")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
