#!/usr/bin/env python3
"""Validates every JSON line the end-to-end tests saw the launcher write (reply
lines on standard output, enforcement records on --status-fd) against the
schemas in doc/schema, and checks that keys come in ascending byte order at
every level. The log is emptied afterwards, so each run checks its own lines.

usage: check_reply_lines.py SCHEMA_DIR LOG
"""
import json
import sys
from pathlib import Path

from jsonschema import Draft202012Validator


def load(schema_dir: Path, name: str) -> Draft202012Validator:
    schema = json.loads((schema_dir / name).read_text())
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(schema)


def unsorted_keys(pairs):
    keys = [k for k, _ in pairs]
    if keys != sorted(keys, key=lambda k: k.encode()):
        raise ValueError(f"keys out of order: {keys}")
    return dict(pairs)


def main() -> int:
    schema_dir, log = Path(sys.argv[1]), Path(sys.argv[2])
    validators = {"reply": load(schema_dir, "reply.json"),
                  "record": load(schema_dir, "status-record.json")}
    load(schema_dir, "policy.json")
    load(schema_dir, "request.json")
    if not log.exists():
        print(f"no log at {log}: the end-to-end tests wrote no reply line", file=sys.stderr)
        return 1
    counts = {"reply": 0, "record": 0}
    failures = 0
    with log.open("rb") as f:
        for number, raw in enumerate(f, 1):
            tag, _, line = raw.decode().rstrip("\n").partition(" ")
            try:
                value = json.loads(line, object_pairs_hook=unsorted_keys)
            except ValueError as e:
                print(f"{log}:{number}: {tag} {line[:200]!r}: {e}", file=sys.stderr)
                failures += 1
                continue
            errors = list(validators[tag].iter_errors(value))
            if errors:
                best = min(errors, key=lambda e: len(list(e.path)))
                print(f"{log}:{number}: {tag} {line[:200]!r}: {best.message}", file=sys.stderr)
                failures += 1
            counts[tag] += 1
    log.write_bytes(b"")
    print(f"{counts['reply']} reply lines and {counts['record']} record lines checked")
    if counts["reply"] == 0 or counts["record"] == 0:
        print("nothing to check: the end-to-end tests logged no line", file=sys.stderr)
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
