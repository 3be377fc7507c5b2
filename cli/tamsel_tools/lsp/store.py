"""The texts the server reads: the editor's unsaved text for an open document, the disk's
for the others."""

from __future__ import annotations

import functools
import importlib
import re
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple
from urllib.parse import quote, unquote, urlparse

from tamsel_tools.io.reading import FileRefused, read_bytes

# A document's role, when no project file, suite or file name gives it: its top-level keys,
# as the YAML reader sees them, or where it cannot read them, as a line shows them.
_TOP_KEY = re.compile("(?:\\A\ufeff?|[\r\n])(rules|actions|actor|snapshot|governance)[ \t]*:")
_LOOKED_AT = 1_000_000  # characters of a document read for its keys
_NAMES = {f"{role}.{ending}": role for role in ("schema", "policy", "governance") for ending in ("yaml", "yml", "json")}
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


def role_by_name(path: Path) -> Optional[str]:
    """ "policy", "schema" or "governance" by the file's name (policy.yaml, ...); None."""
    return _NAMES.get(path.name)


def _top_keys(text: str) -> Iterator[str]:
    """The top-level keys of the text's first document, as libyaml reads them (a byte order
    mark, CR line ends, flow and JSON style included), up to where it stops reading."""
    yaml: Any = importlib.import_module("yaml")
    depth = 0
    key_next = True  # in the root mapping: whether its next node is a key
    try:
        for event in yaml.parse(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)):
            if isinstance(event, (yaml.MappingStartEvent, yaml.SequenceStartEvent)):
                if depth == 0 and not isinstance(event, yaml.MappingStartEvent):
                    return
                if depth == 1:
                    key_next = not key_next
                depth += 1
            elif isinstance(event, (yaml.MappingEndEvent, yaml.SequenceEndEvent)):
                depth -= 1
                if depth == 0:
                    return
            elif isinstance(event, (yaml.ScalarEvent, yaml.AliasEvent)):
                if depth != 1:
                    if depth == 0:
                        return
                    continue
                if key_next and isinstance(event, yaml.ScalarEvent):
                    yield event.value
                key_next = not key_next
    except (yaml.YAMLError, RecursionError):
        return


@functools.lru_cache(maxsize=16)
def role_by_content(text: str) -> Optional[str]:
    """ "policy", "schema" or "governance" by the first top-level key that tells; None."""
    head = text[:_LOOKED_AT]
    for key in _top_keys(head):
        if key in _ROLE_OF_KEY:
            return _ROLE_OF_KEY[key]
    found = _TOP_KEY.search(head)
    return None if found is None else _ROLE_OF_KEY[found[1]]


class Store:
    def __init__(self) -> None:
        self._open: Dict[Path, str] = {}
        self._uris: Dict[Path, str] = {}  # an open document's URI as the client spelled it

    def opened(self, path: Path, text: str, uri: Optional[str] = None) -> None:
        self._open[path] = text
        if uri is not None:
            self._uris[path] = uri

    def closed(self, path: Path) -> None:
        self._open.pop(path, None)  # its URI stays: the diagnostics that clear it go there

    def uri(self, path: Path) -> str:
        """The URI that the client knows the document by: its own spelling when it opened it."""
        return self._uris.get(path) or uri_of(path)

    def open_text(self, path: Path) -> Optional[str]:
        """The editor's text of an open document; None for one that is not open."""
        return self._open.get(path)

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
