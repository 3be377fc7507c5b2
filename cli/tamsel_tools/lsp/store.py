"""The texts the server reads: the editor's unsaved text for an open document, the disk's
for the others."""

from __future__ import annotations

import functools
import re
from pathlib import Path
from typing import Dict, List, Optional, Tuple
from urllib.parse import quote, unquote, urlparse

from tamsel_tools.io.reading import FileRefused, read_bytes

# A document's role, when no project file, suite or file name gives it: its top-level keys.
_TOP_KEY = re.compile(r"^(rules|actions|actor|snapshot|governance):", re.M)
_ROLE_OF_KEY = {
    "rules": "policy",
    "actions": "schema",
    "actor": "schema",
    "snapshot": "schema",
    "governance": "governance",
}
# Files larger than this are not read from disk for pairing or completion; the editor's
# text of an open document is always used.
DISK_LIMIT = 64 * 1024 * 1024


def path_of(uri: str) -> Optional[Path]:
    """The file a `file:` URI names; None for any other scheme."""
    parsed = urlparse(uri)
    if parsed.scheme != "file":
        return None
    return Path(unquote(parsed.path))


def uri_of(path: Path) -> str:
    return "file://" + quote(str(path))


@functools.lru_cache(maxsize=4)
def lines_of(text: str) -> Tuple[str, ...]:
    """The text's lines as the engine and the client count them, without their ends. The
    last few texts' are kept: one change asks for its text's lines many times."""
    return tuple(re.split(r"\r\n|\r|\n", text))


def role_by_content(text: str) -> Optional[str]:
    """ "policy", "schema" or "governance" by the first top-level key that tells; None."""
    found = _TOP_KEY.search(text[:1_000_000])
    return None if found is None else _ROLE_OF_KEY[found[1]]


class Store:
    def __init__(self) -> None:
        self._open: Dict[Path, str] = {}

    def opened(self, path: Path, text: str) -> None:
        self._open[path] = text

    def closed(self, path: Path) -> None:
        self._open.pop(path, None)

    def is_open(self, path: Path) -> bool:
        return path in self._open

    def open_paths(self) -> List[Path]:
        return list(self._open)

    def text(self, path: Path) -> Optional[str]:
        """The document's text; None when it is neither open nor readable as UTF-8."""
        if path in self._open:
            return self._open[path]
        try:
            # A regular file only, opened without waiting, and no more of it than the limit.
            return read_bytes(str(path), DISK_LIMIT).decode("utf-8")
        except (FileRefused, UnicodeDecodeError, ValueError):
            return None
