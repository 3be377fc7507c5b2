"""What a scalar of a policy or governance document names, from where it stands.

A place is found from the keys that lead to the scalar within its rule, and the rule
itself (for its scope's action and a comparison's left side).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple

from tamsel_tools.lsp import yaml_nodes
from tamsel_tools.lsp.yaml_nodes import Found, Key


@dataclass(frozen=True)
class Place:
    """kind: "field", "domain", "operator", "literal", "action", "effect", "rule_id"
    (a policy rule's own id), "policy_rule" (a governance filter's id) or "allowed_field"."""

    kind: str
    document: str  # "policy" or "governance"
    node: Any  # the scalar
    rule: Any  # the rule's node
    index: Optional[int]  # the rule's position in its list
    domain: Optional[str] = None  # of the subject, for "field"
    action: Optional[str] = None  # the action that scopes the rule, when one does
    left: Optional[Tuple[Optional[str], Optional[str]]] = None  # the comparison's subject, for "operator" and "literal"

    @property
    def text(self) -> str:
        return yaml_nodes.scalar(self.node) or ""


def _within_rule(found: Found, index: Optional[int], document: str) -> Optional[Tuple[int, Any, Tuple[Key, ...]]]:
    """The rule's index, node and the keys below it."""
    keys = found.keys[1:]
    if index is not None:
        return index, found.steps[0].node, keys
    head: Tuple[Key, ...] = ("rules",) if document == "policy" else ("governance", "rules")
    size = len(head)
    if keys[:size] != head or len(keys) <= size:
        return None
    position = keys[size]
    if not isinstance(position, int):
        return None
    return position, found.steps[size + 1].node, keys[size + 1 :]


def _scoped_action(scope: Any) -> Optional[str]:
    """The action of a scope read as the engine reads it: `action` first, a text."""
    return yaml_nodes.scalar(yaml_nodes.get(scope, "action"))


def _subject(node: Any) -> Tuple[Optional[str], Optional[str]]:
    if yaml_nodes.kind(node) == "sequence":
        return yaml_nodes.scalar(yaml_nodes.get(node, 0)), yaml_nodes.scalar(yaml_nodes.get(node, 1))
    return yaml_nodes.scalar(yaml_nodes.get(node, "domain")), yaml_nodes.scalar(yaml_nodes.get(node, "field"))


def _subject_place(keys: Sequence[Key], subject: Any) -> Optional[Tuple[str, Optional[str]]]:
    """("domain" or "field", the subject's domain) for keys below a subject's node."""
    if len(keys) != 1:
        return None
    domain, _ = _subject(subject)
    if keys[0] in ("domain", 0):
        return "domain", domain
    if keys[0] in ("field", 1):
        return "field", domain
    return None


def _comparison(keys: Sequence[Key], node: Any, base: Place) -> Optional[Place]:
    """The place below one comparison's node, mapping or three-item form."""
    if not keys:
        return None
    mapping = yaml_nodes.kind(node) == "mapping"
    part = {"subject": 0, "operator": 1, "value": 2}.get(keys[0]) if mapping and isinstance(keys[0], str) else keys[0]
    left_node = yaml_nodes.get(node, "subject" if mapping else 0)
    left = _subject(left_node)
    if part == 0:
        found = _subject_place(keys[1:], left_node)
        return None if found is None else _with(base, found[0], domain=found[1])
    if part == 1 and len(keys) == 1:
        return _with(base, "operator", left=left)
    if part == 2 and len(keys) >= 2:
        value = yaml_nodes.get(node, keys[0])
        if keys[1:] == ("literal",):
            return _with(base, "literal", left=left)
        if keys[1] == "subject":
            found = _subject_place(keys[2:], yaml_nodes.get(value, "subject"))
            return None if found is None else _with(base, found[0], domain=found[1])
    return None


def _with(base: Place, kind: str, **changes: Any) -> Place:
    return Place(kind, base.document, base.node, base.rule, base.index, action=base.action, **changes)


def policy_place(found: Found, index: Optional[int]) -> Optional[Place]:
    within = _within_rule(found, index, "policy")
    if within is None or found.is_key:
        return None
    rule_index, rule, keys = within
    base = Place("", "policy", found.node, rule, rule_index, action=_scoped_action(yaml_nodes.get(rule, "scope")))
    if keys == ("id",):
        return _with(base, "rule_id")
    if keys == ("effect",):
        return _with(base, "effect")
    if keys == ("scope", "action"):
        return _with(base, "action")
    if not keys or keys[0] != "when":
        return None
    when = yaml_nodes.get(rule, "when")
    if len(keys) >= 3 and keys[1] in ("all", "any") and isinstance(keys[2], int):
        return _comparison(keys[3:], yaml_nodes.get(yaml_nodes.get(when, keys[1]), keys[2]), base)
    return _comparison(keys[1:], when, base)


def governance_place(found: Found, index: Optional[int]) -> Optional[Place]:
    within = _within_rule(found, index, "governance")
    if within is None or found.is_key:
        return None
    rule_index, rule, keys = within
    where = yaml_nodes.get(yaml_nodes.get(rule, "select"), "where")
    base = Place("", "governance", found.node, rule, rule_index, action=_scoped_action(yaml_nodes.get(where, "scope")))
    simple: Dict[Tuple[Key, ...], str] = {
        ("select", "where", "id"): "policy_rule",
        ("select", "where", "effect"): "effect",
        ("select", "where", "scope", "action"): "action",
        ("select", "where", "when", "subject", "domain"): "domain",
    }
    if tuple(keys) in simple:
        return _with(base, simple[tuple(keys)])
    if tuple(keys) == ("select", "where", "when", "subject", "field"):
        subject = yaml_nodes.get(yaml_nodes.get(where, "when"), "subject")
        return _with(base, "field", domain=yaml_nodes.scalar(yaml_nodes.get(subject, "domain")))
    if len(keys) == 3 and keys[:2] == ("applies_to", "actions") and isinstance(keys[2], int):
        return _with(base, "action")
    if len(keys) == 3 and keys[:2] == ("must", "allowed_fields") and isinstance(keys[2], int):
        return _with(base, "allowed_field")
    return None


def place(found: Found, index: Optional[int], document: str) -> Optional[Place]:
    if document == "policy":
        return policy_place(found, index)
    if document == "governance":
        return governance_place(found, index)
    return None
