"""Reading a block of whole JSON lines into Arrow columns, as Python's `json` reads each line.

The engine's reader parses the block with the interpreter lock released, straight into the
columns that are evaluated and compared, and reads every value as `json.loads` and `evaluate`
would take it (an integer as the double `float()` makes of it, the integer -0 as 0.0, NaN and
the infinities as Python reads them). Where a line could read otherwise, or is no record, or is
bad, it reads none of the block: the block is then read line by line, where the line is decided
and located exactly as it always is.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

from tamsel_tools import _inspect
from tamsel_tools.io.reading import BYTES_PER_VALUE


def read_block(block: bytes, size: int, limit: int, absent_hash: Optional[str]) -> Optional[Tuple[Any, int, int, int]]:
    """The records of the block's first `size` bytes as a record batch (`position`, `time`, `policy_hash`, `decision`,
    `error`, `input`; an absent policy hash is `absent_hash`), with the block's lines, the
    records whose time is neither a text nor null and those without a recorded outcome; None
    where the block is to be read line by line (or without pyarrow: the lines are read all the
    same)."""
    try:
        import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        return None
    read = _inspect.read_json_lines(block, limit, max(1, limit // BYTES_PER_VALUE), absent_hash, size)
    if read is None:
        return None
    schema, array, lines, odd_times, bad_outcomes = read
    return pyarrow.RecordBatch._import_from_c_capsule(schema, array), lines, odd_times, bad_outcomes
