"""A suite file as a tree of nodes with their places, for located errors and for a
property's condition, which is handed to the engine as the YAML it stands for.

A JSON suite is parsed once more by a small scanner that only records where each
value starts (the values themselves come from `json`); a YAML suite is read from
PyYAML's events, which keep each scalar's text, style and tag as written, so that
the engine, not PyYAML, decides what a plain `yes` or `1e3` is.
"""

from __future__ import annotations

import bisect
import json.decoder
import math
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from tamsel_tools.base.lines import Positions
from tamsel_tools.base.strict_json import SPECIAL_NUMBERS

Key = Union[str, int]

# json's own reader of a string's text from just after its opening quote (not in the stubs).
_scanstring: Callable[[str, int], Tuple[str, int]] = getattr(json.decoder, "scanstring")  # noqa: B009


@dataclass
class Node:
    """One value: a scalar (`token` is its YAML spelling), a sequence or a mapping."""

    kind: str  # "scalar", "sequence" or "mapping"
    line: Optional[int] = None  # 1-based, in characters; None for a value not read from a file
    column: Optional[int] = None
    token: str = ""
    text: str = ""  # a scalar's text, by which a mapping's key is looked up
    items: List[Node] = field(default_factory=list)
    pairs: List[Tuple[Node, Node]] = field(default_factory=list)

    def child(self, key: Key) -> Optional[Node]:
        """The value under a mapping's key (the last, as readers keep it) or a sequence's index."""
        if self.kind == "sequence" and isinstance(key, int):
            return self.items[key] if 0 <= key < len(self.items) else None
        found = [value for name, value in self.pairs if name.kind == "scalar" and name.text == str(key)]
        return found[-1] if found else None

    def key(self, key: Key) -> Optional[Node]:
        """A mapping's key node itself."""
        found = [name for name, _ in self.pairs if name.kind == "scalar" and name.text == str(key)]
        return found[-1] if found else None

    def at(self, path: Tuple[Key, ...]) -> Optional[Node]:
        node: Optional[Node] = self
        for key in path:
            node = None if node is None else node.child(key)
        return node


class TreeError(Exception):
    """The text cannot be read as a tree (it has been parsed already, so this is rare); where
    reading stopped (1-based) when that is known."""

    def __init__(self, message: str, line: Optional[int] = None, column: Optional[int] = None) -> None:
        super().__init__(message)
        self.line = line
        self.column = column


# ---------------------------------------------------------------- YAML spellings


_PLAIN_ASCII = re.compile(r"[ !#-\[\]-~]*")  # printable ASCII but for the quote and the backslash


def quoted(text: str) -> str:
    """A double-quoted YAML scalar: ASCII, every other character escaped."""
    if _PLAIN_ASCII.fullmatch(text):  # most texts: nothing to escape
        return '"' + text + '"'
    out = ['"']
    for character in text:
        code = ord(character)
        if character in '"\\':
            out.append("\\" + character)
        elif 0x20 <= code < 0x7F:
            out.append(character)
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    out.append('"')
    return "".join(out)


def number_token(value: float) -> str:
    if math.isnan(value):
        return ".nan"
    if math.isinf(value):
        return ".inf" if value > 0 else "-.inf"
    return repr(value)


# The objects by which JSON writes the numbers that it has no tokens for, to their YAML tokens.
_SPECIAL_NUMBERS = {name: number_token(number) for name, number in SPECIAL_NUMBERS.items()}


def _special(node: Node) -> Node:
    """{"number": "NaN"} and its kin stand for the number itself."""
    if node.kind == "mapping" and len(node.pairs) == 1:
        ((name, value),) = node.pairs
        if name.text == "number" and value.kind == "scalar" and value.token == quoted(value.text):
            token = _SPECIAL_NUMBERS.get(value.text)
            if token is not None:
                return Node("scalar", node.line, node.column, token, value.text)
    return node


def data_tree(value: Any) -> Node:
    """The tree of a JSON-like Python value (no places)."""
    if isinstance(value, str):
        return Node("scalar", token=quoted(value), text=value)
    if isinstance(value, bool):
        return Node("scalar", token="true" if value else "false", text=str(value).lower())
    if isinstance(value, int):
        return Node("scalar", token=str(value), text=str(value))
    if isinstance(value, float):
        return Node("scalar", token=number_token(value), text=repr(value))
    if value is None:
        return Node("scalar", token="~", text="")
    if isinstance(value, (list, tuple)):
        return Node("sequence", items=[data_tree(item) for item in value])
    if isinstance(value, dict):
        return _special(Node("mapping", pairs=[(data_tree(k), data_tree(v)) for k, v in value.items()]))
    raise TreeError(f"not a JSON value: {type(value).__name__}")


# ---------------------------------------------------------------- JSON


# One token of a JSON text after its blanks: a string's opening quote, a container's opening or
# closing, a separator, or another scalar. The structure is `json`'s to check; this only places.
_TOKEN = re.compile(
    r"[ \t\n\r]*(?:(\")|([\[{])|([\]}])|([,:])"
    r"|(-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][-+]?[0-9]+)?|true|false|null|NaN|-?Infinity))"
)
_QUOTE, _OPENING, _CLOSING, _SEPARATOR, _SCALAR = 1, 2, 3, 4, 5
# The bare words of Python's JSON, NaN and the infinities among them.
_JSON_WORDS = {**{name: token for name, token in _SPECIAL_NUMBERS.items() if name != "-0.0"}, "null": "~"}


def json_tree(text: str) -> Node:
    """The tree of a JSON text that `json` has accepted, read token by token without recursion:
    a suite of thousands of properties holds half a million values."""
    # Lines as an editor counts them: JSON's white space holds CR too.
    starts = [0] + [found.end() for found in re.finditer("\r\n|\r|\n", text)]
    open_: List[List[Any]] = []  # each open container with its pending key (mappings)
    at = 0
    while True:
        found = _TOKEN.match(text, at)
        if found is None:
            raise TreeError(f"no JSON value at offset {at}")
        kind = found.lastindex or 0
        begin, at = found.start(kind), found.end()
        if kind == _SEPARATOR:
            continue
        if kind == _CLOSING:
            if not open_:
                raise TreeError(f"nothing to close at offset {begin}")
            closed: Node = open_.pop()[0]
            node = _special(closed) if closed.kind == "mapping" else closed
        else:
            line = bisect.bisect_right(starts, begin)
            column = begin - starts[line - 1] + 1
            if kind == _QUOTE:
                try:
                    value, at = _scanstring(text, at)
                except ValueError as error:
                    raise TreeError(str(error)) from None
                node = Node("scalar", line, column, quoted(value), value)
            elif kind == _OPENING:
                open_.append([Node("sequence" if found[kind] == "[" else "mapping", line, column), None])
                continue
            else:
                word = found[kind]
                node = Node("scalar", line, column, _JSON_WORDS.get(word, word), word)
        if not open_:
            return node
        parent = open_[-1]
        if parent[0].kind == "sequence":
            parent[0].items.append(node)
        elif parent[1] is None:
            parent[1] = node
        else:
            parent[0].pairs.append((parent[1], node))
            parent[1] = None


# ---------------------------------------------------------------- YAML


def _scalar_token(value: str, style: Optional[str], tag: Optional[str]) -> str:
    """The scalar spelled so that the engine reads it as it reads the original."""
    style = style or None  # the C parser calls plain ''
    prefix = ""
    if tag is not None:
        prefix = (tag if tag.startswith("!") else f"!<{tag}>") + " "
    if style is None and tag is None and _plain_safe(value):
        return value  # the engine types a plain scalar by its text
    if style is None and tag is None and value == "":
        return "~"
    return prefix + quoted(value)


_INDICATORS = tuple("-?:,[]{}#&*!|>'\"%@`")


def _plain_safe(value: str) -> bool:
    """Whether the text, written plain on a line of its own, reads back as itself."""
    if value == "" or value != value.strip() or any(c in value for c in "\n\r\t\x85\u2028\u2029"):
        return False
    if ": " in value or " #" in value or value.endswith(":"):
        return False
    return not value.startswith(_INDICATORS) or (value[0] in "-?:" and len(value) > 1 and value[1] != " ")


def yaml_tree(yaml: Any, text: str) -> Node:
    """The tree of the first document of a YAML text that PyYAML has accepted; aliases expanded.
    Its places are counted in an editor's lines."""
    events = iter(yaml.parse(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)))
    anchors: Dict[str, Node] = {}
    positions = Positions(text)

    def members(end: Any, node: Node) -> Node:
        for item in iter(lambda: next(events), None):
            if isinstance(item, end):
                return node
            if node.kind == "sequence":
                node.items.append(read(item))
            else:
                node.pairs.append((read(item), read(next(events))))
        return node

    def read(event: Any) -> Node:
        mark = event.start_mark
        line, column = positions.editor(mark.line + 1, mark.column + 1)
        if isinstance(event, yaml.AliasEvent):
            if event.anchor not in anchors:
                raise TreeError(f"unknown alias {event.anchor!r}")
            return anchors[event.anchor]
        if isinstance(event, yaml.ScalarEvent):
            node = Node("scalar", line, column, _scalar_token(event.value, event.style, event.tag), event.value)
        elif isinstance(event, yaml.SequenceStartEvent):
            node = members(yaml.SequenceEndEvent, Node("sequence", line, column))
        elif isinstance(event, yaml.MappingStartEvent):
            node = members(yaml.MappingEndEvent, Node("mapping", line, column))
        else:
            raise TreeError(f"unexpected {type(event).__name__}")
        if node.kind != "scalar" and (event.tag or "").startswith("!"):
            # The engine refuses a local tag on any node, before it looks inside.
            node = Node("scalar", line, column, f"{event.tag} ~", "")
        if event.anchor is not None:
            anchors[event.anchor] = node
        return node

    try:
        for event in events:
            if isinstance(event, (yaml.ScalarEvent, yaml.SequenceStartEvent, yaml.MappingStartEvent)):
                return read(event)
    except (yaml.YAMLError, RecursionError, StopIteration) as error:
        raise TreeError(str(error) or type(error).__name__) from None
    return Node("scalar", token="~")
