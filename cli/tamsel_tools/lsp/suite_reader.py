"""Reads suites for the language server, in a process of its own: a suite is read as
`tamsel test` reads it (its byte and value caps, libyaml's loader), and however large it
is, neither the server's thread nor its memory carries it.

Standard input: {"max_bytes": N, "suites": [{"path": P, "text": T or null}, ...]} (the
text of a suite open in the editor, else null to read the file). Standard output: one
JSON list, for each suite in order the texts of its keys schema, policy and governance
that are texts, or null for a suite that cannot be read.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Dict, Optional

from tamsel_tools.base.findings import Reported
from tamsel_tools.io.files import read_suite
from tamsel_tools.io.reading import Limits
from tamsel_tools.suites.loading import parse_suite

KEYS = ("schema", "policy", "governance")


def names(path: str, text: Optional[str], limits: Limits) -> Optional[Dict[str, str]]:
    """The suite's document keys that are texts; None when it cannot be read."""
    try:
        if text is None:
            text = read_suite(path, limits)
        elif len(text.encode("utf-8", "surrogatepass")) > limits.max_bytes:
            return None
        value: Any = parse_suite(path, text, limits)
    except (Reported, RecursionError, MemoryError, ValueError):
        return None
    if not isinstance(value, dict):
        return None
    return {key: value[key] for key in KEYS if isinstance(value.get(key), str)}


def main() -> int:
    request = json.loads(sys.stdin.buffer.read().decode("utf-8"))
    limits = Limits(int(request["max_bytes"]))
    answers = [names(str(each["path"]), each.get("text"), limits) for each in request["suites"]]
    sys.stdout.write(json.dumps(answers))
    return 0


if __name__ == "__main__":
    sys.exit(main())
