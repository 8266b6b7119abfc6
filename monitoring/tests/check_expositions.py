"""usage: check_expositions.py WRITER (run with /usr/bin/python3)

For each NAME.prom WRITER puts in a fresh directory beside NAME.json, promtool and the OpenMetrics
parser of prometheus_client must read exactly the samples the runtime-state document implies."""
import json
import pathlib
import re
import subprocess
import sys
import tempfile

from prometheus_client.openmetrics.parser import text_string_to_metric_families

STATES = {
    "status": ["captured", "missing", "unsupported", "stale_epoch", "deadline_exceeded", "invalid"],
    "health": ["unknown", "healthy", "degraded", "unhealthy"],
    "lifecycle": ["declared", "provisioning", "ready", "running", "paused", "stopping", "stopped",
                  "failed", "unknown"],
}


def label(text):
    """The parsed label value of a document string: %, controls but \\n, DEL, non-UTF-8 as %XX."""
    return re.sub("[%\x00-\x09\x0b-\x1f\x7f\udc80-\udcff]", lambda m: f"%{ord(m[0]) & 0xFF:02X}",
                  text)


def expected_samples(document):
    def sample(name, value, **labels):
        return (name, tuple(sorted({"system_id": label(document["system_id"]), **labels}.items())),
                float(value))

    subjects = document["subjects"]
    samples = [sample("quillon_snapshot_complete", document["status"] == "complete"),
               sample("quillon_snapshot_epoch", document["epoch"]),
               sample("quillon_snapshot_barrier_sequence", document["barrier_sequence"])]
    samples += [sample("quillon_snapshot_subjects", sum(s["status"] == status for s in subjects),
                       status=status) for status in STATES["status"]]
    entities = {"ready": [], "pressure": [], "health": [], "lifecycle": []}
    for subject in subjects:
        ids = {"subject": label(subject["id"])}
        samples += [sample("quillon_subject_status", subject["status"] == status, status=status, **ids)
                    for status in STATES["status"]]
        observed = (subject["observation"] or {}).get("observed")
        if subject["status"] != "captured" or observed is None:
            continue
        ids["kind"] = subject["observation"]["entity"]["kind"]
        for key, values in entities.items():
            values += ([sample(f"quillon_entity_{key}", observed[key] == value, **ids, **{key: value})
                        for value in STATES[key]] if key in STATES else
                       [sample(f"quillon_entity_{key}", observed[key], **ids)])
    return samples + [sample for values in entities.values() for sample in values]


def problem(prom):
    data = prom.read_bytes()
    linted = subprocess.run(["promtool", "check", "metrics"], input=data, capture_output=True)
    if linted.returncode != 0 or linted.stdout or linted.stderr:
        return f"promtool: exit {linted.returncode}: {(linted.stdout + linted.stderr)!r}"
    document = json.loads(prom.with_suffix(".json").read_bytes().decode("utf-8", "surrogateescape"))
    found = []
    for family in text_string_to_metric_families(data.decode("utf-8")):
        if family.type != "gauge" or not family.documentation:
            return f"{family.name}: not a documented gauge"
        found += [(s.name, tuple(sorted(s.labels.items())), s.value) for s in family.samples]
    expected = expected_samples(document)  # no series twice, so equality rules out repeats
    if found != expected:
        return (f"missing {sorted(set(expected) - set(found))[:3]}, "
                f"unexpected {sorted(set(found) - set(expected))[:3]}, or out of order")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([sys.argv[1], directory], check=True)
        expositions = sorted(pathlib.Path(directory).glob("*.prom"))
        failures = [f"{prom.name}: {text}" for prom in expositions if (text := problem(prom))]
    print("\n".join(failures) or f"{len(expositions)} expositions read as their documents say")
    sys.exit(1 if failures or len(expositions) < 5 else 0)
