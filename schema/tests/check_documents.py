"""Checks documents written by Quillon Monitoring against its JSON Schemas (draft 2020-12).

usage: check_documents.py SCHEMA_DIR [OPTION...] -- COMMAND [ARGUMENT...]

Runs COMMAND and reads one document per line of its standard output. Each must parse strictly
(no NaN or Infinity, no duplicate keys) and be valid against the schema that its "schema" member
names. Options:
  --broken               also derive deliberately broken documents from the valid ones: each
                         must be rejected
  --standalone           validate runtime-state documents with their schema file alone, with
                         every network fetch failing: the observation schema it bundles must
                         be the observation schema file, unchanged
  --lines N              require exactly N documents
  --status STATUS        every runtime-state document has this snapshot status
  --subject GLOB=STATUS  in every runtime-state document, each subject whose id matches GLOB has
                         STATUS, and at least one matches

Run it with the interpreter that Debian's python3-jsonschema serves (/usr/bin/python3).
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


def validators(schema_dir, standalone):
    """Returns a validator per schema name; the runtime-state schema finds the observation
    schema by its $id, as any consumer that registers both would, or when `standalone` in the
    copy it bundles, as a consumer given that one file would."""
    schemas = {}
    for name, file in SCHEMA_FILES.items():
        schema = json.loads((schema_dir / file).read_text(encoding="utf-8"))
        Draft202012Validator.check_schema(schema)
        schemas[name] = schema
    if standalone:
        if schemas[RUNTIME_STATE]["$defs"].get("observability-1") != schemas[OBSERVATION]:
            sys.exit("check_documents: the bundled observation schema differs from its file")
        try:
            from referencing import Registry

            return {name: Draft202012Validator(schema, registry=Registry(retrieve=refuse_fetch))
                    for name, schema in schemas.items()}
        except ImportError:
            refuse = {"http": refuse_fetch, "https": refuse_fetch}
            return {name: Draft202012Validator(
                        schema, resolver=jsonschema.RefResolver.from_schema(schema, handlers=refuse))
                    for name, schema in schemas.items()}
    by_id = {schema["$id"]: schema for schema in schemas.values()}
    try:
        from referencing import Registry, Resource

        registry = Registry().with_resources(
            (uri, Resource.from_contents(schema)) for uri, schema in by_id.items())
        return {name: Draft202012Validator(schema, registry=registry)
                for name, schema in schemas.items()}
    except ImportError:
        return {name: Draft202012Validator(
                    schema, resolver=jsonschema.RefResolver.from_schema(schema, store=by_id))
                for name, schema in schemas.items()}


def strict_object(pairs):
    keys = [key for key, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError(f"duplicate key in {keys}")
    return dict(pairs)


def reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def parse(line):
    return json.loads(line, object_pairs_hook=strict_object, parse_constant=reject_constant)


def problems(validator, document):
    """Returns the validation errors of `document`, the most specific first."""
    errors = list(validator.iter_errors(document))
    best = jsonschema.exceptions.best_match(errors)
    return [] if best is None else [f"{best.json_path}: {best.message}"] + [
        f"{error.json_path}: {error.message}" for error in errors if error is not best]


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
    ("an attribute value that is a number", OBSERVATION,
     [(("observed", "attributes", "queue"), 3)]),
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
    ("a complete snapshot with a missing subject", RUNTIME_STATE,
     [(SUBJECT + ("status",), "missing"), (SUBJECT + ("diagnostic",), "probe returned no observation"),
      (EMBEDDED, None)]),
    ("a partial snapshot whose subjects are all captured", RUNTIME_STATE,
     [(("status",), "partial")]),
    ("a missing subject that shows an observation", RUNTIME_STATE,
     [(("status",), "partial"), (SUBJECT + ("status",), "missing"),
      (SUBJECT + ("diagnostic",), "probe returned no observation")]),
    ("an unsupported subject with another reason", RUNTIME_STATE,
     [(("status",), "partial"), (SUBJECT + ("status",), "unsupported"),
      (SUBJECT + ("diagnostic",), "probe returned no observation"), (EMBEDDED, None)]),
    ("a late subject with another reason", RUNTIME_STATE,
     [(("status",), "partial"), (SUBJECT + ("status",), "deadline_exceeded"),
      (SUBJECT + ("diagnostic",), "late"), (EMBEDDED, None)]),
    ("an embedded observation without epoch", RUNTIME_STATE, [(EMBEDDED + ("epoch",), DELETE)]),
    ("an embedded observation with a negative epoch", RUNTIME_STATE,
     [(EMBEDDED + ("epoch",), -4)]),
    ("an embedded observation of an unknown kind", RUNTIME_STATE,
     [(EMBEDDED + ("entity", "kind"), "gpu")]),
]


def base_documents(documents):
    """The first observation with every section present, and the first complete snapshot that
    holds subjects: the valid documents that every broken one starts from."""
    bases = {}
    for name, document in documents:
        if name == OBSERVATION and all(document[part] is not None
                                       for part in ("declared", "observed", "planned")):
            bases.setdefault(name, document)
        if name == RUNTIME_STATE and document["status"] == "complete" and document["subjects"]:
            bases.setdefault(name, document)
    return bases


def check_subjects(document, expectation):
    pattern, status = expectation.split("=", 1)
    matched = [subject for subject in document["subjects"]
               if fnmatch.fnmatchcase(subject["id"], pattern)]
    if not matched:
        return [f"no subject matches {pattern}"]
    return [f"subject {subject['id']} is {subject['status']}, want {status}"
            for subject in matched if subject["status"] != status]


def main(argv):
    if "--" not in argv or len(argv) < 2:
        sys.exit(__doc__)
    split = argv.index("--")
    schema_dir, options, command = pathlib.Path(argv[0]), argv[1:split], argv[split + 1:]
    broken = "--broken" in options
    standalone = "--standalone" in options
    lines, status, subjects = None, None, []
    for option, value in zip(options, options[1:] + [None]):
        if option == "--lines":
            lines = int(value)
        elif option == "--status":
            status = value
        elif option == "--subject":
            subjects.append(value)

    check = validators(schema_dir, standalone)
    run = subprocess.run(command, stdout=subprocess.PIPE, check=True)
    text = run.stdout.decode("utf-8")
    if not text.endswith("\n"):
        sys.exit("check_documents: the output does not end with a line feed")

    failures = []
    documents = []
    for number, line in enumerate(text[:-1].split("\n"), start=1):
        try:
            document = parse(line)
            name = document["schema"]
            found = problems(check[name], document)
        except (ValueError, KeyError, TypeError) as error:
            failures.append(f"line {number}: not a document: {error}\n  {line}")
            continue
        if found:
            failures.append(f"line {number}: invalid: {found[0]}\n  {line}")
            continue
        documents.append((name, document))
        if name == RUNTIME_STATE:
            if status is not None and document["status"] != status:
                failures.append(f"line {number}: status {document['status']}, want {status}")
            for expectation in subjects:
                failures += [f"line {number}: {problem}"
                             for problem in check_subjects(document, expectation)]
    if lines is not None and len(documents) != lines:
        failures.append(f"{len(documents)} valid documents, want {lines}")

    rejected = 0
    if broken:
        bases = base_documents(documents)
        for description, name, edits in BROKEN:
            if name not in bases:
                failures.append(f"no valid {name} document to break with {description}")
                continue
            if problems(check[name], edited(bases[name], edits)):
                rejected += 1
            else:
                failures.append(f"{name} with {description} was accepted")

    for failure in failures:
        print(failure)
    print(f"{len(documents)} documents valid, {rejected} broken documents rejected, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
