"""Keys written twice: where the engine keeps the later one without a word, or says so
without a place.

In the schema's `actions` and in each `fields` map, a name written twice keeps its
later declaration (the engine's rule for keyed maps); a reviewer reads the first.
Each such key is a warning at the second one. A record's key written twice is the
engine's error "duplicate field", which has no position when the record is the
whole document: it is placed here, at the second key.

The keys are found with PyYAML's composer (libyaml's where PyYAML has it), whose
scalars are the texts the engine reads; without PyYAML nothing is found.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, Iterator, List, Optional, Tuple

from tamsel_tools.base.echo import quoted
from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.base.lines import Positions

# Past this size a schema is not composed again for its warnings.
_COMPOSED_UP_TO = 8 << 20


def _compose(text: str) -> Any:
    if len(text) > _COMPOSED_UP_TO:
        return None
    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        return None
    try:
        return yaml.compose(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    except (yaml.YAMLError, RecursionError):
        return None


def _pairs(node: Any) -> List[Tuple[Any, Any]]:
    return list(node.value) if type(node).__name__ == "MappingNode" else []


def _scalar(node: Any) -> Optional[str]:
    return node.value if type(node).__name__ == "ScalarNode" else None


def _value(node: Any, key: str) -> Any:
    """The value of the key in a mapping node (the last, as the engine reads a record)."""
    found = None
    for each, value in _pairs(node):
        if _scalar(each) == key:
            found = value
    return found


def _twice(node: Any) -> Iterator[Tuple[str, Any, Any]]:
    """Each key of the mapping written again: its name, the earlier key node, the later one."""
    seen: Dict[str, Any] = {}
    for key, _ in _pairs(node):
        name = _scalar(key)
        if name is None:
            continue
        if name in seen:
            yield name, seen[name], key
        seen[name] = key


def _keyed_maps(root: Any) -> Iterator[Tuple[str, Any]]:
    """The schema's keyed maps, each with what its names are: actions, and every fields map."""
    actions = _value(root, "actions")
    yield "action", actions
    for _, action in _pairs(actions):
        yield "field", _value(action, "fields")
    for block in ("actor", "snapshot"):
        yield "field", _value(_value(root, block), "fields")


def replaced_declarations(path: str, schema: str) -> List[Diagnostic]:
    """A warning at each name of the schema's actions or fields maps written a second time."""
    root = _compose(schema)
    if root is None:
        return []
    positions = Positions(schema)
    warnings = []
    for what, node in _keyed_maps(root):
        for name, first, second in _twice(node):
            line, column = positions.editor(second.start_mark.line + 1, second.start_mark.column + 1)
            earlier, _ = positions.editor(first.start_mark.line + 1, first.start_mark.column + 1)
            message = f"{what} {quoted(name)} is declared again: this replaces the declaration at line {earlier}"
            warnings.append(Diagnostic("warning", path, line, column, message, code="replaced_declaration"))
    return warnings


def second_key(text: str, key: str) -> Tuple[Optional[int], Optional[int]]:
    """Where the document's top-level key is written a second time (1-based, as an editor
    counts lines); (None, None) when it is not found."""
    for name, _, second in _twice(_compose(text)):
        if name == key:
            return Positions(text).editor(second.start_mark.line + 1, second.start_mark.column + 1)
    return None, None
