"""Reading a block of whole JSON lines into Arrow, where Arrow reads it as Python's `json` does.

`pyarrow.json` reads a block many times faster than `json.loads` reads its lines, but not always
to the same values: it takes an explicit null for an absent field (which `evaluate` refuses),
reads `-0` as -0.0 beside a float (Python keeps the integer 0), accepts `-NaN` and `Inf`, reads an
integer past the doubles as infinity (Python refuses it), takes a text that looks like a time for
a timestamp, and finds rows by values rather than by lines. So a block is read in columns only
where none of these can differ, checked on its columns first and on its text only where a column
leaves a doubt; otherwise it is read line by line. A bad line always fails a check: the precise
path locates it.
"""

from __future__ import annotations

import re
from typing import Any, Optional

from tamsel_tools.io.reading import BYTES_PER_VALUE, too_wide

# The keys whose explicit null means what their absence means: the recorded rule, the error,
# the id, the time and the policy hash (whose null the caller tells apart where a path gives one).
NULL_KEYS = ("matched_rule", "error", "id", "time", "policy_hash")
_NULLS = tuple((f'"{key}":null'.encode(), f'"{key}": null'.encode()) for key in NULL_KEYS)
# The integer -0 (a sign, a zero, then no digit, fraction nor exponent): Python's 0, Arrow's -0.0.
_NEGATIVE_ZERO = re.compile(rb"-0(?![0-9.eE])")
_NEGATIVE_ZERO_BITS = -(1 << 63)


def lines_in(block: bytes, newlines: int) -> int:
    return newlines + (not block.endswith(b"\n"))


def text_is_plain(block: bytes, newlines: int, limit: int) -> bool:
    """Every line starts with `{` and ends with `}` (before a CR LF), and the text is UTF-8 that
    Python holds within the cap. No value then spans two lines (a `{` cannot follow a `}` inside
    one), so a table of as many rows as lines holds one line a row."""
    if not block.startswith(b"{") or not block.endswith((b"}\n", b"}", b"}\r\n")):
        return False
    bounds = block.count(b"}\n{") + (block.count(b"}\r\n{") if b"\r" in block else 0)
    if bounds != lines_in(block, newlines) - 1 or not _lines_within(block, limit // BYTES_PER_VALUE):
        return False
    if block.isascii():
        return True
    if too_wide(block, limit) is not None:
        return False
    try:
        block.decode("utf-8")  # Arrow does not check it; Python's lines do
    except UnicodeDecodeError:
        return False
    return True


def _lines_within(block: bytes, values: int) -> bool:
    """No line longer than `values` bytes, so none holds more separators than the values cap: a
    longer one would span a whole window of half as many bytes aligned to its size, which then
    holds no newline."""
    window = max(1, values // 2)
    if len(block) <= values:
        return True
    return all(block.find(b"\n", start, start + window) >= 0 for start in range(0, len(block) - window + 1, window))


def read_block(block: bytes, lines: int) -> Optional[Any]:
    """The block's record batch as `pyarrow.json` reads it (the time a text), one row a line;
    None where it cannot be read so (or without pyarrow: the lines are read all the same)."""
    try:
        import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.json  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None

    read = pyarrow.json.ReadOptions(use_threads=False, block_size=max(len(block) + 1, 1 << 16))
    parse = pyarrow.json.ParseOptions(
        explicit_schema=pyarrow.schema([("time", pyarrow.string())]), unexpected_field_behavior="infer"
    )
    try:
        table = pyarrow.json.read_json(pyarrow.BufferReader(block), read_options=read, parse_options=parse)
    except Exception:  # noqa: BLE001 - any failure is a line the precise path reads and locates
        return None
    if table.num_rows != lines:
        return None
    batches = table.combine_chunks().to_batches()
    return batches[0] if len(batches) == 1 else None


def _arrow() -> Any:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
    import pyarrow.compute  # type: ignore[import-untyped,import-not-found,unused-ignore]

    return pyarrow, pyarrow.compute


def _finite(array: Any) -> bool:
    """No NaN nor infinity anywhere in the array: JSON writes neither, so Arrow read a token
    that Python reads otherwise or refuses (-NaN, Inf, an integer past the doubles)."""
    pa, pc = _arrow()
    kind = array.type
    if pa.types.is_floating(kind):
        return not pc.any(pc.or_(pc.is_nan(array), pc.is_inf(array))).as_py()
    if pa.types.is_struct(kind):
        return all(_finite(child) for child in array.flatten())
    if pa.types.is_list(kind) or pa.types.is_large_list(kind):
        return _finite(array.flatten())
    return True


def _nulls_only_where_absent(block: bytes) -> bool:
    """Every `null` of the block is the value of one of NULL_KEYS, written `"KEY":null` or
    `"KEY": null` (so none is an input's: `exact_values` refuses fields so named)."""
    left = block.count(b"null")
    for forms in _NULLS:
        if not left:
            return True
        left -= sum(block.count(form) for form in forms)
    return left == 0


def _has_negative_zero(values: Any) -> bool:
    pa, pc = _arrow()
    bits = values.cast(pa.float64()).view(pa.int64())
    return bool(pc.any(pc.equal(bits, _NEGATIVE_ZERO_BITS)).as_py())


def exact_values(batch: Any, inputs: Any, block: bytes) -> bool:
    """Whether the block's columns hold what its lines hold: every double finite; every field of
    the input a boolean, an integer, a text or a double; no null of the input an explicit one;
    no -0.0 of the input the integer -0."""
    pa, _ = _arrow()
    types = pa.types
    if not all(_finite(column) for column in batch.columns):
        return False
    nulls = inputs.null_count
    negative_zero = False
    for domain, fields in zip(inputs.type, inputs.flatten()):
        if not types.is_struct(domain.type):
            return False
        nulls += fields.null_count
        for field, values in zip(domain.type, fields.flatten()):
            if any(key in field.name for key in NULL_KEYS):
                return False
            kind = field.type
            if not (types.is_boolean(kind) or types.is_int64(kind) or types.is_string(kind) or types.is_float64(kind)):
                return False
            nulls += values.null_count
            negative_zero = negative_zero or (types.is_float64(kind) and _has_negative_zero(values))
    if nulls and not _nulls_only_where_absent(block):
        return False
    return not (negative_zero and _NEGATIVE_ZERO.search(block))
