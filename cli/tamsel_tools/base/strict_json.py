"""JSON that every parser takes, and that reads back to the same values.

Policies compare IEEE doubles, so NaN, the infinities and -0.0 are ordinary inputs, but RFC 8259 has no
token for them. The tools write each as an object `{"number": "NaN" | "Infinity" | "-Infinity" | "-0.0"}`
and read those objects back as the float (and Python's bare NaN/Infinity tokens too).
"""

from __future__ import annotations

import json
import math
from typing import Any, Dict, Optional

SPECIAL_NUMBERS: Dict[str, float] = {
    "NaN": math.nan,
    "Infinity": math.inf,
    "-Infinity": -math.inf,
    "-0.0": -0.0,
}


def special_name(number: float) -> Optional[str]:
    """The name of a float that RFC 8259 cannot write, None for one it can."""
    if math.isnan(number):
        return "NaN"
    if math.isinf(number):
        return "Infinity" if number > 0 else "-Infinity"
    if number == 0.0 and math.copysign(1.0, number) < 0:
        return "-0.0"
    return None


def encode(value: Any) -> Any:
    """`value` with every special float replaced by its object; containers copied, the rest as is."""
    if isinstance(value, float):
        name = special_name(value)
        return value if name is None else {"number": name}
    if isinstance(value, dict):
        return {key: encode(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [encode(item) for item in value]
    return value


def dumps(value: Any, **kwargs: Any) -> str:
    """RFC 8259 text of `value`; keyword arguments as `json.dumps` takes them (allow_nan is always off)."""
    kwargs["allow_nan"] = False
    return json.dumps(encode(value), **kwargs)


def _decode_object(pairs: Any) -> Any:
    # object_pairs_hook keeps duplicate keys' last-wins behaviour identical to json.loads's default.
    result = dict(pairs)
    if len(result) == 1 and isinstance(result.get("number"), str) and result["number"] in SPECIAL_NUMBERS:
        return SPECIAL_NUMBERS[result["number"]]
    return result


def decode(value: Any) -> Any:
    """The inverse of `encode` on an already parsed value."""
    if isinstance(value, dict):
        return _decode_object((key, decode(item)) for key, item in value.items())
    if isinstance(value, list):
        return [decode(item) for item in value]
    return value


def separators(text: str) -> int:
    """Commas, colons, brackets and braces, in strings too: one more than these is at least the
    number of values of a JSON text, keys included (a container of k values holds k - 1 commas,
    an object a colon for each key), counted without parsing it."""
    return text.count(",") + text.count(":") + text.count("[") + text.count("{")


def loads(text: str) -> Any:
    """Parse JSON text, turning the special-number objects (and bare NaN/Infinity tokens) into floats."""
    return json.loads(text, object_pairs_hook=_decode_object)
