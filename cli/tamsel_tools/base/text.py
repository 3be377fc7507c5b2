"""What the tools print: every text from a document or an input made safe for a terminal.

Names in documents may hold any character, and the engine's messages carry them
verbatim. A line that reaches a terminal or a CI log must not hold what moves
the cursor, erases, ends the line or reorders the text, so those characters are
written as escapes: one finding stays one visible line.
"""

from __future__ import annotations

import re

_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# C0 controls, DEL and C1 controls; the line and paragraph separators; the
# bidirectional marks, embeddings, overrides and isolates.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def _escape(found: "re.Match[str]") -> str:
    character = found.group()
    return _NAMED.get(character) or f"\\u{{{ord(character):x}}}"


def printable(text: str) -> str:
    """The text with every control, separator and bidirectional character escaped."""
    return _UNSAFE.sub(_escape, text)
