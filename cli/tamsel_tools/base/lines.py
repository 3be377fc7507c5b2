"""Positions as an editor shows them: a line ends at LF, CRLF or CR, and nowhere else.

The YAML reader (libyaml, so the engine and PyYAML) also ends a line at U+0085,
U+2028 and U+2029, which editors, terminals and review pages show inside a
line. A position that a reader gives is translated before the tools print or
publish it, so that it points at the line that people see.
"""

from __future__ import annotations

import bisect
import re
from typing import List, Optional, Tuple

# The characters that end a line for the reader only.
READER_ONLY_BREAKS = "\x85\u2028\u2029"
_READER_BREAK = re.compile("\r\n|[\r\n\x85\u2028\u2029]")
_EDITOR_BREAK = re.compile("\r\n|[\r\n]")


def has_reader_only_breaks(text: str) -> bool:
    return any(each in text for each in READER_ONLY_BREAKS)


def _starts(pattern: "re.Pattern[str]", text: str) -> List[int]:
    return [0, *(found.end() for found in pattern.finditer(text))]


class Positions:
    """One text's positions both ways: as the reader counts them and as an editor does.
    Nothing is counted for a text without a break that only the reader sees."""

    def __init__(self, text: str) -> None:
        self._text = text
        self._same = not has_reader_only_breaks(text)
        self._reader: List[int] = [] if self._same else _starts(_READER_BREAK, text)
        self._editor: Optional[List[int]] = None  # counted when first asked for

    @property
    def same(self) -> bool:
        """Whether the reader and an editor count the text's lines alike."""
        return self._same

    def editor(self, line: Optional[int], column: Optional[int]) -> Tuple[Optional[int], Optional[int]]:
        """The 1-based (line, column) that the reader gives, as an editor counts it."""
        if self._same or line is None or column is None or not 0 < line <= len(self._reader):
            return line, column
        return self.at(self._reader[line - 1] + max(column, 1) - 1)

    def at(self, offset: int) -> Tuple[int, int]:
        """The 1-based editor (line, column) of a character's offset in the text."""
        if self._editor is None:
            self._editor = _starts(_EDITOR_BREAK, self._text)
        index = bisect.bisect_right(self._editor, offset) - 1
        return index + 1, offset - self._editor[index] + 1
