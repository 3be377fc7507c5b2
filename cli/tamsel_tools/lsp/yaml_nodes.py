"""The documents' YAML as nodes with their places, for what the engine does not report:
which part of a rule stands under the cursor, and where a name is declared.

PyYAML's composer gives each node its start and end (line and column from 0, in
characters, as the engine counts them). While the author types, a document is
often not YAML yet; `at_cursor` then tries the text with a marker at the cursor
and the brackets and quotes of its line closed. A large policy is not composed
whole for one cursor: only the rule under it (`item_span`).
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

# The nodes' accessors are the model's, which the schema's declarations are read with too.
from tamsel_tools.model.composed import Key as Key
from tamsel_tools.model.composed import available as available
from tamsel_tools.model.composed import compose as compose
from tamsel_tools.model.composed import end as end
from tamsel_tools.model.composed import entries as entries
from tamsel_tools.model.composed import get as get
from tamsel_tools.model.composed import has as has
from tamsel_tools.model.composed import items as items
from tamsel_tools.model.composed import kind as kind
from tamsel_tools.model.composed import scalar as scalar
from tamsel_tools.model.composed import start as start

MARKER = "TAMSELCURSOR"
# Past this size a document is not composed whole: a rule is composed alone, or nothing.
WHOLE_LIMIT = 2_000_000


@dataclass(frozen=True)
class Step:
    """One step down from the root: the node reached and how (mapping key or item index)."""

    node: Any
    key: Key


@dataclass(frozen=True)
class Found:
    """The scalar at a place, the steps that lead to it (the last holds it), and whether it
    is a mapping's key rather than a value."""

    steps: Tuple[Step, ...]
    is_key: bool

    @property
    def keys(self) -> Tuple[Key, ...]:
        return tuple(step.key for step in self.steps)

    @property
    def node(self) -> Any:
        return self.steps[-1].node

    def parent(self, up: int = 1) -> Any:
        """The node `up` steps above the scalar (1: its container); None above the root."""
        index = len(self.steps) - 1 - up
        return self.steps[index].node if index >= 0 else None


def _within(node: Any, where: Tuple[int, int]) -> bool:
    return start(node) <= where <= end(node)


def locate(root: Any, line: int, column: int) -> Optional[Found]:
    """The innermost scalar whose span holds the place (its end included), with its steps."""
    where = (line, column)
    steps: List[Step] = [Step(root, "")]
    node = root
    while True:
        shape = kind(node)
        if shape == "scalar":
            return Found(tuple(steps), False) if _within(node, where) else None
        child: Optional[Step] = None
        if shape == "mapping":
            for name, value in node.value:
                if kind(name) == "scalar" and _within(name, where) and not _within(value, where):
                    return Found((*steps, Step(name, name.value)), True)
                if _within(value, where) and kind(name) == "scalar":
                    child = Step(value, name.value)
        else:
            for index, item in enumerate(node.value):
                if _within(item, where):
                    child = Step(item, index)
        if child is None:
            return None
        steps.append(child)
        node = child.node


def marked(root: Any) -> Optional[Found]:
    """The scalar that holds the marker, wherever it stands."""
    stack: List[Tuple[Any, Tuple[Step, ...]]] = [(root, (Step(root, ""),))]
    seen = set()  # an alias shares its node: each is walked once, so that no alias multiplies the walk
    while stack:
        node, steps = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        shape = kind(node)
        if shape == "scalar":
            if MARKER in node.value:
                return Found(steps, False)
        elif shape == "mapping":
            for name, value in node.value:
                if kind(name) == "scalar" and MARKER in name.value:
                    return Found((*steps, Step(name, name.value)), True)
                if kind(name) == "scalar":
                    stack.append((value, (*steps, Step(value, name.value))))
        else:
            stack.extend((item, (*steps, Step(item, index))) for index, item in enumerate(node.value))
    return None


def _closers(prefix: str) -> str:
    """What closes the quotes and flow brackets left open in the line before the cursor."""
    stack: List[str] = []
    quote = ""
    for char in prefix:
        if quote:
            if char == quote:
                quote = ""
        elif char in "\"'":
            quote = char
        elif char in "[{":
            stack.append("]" if char == "[" else "}")
        elif char in "]}" and stack:
            stack.pop()
        elif char == "#" and not stack:
            break
    return quote + "".join(reversed(stack))


@dataclass(frozen=True)
class Span:
    """Lines [first, last) of a text, composed alone: one item of the document's main list."""

    first: int
    last: int
    index: Optional[int]  # the item's position in its list; None for the whole text


_HEADER = {"policy": re.compile(r"rules:\s*(#.*)?$"), "governance": re.compile(r"  +rules:\s*(#.*)?$")}


def indentation(line: str) -> Optional[int]:
    """The indentation of a line that holds something; None for blank and comment lines."""
    stripped = line.lstrip(" ")
    if not stripped.strip() or stripped.startswith("#"):
        return None
    return len(line) - len(stripped)


def item_starts(lines: Sequence[str], document: str) -> Optional[Tuple[int, List[int], int]]:
    """The lines at which the items of the main list (a policy's or governance's rules)
    start, with their indentation and the line after the list; None when the list is not
    written in block style under its key."""
    if isinstance(lines, tuple):
        return _item_starts_kept(lines, document)
    return _item_starts(lines, document)


@functools.lru_cache(maxsize=4)
def _item_starts_kept(lines: Tuple[str, ...], document: str) -> Optional[Tuple[int, List[int], int]]:
    # A text's lines come as one tuple (`lines_of`): the diagnostics, then each request on
    # the same text, find its rules once.
    return _item_starts(lines, document)


def _item_starts(lines: Sequence[str], document: str) -> Optional[Tuple[int, List[int], int]]:
    header = _HEADER.get(document)
    if header is None:
        return None
    at = next((number for number, line in enumerate(lines) if header.match(line)), None)
    if at is None:
        return None
    key_indent = len(lines[at]) - len(lines[at].lstrip(" "))
    starts: List[int] = []
    indent: Optional[int] = None
    number = at + 1
    for number in range(at + 1, len(lines)):
        current = indentation(lines[number])
        if current is None:
            continue
        if indent is None:
            if not lines[number].lstrip(" ").startswith("-") or current < key_indent:
                return None
            indent = current
        if current < indent or (current == indent and not lines[number].lstrip(" ").startswith("-")):
            return indent, starts, number
        if current == indent:
            starts.append(number)
    return (indent or 0), starts, len(lines)


def item_span(lines: Sequence[str], document: str, line: int) -> Optional[Span]:
    """The item of the main list that the line belongs to; None outside the list's items."""
    found = item_starts(lines, document)
    if found is None:
        return None
    _, starts, after = found
    before = [index for index, first in enumerate(starts) if first <= line]
    if not before or line >= after:
        return None
    index = before[-1]
    last = starts[index + 1] if index + 1 < len(starts) else after
    return Span(starts[index], last, index)


def compose_span(lines: Sequence[str], span: Span) -> Any:
    """The item's node, with the marks of the whole text: blank lines stand for the lines
    above it, so that line numbers stay those of the document."""
    text = "\n" * span.first + "\n".join(lines[span.first : span.last]) + "\n"
    root = compose(text)
    return items(root)[0] if root is not None and kind(root) == "sequence" and len(items(root)) == 1 else None


def _candidates(line_text: str, column: int) -> List[str]:
    prefix = line_text[:column]
    rest = line_text[column:]
    # Right after a colon the value is not begun: a key needs a space before its value.
    marker = " " + MARKER if prefix.endswith(":") else MARKER
    return [prefix + marker + rest, prefix + marker + _closers(prefix)]


def at_cursor(lines: Sequence[str], document: str, line: int, column: int) -> Optional[Tuple[Found, Optional[int]]]:
    """The scalar under the cursor, with a marker where the cursor stands, and the index of
    the main list's item that holds it (None when the whole text was composed). Its steps
    are then relative to that item."""
    if line >= len(lines):
        return None
    span = item_span(lines, document, line)
    for candidate in _candidates(lines[line], min(column, len(lines[line]))):
        changed = [*lines[:line], candidate, *lines[line + 1 :]]
        if span is not None:
            node = compose_span(changed, span)
            if node is not None:
                found = marked(node)
                if found is not None:
                    return found, span.index
            continue
        if sum(len(each) for each in lines) > WHOLE_LIMIT:
            return None
        root = compose("\n".join(changed))
        found = marked(root) if root is not None else None
        if found is not None:
            return found, None
    return None


def at_place(lines: Sequence[str], document: str, line: int, column: int) -> Optional[Tuple[Found, Optional[int]]]:
    """The scalar at a place of the text as it is (hover, definition), as `at_cursor` gives it."""
    if line >= len(lines):
        return None
    span = item_span(lines, document, line)
    if span is not None:
        node = compose_span(lines, span)
        found = locate(node, line, column) if node is not None else None
        return (found, span.index) if found is not None else None
    if sum(len(each) for each in lines) > WHOLE_LIMIT:
        return None
    root = compose("\n".join(lines))
    found = locate(root, line, column) if root is not None else None
    return (found, None) if found is not None else None
