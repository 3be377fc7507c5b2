"""How much of a document a message may echo.

The engine quotes the value at fault in its messages, and a file that is not
a document at all is one long value: a message would carry the whole file to a
terminal, a CI log or a JUnit report. Every quoted span of a message is cut to
ECHOED characters, with an ellipsis and the span's full length.

Quotes are only a guess at where a value ends, and a value may hold quotes of
every kind. So the values that the tools know (an error's operands, rule ids,
keys) are cut where the message is made, and the quotes are only the last
guard, for what the engine quotes without naming it.
"""

from __future__ import annotations

import re
from typing import Iterable, List, Set

ECHOED = 200

# A double-quoted span with backslash escapes, as the engine quotes texts; a
# single- or back-quoted one, as names and variants are quoted, which has no
# escapes: it ends at the first quote that stands before a space, a
# punctuation mark or the end. Each pattern finds the end of a span whose
# opening quote stands just before where it starts.
_ENDS = {
    '"': re.compile(r'(?:[^"\\]|\\.)*"', re.DOTALL),
    "'": re.compile(r".*?'(?![\w'])", re.DOTALL),
    "`": re.compile(r"[^`]*`"),
}
_WORD = re.compile(r"[\w']")


def _cut(span: str) -> str:
    inner = span[1:-1]
    if len(inner) <= ECHOED:
        return span
    return f"{span[0]}{inner[:ECHOED]}{span[-1]}... ({len(inner)} characters)"


def _opens(message: str, at: int) -> bool:
    # A single quote after a letter is an apostrophe, not an opening quote.
    return message[at] != "'" or at == 0 or not _WORD.match(message[at - 1])


def bounded(message: str) -> str:
    """The message with each quoted value longer than ECHOED characters cut to that many.

    Read once from left to right: a span that has no end closes no later span of its kind
    either (for "...", an escaped quote is escaped whatever the span started), so that kind is
    not looked for again, and a message of any length takes time in proportion to it."""
    pieces: List[str] = []
    ended: Set[str] = set()  # kinds of quote with no closing one left
    done = 0  # what is in pieces
    at = 0
    while at < len(message):
        quote = message[at]
        found = None
        if quote in _ENDS and quote not in ended and _opens(message, at):
            found = _ENDS[quote].match(message, at + 1)
            if found is None:
                ended.add(quote)
        if found is None:
            at += 1
            continue
        pieces += [message[done:at], _cut(message[at : found.end()])]
        at = done = found.end()
    pieces.append(message[done:])
    return "".join(pieces)


def _shortened(text: str) -> str:
    return f"{text[:ECHOED]}... ({len(text)} characters)"


def quoted(value: str) -> str:
    """'value', cut to ECHOED characters as a message quotes a value of a document."""
    return f"'{value}'" if len(value) <= ECHOED else f"'{value[:ECHOED]}'... ({len(value)} characters)"


def represented(value: object) -> str:
    """repr(value), as messages show a suite's keys and values, cut to ECHOED characters."""
    text = repr(value)
    return text if len(text) <= ECHOED + 2 else _shortened(text)


def cut(value: str) -> str:
    """The value, or its first ECHOED characters with an ellipsis and its length."""
    return value if len(value) <= ECHOED else _shortened(value)


def without_long_values(message: str, values: Iterable[str]) -> str:
    """The message with each of the values longer than ECHOED characters cut wherever it
    stands; the longest first, so that a value that holds another is cut whole. A value whose
    quotes say where its texts end (a string the engine escapes) is cut as `bounded` cuts it."""
    for value in sorted((v for v in values if len(v) > ECHOED), key=len, reverse=True):
        shown = bounded(value)
        if len(shown) > ECHOED + 40:  # its quotes cannot be trusted: cut it whole
            shown = _shortened(value)
        message = message.replace(value, shown)
    return message
