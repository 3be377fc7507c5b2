"""How much of a document a message may echo.

The engine quotes the value at fault in its messages, and a file that is not
a document at all is one long value: a message would carry the whole file to a
terminal, a CI log or a JUnit report. Every quoted span of a message is cut to
ECHOED characters, with an ellipsis and the span's full length.
"""

from __future__ import annotations

import re

ECHOED = 200

# A double-quoted span with backslash escapes, as the engine quotes texts; a
# single- or back-quoted one, as names and variants are quoted, which has no
# escapes: it ends at the first quote that stands before a space, a
# punctuation mark or the end.
_QUOTED = re.compile(
    r'"(?:[^"\\]|\\.)*"'
    r"|(?<![\w'])'.*?'(?![\w'])"
    r"|`[^`]*`",
    re.DOTALL,
)


def _cut(found: "re.Match[str]") -> str:
    span = found.group()
    inner = span[1:-1]
    if len(inner) <= ECHOED:
        return span
    return f"{span[0]}{inner[:ECHOED]}{span[-1]}... ({len(inner)} characters)"


def bounded(message: str) -> str:
    """The message with each quoted value longer than ECHOED characters cut to that many."""
    return _QUOTED.sub(_cut, message)
