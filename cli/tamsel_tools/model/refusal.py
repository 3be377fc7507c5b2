"""What in an input `evaluate` refused: the first value at fault, where it is and what it is.

The engine's own text ("Unsupported value type") names neither; the tools walk
the input as the engine does (the domains in its order, each domain's fields
in their order, every field checked whether a rule reads it or not) and name
the first value that the engine cannot take.
"""

from __future__ import annotations

import json
import re
from typing import Any, Iterator, Optional, Tuple

from tamsel_tools.model.rules import DOMAINS

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _encodes(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _json_kind(value: Any) -> str:
    """What a parsed JSON value is, as messages say it."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return f"the boolean {json.dumps(value)}"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a JSON string"
    if isinstance(value, list):
        return "a JSON array"
    if isinstance(value, dict):
        return "a JSON object"
    return f"a value of type {type(value).__name__}"


def _digits(value: int) -> str:
    try:
        return str(len(str(abs(value))))
    except ValueError:  # past the interpreter's limit on converting integers to text
        return f"about {int(abs(value).bit_length() * 0.30103) + 1}"


def _field_fault(value: Any) -> Optional[str]:
    """Why the engine refuses a field's value, or None when it takes it."""
    if isinstance(value, bool) or isinstance(value, float):
        return None
    if isinstance(value, int):
        try:
            float(value)
        except OverflowError:
            return f"an integer of {_digits(value)} digits, too large for a float"
        return None
    if isinstance(value, str):
        return None if _encodes(value) else "a text with a lone surrogate"
    return _json_kind(value)


def _step(path: str, key: str) -> str:
    """The path one key further: a dot and the key, or the key quoted when it is no plain name."""
    if _NAME.fullmatch(key):
        return f"{path}.{key}" if path else key
    return f"{path}[{json.dumps(key)}]"


def _faults(value: Any) -> Iterator[Tuple[str, str]]:
    """The values the engine refuses, in the order it meets them: (path, what it is)."""
    if not isinstance(value, dict):
        yield "", f"{_json_kind(value)}, not an object"
        return
    for domain in DOMAINS:
        if domain not in value:
            continue
        fields = value[domain]
        if not isinstance(fields, dict):
            yield domain, f"{_json_kind(fields)}, not an object"
            return
        for key, field in fields.items():
            if not isinstance(key, str):
                yield domain, f"a key that is not a text: {key!r}"
            elif not _encodes(key):
                yield _step(domain, key), "a key with a lone surrogate"
            else:
                fault = _field_fault(field)
                if fault is not None:
                    yield _step(domain, key), fault


def why_refused(value: Any) -> Optional[str]:
    """The first value at fault as `PATH is WHAT` (`the input is WHAT` for the whole input), or
    None when the tools find nothing the engine would refuse."""
    for path, what in _faults(value):
        return f"{path or 'the input'} is {what}"
    return None
