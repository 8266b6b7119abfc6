"""Checks documents written by Quillon Monitoring against its JSON Schemas (draft 2020-12).

usage: check_documents.py SCHEMA_DIR [OPTION...] -- COMMAND [ARGUMENT...]

Runs COMMAND; each line of its standard output must parse strictly (no NaN, no duplicate keys)
and be valid against the schema its "schema" member names. Every schema is used alone, with any
network fetch refused: the runtime-state schema must bundle the observation schema file unchanged.
Options: --broken (broken documents derived from the valid ones must each be rejected),
--lines N, --status STATUS (of every runtime-state document), --subject GLOB=STATUS (each
matching subject has STATUS, and at least one matches). Run it with /usr/bin/python3, whose
jsonschema is Debian's python3-jsonschema.
"""

import copy
import fnmatch
import json
import pathlib
import subprocess
import sys

import jsonschema
from jsonschema import Draft202012Validator

SCHEMA_FILES = {
    "velmor-observability/1": "observability-1.schema.json",
    "velmor-runtime-state/1": "runtime-state-1.schema.json",
}
OBSERVATION, RUNTIME_STATE = SCHEMA_FILES
DELETE = "<deleted>"


def refuse_fetch(uri):
    raise OSError(f"the schema tried to fetch {uri}")


def validators(schema_dir):
    """Returns a validator per schema name, each given its schema file alone."""
    schemas = {name: json.loads((schema_dir / file).read_text(encoding="utf-8"))
               for name, file in SCHEMA_FILES.items()}
    if schemas[RUNTIME_STATE]["$defs"].get("observability-1") != schemas[OBSERVATION]:
        sys.exit("check_documents: the bundled observation schema differs from its file")
    refuse = {"http": refuse_fetch, "https": refuse_fetch}
    for schema in schemas.values():
        Draft202012Validator.check_schema(schema)
    return {name: Draft202012Validator(
                schema, resolver=jsonschema.RefResolver.from_schema(schema, handlers=refuse))
            for name, schema in schemas.items()}


def strict_object(pairs):
    if len(pairs) != len(dict(pairs)):
        raise ValueError(f"duplicate key in {[key for key, _ in pairs]}")
    return dict(pairs)


def parse(line):
    def reject(name):
        raise ValueError(f"{name} is not JSON")
    return json.loads(line, object_pairs_hook=strict_object, parse_constant=reject)


def problem(validator, document):
    """Returns the most specific validation error of `document`, or None."""
    best = jsonschema.exceptions.best_match(validator.iter_errors(document))
    return best and f"{best.json_path}: {best.message}"


def edited(document, edits):
    """Returns a copy of `document` with each (path, value) applied; DELETE removes the member."""
    result = copy.deepcopy(document)
    for path, value in edits:
        parent = result
        for step in path[:-1]:
            parent = parent[step]
        if value is DELETE:
            del parent[path[-1]]
        else:
            parent[path[-1]] = value
    return result


# Each bad value replaces the member at its path in a valid document (DELETE removes it), one at a
# time; the valid documents are chosen by base_documents() below.
SUBJECT = ("subjects", 0)
EMBEDDED = SUBJECT + ("observation",)
BAD_VALUES = {
    OBSERVATION: [
        (("schema",), ["velmor-observability/2"]),
        (("system_id",), ["", "la b", "lab\n"]),
        (("epoch",), [DELETE, 0, -1, 2**64, "4"]),
        (("sequence",), [1.5]),
        (("observed_at_ns",), [-1]),
        (("logical_time",), [-2**63 - 1, 2**63]),
        (("extensions",), [None]),
        (("extra",), [1]),
        (("entity", "extra"), ["x"]),
        (("entity", "kind"), ["gpu", "Engine", "system"]),
        (("entity", "id"), ["a:b"]),
        (("entity", "parent"), ["gpu\\0", None]),
        (("declared", "config_hash"), [DELETE]),
        (("planned", "host_id"), [7]),
        (("observed", "ready"), [DELETE, "false"]),
        (("observed", "health"), ["fine"]),
        (("observed", "lifecycle"), ["booting"]),
        (("observed", "pressure"), [1.0000000000000002, -0.25, "0.25"]),
        (("observed", "attributes", "queue"), [3]),
    ],
    RUNTIME_STATE: [
        (("schema",), ["velmor-runtime-state/2"]),
        (("status",), [DELETE, "done", "partial"]),
        (("system_id",), [""]),
        (("epoch",), [-1, 0]),
        (("barrier_sequence",), [0]),
        (("deadline_ns",), [2**64]),
        (("logical_time",), [2**63]),
        (("extra",), [None]),
        (("subjects",), [{}]),
        (SUBJECT + ("status",), ["lost"]),
        (SUBJECT + ("diagnostic",), [DELETE, "late"]),
        (SUBJECT + ("extra",), [""]),
        (SUBJECT + ("id",), [""]),
        (EMBEDDED, [None]),
        (EMBEDDED + ("epoch",), [DELETE, -4]),
        (EMBEDDED + ("entity", "kind"), ["gpu"]),
    ],
}


def outcome(status, diagnostic, snapshot="partial"):
    """The first subject not captured, with its diagnostic and no observation."""
    return [(("status",), snapshot), (SUBJECT + ("status",), status),
            (SUBJECT + ("diagnostic",), diagnostic), (EMBEDDED, None)]


# Each broken document: the schema it breaks and the edits; subject outcomes break only together:
# a complete snapshot with a missing subject, a missing subject that shows an observation and an
# unsupported subject with another reason.
NONE = "probe returned no observation"
BROKEN = [(name, [(path, value)]) for name, members in BAD_VALUES.items()
          for path, values in members for value in values] + [
    (RUNTIME_STATE, outcome("missing", NONE, "complete")),
    (RUNTIME_STATE, outcome("missing", NONE)[:-1]),
    (RUNTIME_STATE, outcome("unsupported", NONE)),
]


def base_documents(documents):
    """The first observation with every section present, and the first complete snapshot that
    holds subjects: the valid documents that every broken one starts from."""
    return {name: document for name, document in reversed(documents) if (
        all(document[part] is not None for part in ("declared", "observed", "planned"))
        if name == OBSERVATION else document["status"] == "complete" and document["subjects"])}


def check_subjects(document, expectation):
    pattern, status = expectation.split("=", 1)
    matched = [subject for subject in document["subjects"]
               if fnmatch.fnmatchcase(subject["id"], pattern)]
    return [f"subject {subject['id']} is {subject['status']}, want {status}"
            for subject in matched if subject["status"] != status] or (
        [] if matched else [f"no subject matches {pattern}"])


def main(argv):
    if "--" not in argv or len(argv) < 2:
        sys.exit(__doc__)
    split = argv.index("--")
    schema_dir, options, command = pathlib.Path(argv[0]), argv[1:split], argv[split + 1:]
    values = list(zip(options, options[1:] + [None]))
    lines = next((int(value) for option, value in values if option == "--lines"), None)
    status = next((value for option, value in values if option == "--status"), None)
    subjects = [value for option, value in values if option == "--subject"]

    check = validators(schema_dir)
    text = subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout.decode("utf-8")
    if not text.endswith("\n"):
        sys.exit("check_documents: the output does not end with a line feed")
    failures, documents = [], []
    for number, line in enumerate(text[:-1].split("\n"), start=1):
        try:
            document = parse(line)
            name = document["schema"]
            found = problem(check[name], document)
        except (ValueError, KeyError, TypeError) as error:
            failures.append(f"line {number}: not a document: {error}\n  {line}")
            continue
        if found:
            failures.append(f"line {number}: invalid: {found}\n  {line}")
            continue
        documents.append((name, document))
        if name == RUNTIME_STATE:
            if status is not None and document["status"] != status:
                failures.append(f"line {number}: status {document['status']}, want {status}")
            for expectation in subjects:
                failures += [f"line {number}: {issue}"
                             for issue in check_subjects(document, expectation)]
    if lines is not None and len(documents) != lines:
        failures.append(f"{len(documents)} valid documents, want {lines}")

    rejected = 0
    if "--broken" in options:
        bases = base_documents(documents)
        for name, edits in BROKEN:
            if name not in bases:
                failures.append(f"no valid {name} document to break with {edits}")
            elif problem(check[name], edited(bases[name], edits)):
                rejected += 1
            else:
                failures.append(f"{name} with {edits} was accepted")
    print("".join(failure + "\n" for failure in failures) +
          f"{len(documents)} documents valid, {rejected} broken documents rejected, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
