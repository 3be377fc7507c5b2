"""The decision record: one decision as a log keeps it, in JSON Lines and in Parquet.

A record holds `time` (UTC), `policy_hash`, `input` (the three domains), and either `decision`
(`effect`, `matched_rule`) or `error` (the `TypeError` text of `evaluate`); `id` is optional.

An input's field values are kept as `evaluate` converts them (Part of the engine's contract):
a boolean, a number (a 64-bit float), a text. A value that `evaluate` refuses is kept as the
object {"refused": TYPE NAME}: replayed, it is refused again with the same text, since a nested
mapping is refused as every other value of no kind.
"""

from __future__ import annotations

import datetime
import math
import operator
from typing import Any, Dict, Optional, Tuple

DOMAINS = ("action", "actor", "snapshot")
REFUSED = "refused"
EFFECTS = ("allow", "block", "require_approval")
# The outcome of a record that `evaluate` refused, where an effect would stand.
ERROR = "error"

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)


class Kind:
    """A field value's kind as a Parquet file types it."""

    BOOLEAN = "boolean"
    NUMBER = "number"
    TEXT = "text"
    REFUSED = "refused"


def refused_marker(value: Any) -> Dict[str, str]:
    return {REFUSED: type(value).__name__}


def _numpy_bool(value: Any) -> Optional[bool]:
    kind = type(value)
    if f"{getattr(kind, '__module__', '')}.{getattr(kind, '__name__', '')}" != "numpy.bool_":
        return None
    try:
        truth = kind.__bool__(value)
    except Exception:  # noqa: BLE001 - a hook that fails leaves the value to the next rule, as evaluate does
        return None
    return truth if type(truth) is bool else None


def _number(value: Any) -> Optional[float]:
    """The double that the interpreter's conversion makes of the value, None when it makes none."""
    kind = type(value)
    try:
        if hasattr(kind, "__float__"):
            return float(value)
        if hasattr(kind, "__index__"):
            return float(operator.index(value))
    except Exception:  # noqa: BLE001 - refused, as evaluate refuses it
        return None
    return None


def field_value(value: Any) -> Tuple[str, Any]:
    """The kind and the value kept of one field value, in the order `evaluate` tries them."""
    if type(value) is bool:
        return Kind.BOOLEAN, value
    truth = _numpy_bool(value)
    if truth is not None:
        return Kind.BOOLEAN, truth
    if not isinstance(value, str):
        number = _number(value)
        if number is not None:
            return Kind.NUMBER, number
        return Kind.REFUSED, refused_marker(value)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return Kind.REFUSED, refused_marker(value)
    return Kind.TEXT, str(value)


def domains(input: Any) -> Dict[str, Dict[str, Tuple[str, Any]]]:
    """The input's domains as kept: each field's kind and value. What is not a mapping of named
    fields (a domain that is not a dict, a name that is not a text) cannot be kept and is left
    out: the record's error says what `evaluate` said of it."""
    kept: Dict[str, Dict[str, Tuple[str, Any]]] = {}
    if not isinstance(input, dict):
        return kept
    for domain in DOMAINS:
        fields = input.get(domain) if domain in input else None
        if not isinstance(fields, dict):
            continue
        kept[domain] = {str(name): field_value(value) for name, value in fields.items() if isinstance(name, str)}
    return kept


def json_input(input: Any) -> Dict[str, Any]:
    """The input as a JSON Lines record holds it: integers as they are (their double is what
    `evaluate` compares), every other value as kept."""
    kept: Dict[str, Any] = {}
    for domain, fields in domains(input).items():
        original = input[domain]
        kept[domain] = {
            name: original[name] if kind == Kind.NUMBER and type(original[name]) is int else value
            for name, (kind, value) in fields.items()
        }
    return kept


def rfc3339(moment: datetime.datetime) -> str:
    """UTC with microseconds and a Z: 2026-12-10T06:22:25.123456Z."""
    return moment.astimezone(UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def parse_time(value: Any) -> datetime.datetime:
    """A record's time: an RFC 3339 text (a zone or a Z required), a datetime, or seconds since
    the epoch. ValueError for anything else."""
    if isinstance(value, datetime.datetime):
        return value if value.tzinfo is not None else value.replace(tzinfo=UTC)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        if not math.isfinite(value):
            raise ValueError("a time that is not finite")
        return EPOCH + datetime.timedelta(seconds=value)
    if not isinstance(value, str):
        raise ValueError("a time that is neither an RFC 3339 text nor a timestamp")
    text = value.strip()
    if text.endswith(("Z", "z")):
        text = text[:-1] + "+00:00"
    try:
        moment = datetime.datetime.fromisoformat(text.replace("t", "T", 1))
    except ValueError:
        raise ValueError(f"not an RFC 3339 time: {value[:64]!r}") from None
    if moment.tzinfo is None:
        raise ValueError(f"an RFC 3339 time needs its offset (Z for UTC): {value[:64]!r}")
    return moment
