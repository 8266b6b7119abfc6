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

try:
    import jsonschema
    from jsonschema import Draft202012Validator
except ImportError:
    sys.exit(f"check_documents: {sys.executable} has no jsonschema module; "
             "run scripts/install-deps python3-jsonschema and use /usr/bin/python3")

SCHEMA_FILES = {
    "velmor-observability/1": "observability-1.schema.json",
    "velmor-runtime-state/1": "runtime-state-1.schema.json",
}
OBSERVATION, RUNTIME_STATE = SCHEMA_FILES
DELETE = object()


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


# Each broken document: a description, the document it starts from, and the edits that break it.
# The valid documents that the edits start from are chosen by base_documents() below.
SUBJECT = ("subjects", 0)
EMBEDDED = SUBJECT + ("observation",)
NONE = "probe returned no observation"


def outcome(status, diagnostic, snapshot="partial"):
    """The first subject not captured, with its diagnostic and no observation."""
    return [(("status",), snapshot), (SUBJECT + ("status",), status),
            (SUBJECT + ("diagnostic",), diagnostic), (EMBEDDED, None)]


BROKEN = [
    ("a missing member", OBSERVATION, [(("epoch",), DELETE)]),
    ("a missing nested member", OBSERVATION, [(("observed", "ready"), DELETE)]),
    ("an extra member", OBSERVATION, [(("extra",), 1)]),
    ("an extra member in entity", OBSERVATION, [(("entity", "extra"), "x")]),
    ("an unknown kind name", OBSERVATION, [(("entity", "kind"), "gpu")]),
    ("a kind name in upper case", OBSERVATION, [(("entity", "kind"), "Engine")]),
    ("an unknown health name", OBSERVATION, [(("observed", "health"), "fine")]),
    ("an unknown lifecycle name", OBSERVATION, [(("observed", "lifecycle"), "booting")]),
    ("another schema", OBSERVATION, [(("schema",), "velmor-observability/2")]),
    ("a zero epoch", OBSERVATION, [(("epoch",), 0)]),
    ("a negative epoch", OBSERVATION, [(("epoch",), -1)]),
    ("an epoch of 2^64", OBSERVATION, [(("epoch",), 2**64)]),
    ("an epoch as text", OBSERVATION, [(("epoch",), "4")]),
    ("a fractional sequence", OBSERVATION, [(("sequence",), 1.5)]),
    ("a negative observed_at_ns", OBSERVATION, [(("observed_at_ns",), -1)]),
    ("a logical_time below -2^63", OBSERVATION, [(("logical_time",), -2**63 - 1)]),
    ("a logical_time of 2^63", OBSERVATION, [(("logical_time",), 2**63)]),
    ("a pressure above 1", OBSERVATION, [(("observed", "pressure"), 1.0000000000000002)]),
    ("a negative pressure", OBSERVATION, [(("observed", "pressure"), -0.25)]),
    ("a pressure as text", OBSERVATION, [(("observed", "pressure"), "0.25")]),
    ("ready as text", OBSERVATION, [(("observed", "ready"), "false")]),
    ("an empty system_id", OBSERVATION, [(("system_id",), "")]),
    ("a system_id with a space", OBSERVATION, [(("system_id",), "la b")]),
    ("a system_id ending in a line feed", OBSERVATION, [(("system_id",), "lab\n")]),
    ("an entity id with a colon", OBSERVATION, [(("entity", "id"), "a:b")]),
    ("a parent with a reverse solidus", OBSERVATION, [(("entity", "parent"), "gpu\\0")]),
    ("a non-system entity without parent", OBSERVATION, [(("entity", "parent"), None)]),
    ("a system entity with a parent", OBSERVATION, [(("entity", "kind"), "system")]),
    ("a number as attribute value", OBSERVATION, [(("observed", "attributes", "queue"), 3)]),
    ("extensions as null", OBSERVATION, [(("extensions",), None)]),
    ("declared without config_hash", OBSERVATION, [(("declared", "config_hash"), DELETE)]),
    ("a planned host_id that is a number", OBSERVATION, [(("planned", "host_id"), 7)]),
    ("a missing member", RUNTIME_STATE, [(("status",), DELETE)]),
    ("an extra member", RUNTIME_STATE, [(("extra",), None)]),
    ("an unknown snapshot status name", RUNTIME_STATE, [(("status",), "done")]),
    ("an unknown subject status name", RUNTIME_STATE, [(SUBJECT + ("status",), "lost")]),
    ("another schema", RUNTIME_STATE, [(("schema",), "velmor-runtime-state/2")]),
    ("a negative epoch", RUNTIME_STATE, [(("epoch",), -1)]),
    ("a zero epoch", RUNTIME_STATE, [(("epoch",), 0)]),
    ("a zero barrier_sequence", RUNTIME_STATE, [(("barrier_sequence",), 0)]),
    ("a deadline_ns of 2^64", RUNTIME_STATE, [(("deadline_ns",), 2**64)]),
    ("a logical_time of 2^63", RUNTIME_STATE, [(("logical_time",), 2**63)]),
    ("an empty system_id", RUNTIME_STATE, [(("system_id",), "")]),
    ("subjects as an object", RUNTIME_STATE, [(("subjects",), {})]),
    ("a subject without diagnostic", RUNTIME_STATE, [(SUBJECT + ("diagnostic",), DELETE)]),
    ("a subject with an extra member", RUNTIME_STATE, [(SUBJECT + ("extra",), "")]),
    ("a subject with an empty id", RUNTIME_STATE, [(SUBJECT + ("id",), "")]),
    ("a captured subject with a diagnostic", RUNTIME_STATE, [(SUBJECT + ("diagnostic",), "late")]),
    ("a captured subject without observation", RUNTIME_STATE, [(EMBEDDED, None)]),
    ("a complete snapshot, a missing subject", RUNTIME_STATE, outcome("missing", NONE, "complete")),
    ("a partial snapshot, all captured", RUNTIME_STATE, [(("status",), "partial")]),
    ("a missing subject that shows an observation", RUNTIME_STATE, outcome("missing", NONE)[:-1]),
    ("an unsupported subject with another reason", RUNTIME_STATE, outcome("unsupported", NONE)),
    ("a late subject with another reason", RUNTIME_STATE, outcome("deadline_exceeded", "late")),
    ("an embedded observation without epoch", RUNTIME_STATE, [(EMBEDDED + ("epoch",), DELETE)]),
    ("an embedded observation with a negative epoch", RUNTIME_STATE, [(EMBEDDED + ("epoch",), -4)]),
    ("an embedded unknown kind", RUNTIME_STATE, [(EMBEDDED + ("entity", "kind"), "gpu")]),
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
        for description, name, edits in BROKEN:
            if name not in bases:
                failures.append(f"no valid {name} document to break with {description}")
            elif problem(check[name], edited(bases[name], edits)):
                rejected += 1
            else:
                failures.append(f"{name} with {description} was accepted")
    print("".join(failure + "\n" for failure in failures) +
          f"{len(documents)} documents valid, {rejected} broken documents rejected, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
