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
# bidirectional marks, embeddings, overrides and isolates; and what shows as
# nothing at all (soft hyphen, zero-width spaces and joiners, word joiner and
# invisible operators, byte order mark, fillers), which would make two
# different names print the same.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\xad\u034f\u061c\u115f\u1160\u17b4\u17b5\u180b-\u180f\u200b-\u200f"
    "\u2028-\u202e\u2060-\u206f\u3164\ufeff\uffa0\ufff0-\ufff8]"
)


def _escape(found: "re.Match[str]") -> str:
    character = found.group()
    return _NAMED.get(character) or f"\\u{{{ord(character):x}}}"


def printable(text: str) -> str:
    """The text with every control, separator, bidirectional and invisible character escaped."""
    return _UNSAFE.sub(_escape, text)
