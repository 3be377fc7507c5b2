"""What a schema document declares, with where: the actions and fields that help lines
list under the engine's errors, and that the language server completes, shows and finds.

Read from the YAML nodes, within the caps, as the engine reads the document: keyed maps
where a name written twice keeps its later entry, every name a text, a type as one of
the three words (or a tag of one on an empty node). Positions are the reader's (lines
and columns from 0); whoever publishes one translates it to the editor's lines.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from tamsel_tools.io.reading import Limits
from tamsel_tools.model import composed as yaml_nodes
from tamsel_tools.model.rules import FIELD_TYPES


@dataclass(frozen=True)
class Declared:
    """A name in the schema: an action, or a field with its type; line and columns from 0."""

    name: str
    type: Optional[str]  # the field's type; None for an action
    line: int
    column: int
    end_column: int


@dataclass
class Schema:
    actions: Dict[str, Declared] = field(default_factory=dict)
    # Fields by domain and, for "action", by action name ("actor" and "snapshot" under None).
    fields: Dict[Tuple[str, Optional[str]], Dict[str, Declared]] = field(default_factory=dict)

    def visible(self, domain: Optional[str], action: Optional[str]) -> Dict[str, Declared]:
        """The fields a subject of the domain reads in a rule scoped to the action (or none)."""
        if domain == "action":
            return self.fields.get(("action", action), {}) if action is not None else {}
        if domain in ("actor", "snapshot"):
            return self.fields.get((domain, None), {})
        return {}

    def field(self, domain: Optional[str], name: str, action: Optional[str]) -> Optional[Declared]:
        return self.visible(domain, action).get(name)

    def declarations(self, domain: Optional[str], name: str) -> List[Tuple[Optional[str], Declared]]:
        """Every declaration of the field in the domain (any domain when None), with its action."""
        found = []
        for (each, action), declared in self.fields.items():
            if (domain is None or each == domain) and name in declared:
                found.append((action, declared[name]))
        return found


def _declared(key: Any, type_name: Optional[str]) -> Declared:
    line, column = yaml_nodes.start(key)
    end_line, end_column = yaml_nodes.end(key)
    return Declared(key.value, type_name, line, column, end_column if end_line == line else column + len(key.value))


def _type(node: Any) -> Optional[str]:
    text = yaml_nodes.scalar(node)
    if text is None:
        return None
    if text in FIELD_TYPES:
        return text
    tag = getattr(node, "tag", "") or ""
    if text == "" and tag.startswith("!") and tag[1:] in FIELD_TYPES:
        return tag[1:]
    return None


def _fields(block: Any) -> Dict[str, Declared]:
    fields: Dict[str, Declared] = {}
    for key, value in yaml_nodes.entries(yaml_nodes.get(block, "fields")):
        if yaml_nodes.kind(key) == "scalar":
            fields[key.value] = _declared(key, _type(value))
    return fields


def read(text: str, limits: Optional[Limits] = None) -> Optional[Schema]:
    """The schema's declarations; None when the text is not a YAML mapping or is past the caps."""
    root = yaml_nodes.compose(text, limits)
    if root is None or yaml_nodes.kind(root) != "mapping":
        return None
    schema = Schema()
    for key, value in yaml_nodes.entries(yaml_nodes.get(root, "actions")):
        if yaml_nodes.kind(key) == "scalar":
            schema.actions[key.value] = _declared(key, None)
            schema.fields[("action", key.value)] = _fields(value)
    for domain in ("actor", "snapshot"):
        schema.fields[(domain, None)] = _fields(yaml_nodes.get(root, domain))
    return schema


def symbols(
    text: str, limits: Optional[Limits] = None
) -> List[Tuple[Declared, List[Declared], Tuple[int, int, int, int]]]:
    """The schema's blocks in document order: each action, then actor and snapshot, with their
    fields and the whole block's span (line, column, end line, end column)."""
    root = yaml_nodes.compose(text, limits)
    found: List[Tuple[Declared, List[Declared], Tuple[int, int, int, int]]] = []
    for key, value in yaml_nodes.entries(root):
        name = yaml_nodes.scalar(key)
        blocks = (
            yaml_nodes.entries(value) if name == "actions" else [(key, value)] if name in ("actor", "snapshot") else []
        )
        for block_key, block in blocks:
            if yaml_nodes.kind(block_key) != "scalar":
                continue
            fields = list(_fields(block).values())
            span = (*yaml_nodes.start(block_key), *yaml_nodes.end(block))
            found.append((_declared(block_key, None), fields, span))
    return found
