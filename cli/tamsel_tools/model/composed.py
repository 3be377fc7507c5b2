"""A YAML document's nodes with their places, composed within the caps.

PyYAML's composer gives each node its start and end (line and column from 0, in
characters). The reader also ends a line at U+0085, U+2028 and U+2029; the marks are
translated to the lines an editor shows (LF, CRLF, CR), so that a place the language
server reads or publishes is the editor's. Composing does not expand aliases, and a
text past what a command reads of documents, or a tree of more values than that
size carries, gives no tree at all, as for a text that is not YAML.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple, Union

from tamsel_tools.base.lines import Positions
from tamsel_tools.io.reading import Limits

Key = Union[str, int]


def _yaml() -> Any:
    return importlib.import_module("yaml")


def available() -> bool:
    try:
        _yaml()
    except ImportError:
        return False
    return True


def compose(text: str, limits: Optional[Limits] = None) -> Any:
    """The first document's root node; None when the text is not YAML, is past the caps, or
    PyYAML is missing."""
    limits = limits or Limits()
    if (
        len(text) > limits.documents_max_bytes
        or len(text.encode("utf-8", "surrogatepass")) > limits.documents_max_bytes
    ):
        return None
    try:
        yaml = _yaml()
        # libyaml's reader where PyYAML was built with it: the pure-Python one takes a second a megabyte.
        root = yaml.compose(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    except ImportError:
        return None
    except Exception:  # noqa: BLE001 - malformed YAML, deep nesting, bad characters: no tree
        return None
    nodes = _nodes(root, limits.max_values)
    if nodes is None:
        return None
    _to_editor(nodes, Positions(text))
    return root


@dataclass(frozen=True)
class Mark:
    """A place as an editor counts it, from 0 (libyaml's own marks cannot be changed)."""

    line: int
    column: int


def _nodes(root: Any, most: int) -> Optional[List[Any]]:
    """The tree's nodes, each alias's node once; None past `most` of them."""
    seen: Dict[int, Any] = {}
    waiting = [] if root is None else [root]
    while waiting:
        node = waiting.pop()
        if id(node) in seen:
            continue
        seen[id(node)] = node
        if len(seen) > most:
            return None
        shape = kind(node)
        if shape == "mapping":
            waiting.extend(part for pair in node.value for part in pair)
        elif shape == "sequence":
            waiting.extend(node.value)
    return list(seen.values())


def _to_editor(nodes: List[Any], positions: Positions) -> None:
    if positions.same:
        return
    for node in nodes:
        node.start_mark = _editor_mark(node.start_mark, positions)
        node.end_mark = _editor_mark(node.end_mark, positions)


def _editor_mark(mark: Any, positions: Positions) -> Mark:
    line, column = positions.editor(mark.line + 1, mark.column + 1)
    assert line is not None and column is not None
    return Mark(line - 1, column - 1)


def kind(node: Any) -> str:
    """ "scalar", "sequence" or "mapping"."""
    return type(node).__name__.replace("Node", "").lower()


def scalar(node: Any) -> Optional[str]:
    return node.value if node is not None and kind(node) == "scalar" else None


def get(node: Any, key: Key) -> Any:
    """The value under a mapping's key (the last one written wins) or a sequence's item; None."""
    if node is None:
        return None
    if kind(node) == "mapping" and isinstance(key, str):
        found = None
        for name, value in node.value:
            if scalar(name) == key:
                found = value
        return found
    if kind(node) == "sequence" and isinstance(key, int) and 0 <= key < len(node.value):
        return node.value[key]
    return None


def has(node: Any, key: str) -> bool:
    return node is not None and kind(node) == "mapping" and any(scalar(name) == key for name, _ in node.value)


def entries(node: Any) -> List[Tuple[Any, Any]]:
    return list(node.value) if node is not None and kind(node) == "mapping" else []


def items(node: Any) -> List[Any]:
    return list(node.value) if node is not None and kind(node) == "sequence" else []


def start(node: Any) -> Tuple[int, int]:
    return node.start_mark.line, node.start_mark.column


def end(node: Any) -> Tuple[int, int]:
    return node.end_mark.line, node.end_mark.column
