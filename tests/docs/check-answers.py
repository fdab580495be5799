"""Validates what the helper answered against the JSON Schemas in docs/schema.

Usage: check-answers.py SCHEMA_DIR RECORD_FILE PROTOCOL_MD

RECORD_FILE holds one JSON line per run of the helper, written by the
end-to-end tests: {"request": Base64, "status": exit status, "answer": Base64}.
Every answer must be one JSON document and one line feed; status 0 answers
follow the schema of their action, and their request the request schema;
status 2 answers are error documents. The examples in PROTOCOL_MD, fenced as
"json <schema name>", must follow their schemas too, with one example at
least for each schema.
"""

import base64
import json
import pathlib
import re
import sys

import jsonschema

ANSWER_SCHEMAS = {"list", "sign", "udf-cert", "udf-sign"}


class Schemas:
    def __init__(self, folder):
        folder = pathlib.Path(folder).resolve()
        self.store = {}
        for path in folder.glob("*.schema.json"):
            schema = json.loads(path.read_text(encoding="utf-8"))
            jsonschema.Draft202012Validator.check_schema(schema)
            self.store[path.as_uri()] = schema
        self.folder = folder

    def names(self):
        return {pathlib.Path(uri).name[: -len(".schema.json")] for uri in self.store} - {"common"}

    def errors(self, name, document):
        uri = (self.folder / f"{name}.schema.json").as_uri()
        schema = self.store[uri]
        resolver = jsonschema.RefResolver(base_uri=uri, referrer=schema, store=self.store)
        validator = jsonschema.Draft202012Validator(schema, resolver=resolver)
        return [f"{'/'.join(map(str, error.absolute_path)) or '(top)'}: {error.message[:200]}"
                for error in validator.iter_errors(document)]


def check_record(schemas, record):
    """The problems of one recorded run; none when it is sound."""
    request = base64.b64decode(record["request"])
    answer = base64.b64decode(record["answer"])
    status = record["status"]
    if status not in (0, 2):
        return [f"exit status {status}"]
    if not answer.endswith(b"\n") or answer.count(b"\n") != 1:
        return ["the answer is not exactly one line"]
    try:
        document = json.loads(answer.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        return [f"the answer is not UTF-8 JSON: {error}"]
    if status == 2:
        return schemas.errors("error", document)
    try:
        decoded = json.loads(request.decode("utf-8-sig"))
    except (UnicodeDecodeError, json.JSONDecodeError):
        return ["status 0 for a request that is not JSON"]
    action = decoded.get("action") if isinstance(decoded, dict) else None
    if action not in ANSWER_SCHEMAS:
        return [f"status 0 for the action {action!r}"]
    problems = schemas.errors(action, document)
    problems += [f"request: {problem}" for problem in schemas.errors("request", decoded)]
    return problems


def documented_examples(protocol):
    """(schema name, text) of every block fenced as "json <name>"."""
    fence = re.compile(r"^```json ([a-z-]+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
    return fence.findall(pathlib.Path(protocol).read_text(encoding="utf-8"))


def main(schema_folder, record_file, protocol):
    schemas = Schemas(schema_folder)
    failures = 0

    examples = documented_examples(protocol)
    for name, text in examples:
        if name not in schemas.names():
            print(f"protocol example fenced for an unknown schema: {name}")
            failures += 1
            continue
        for problem in schemas.errors(name, json.loads(text)):
            print(f"protocol example ({name}): {problem}")
            failures += 1
    for name in sorted(schemas.names() - {name for name, _ in examples}):
        print(f"protocol.md has no example of: {name}")
        failures += 1

    record = pathlib.Path(record_file)
    lines = record.read_text(encoding="utf-8").splitlines() if record.exists() else []
    if not lines:
        print(f"nothing recorded in {record_file}: the end-to-end tests did not run")
        return 1
    counts = {}
    for line in lines:
        entry = json.loads(line)
        problems = check_record(schemas, entry)
        for problem in problems:
            print(f"request {base64.b64decode(entry['request'])[:160]!r}: {problem}")
        failures += len(problems)
        counts[entry["status"]] = counts.get(entry["status"], 0) + 1
    print(f"{len(lines)} answers checked ({counts.get(0, 0)} answers, {counts.get(2, 0)} error documents), "
          f"{len(examples)} documented examples, {failures} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
