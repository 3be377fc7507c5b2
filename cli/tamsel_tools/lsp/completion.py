"""Completion in a policy or governance document, from the user's own schema."""

from __future__ import annotations

from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from lsprotocol import types

from tamsel_tools.lsp import yaml_nodes
from tamsel_tools.lsp.places import Place, place
from tamsel_tools.model.declared import Schema
from tamsel_tools.model.rules import ADMITTED, DOMAINS, EFFECTS, OPERATORS

# The operators of a comparison whose left side has no declared type yet.
ALL_OPERATORS = OPERATORS


def _items(names: Iterable[Tuple[str, Optional[str]]], kind: types.CompletionItemKind) -> List[types.CompletionItem]:
    return [
        types.CompletionItem(label=name, detail=detail, kind=kind, sort_text=f"{number:05}")
        for number, (name, detail) in enumerate(names)
    ]


def _left_type(at: Place, schema: Schema) -> Optional[str]:
    if at.left is None or at.left[1] is None:
        return None
    declared = schema.field(at.left[0], at.left[1], at.action)
    return declared.type if declared is not None else None


def _fields(at: Place, schema: Schema) -> List[Tuple[str, Optional[str]]]:
    if at.document == "governance" and (at.domain is None or (at.domain == "action" and at.action is None)):
        # A filter without its domain or action names the fields of any: each name once.
        names: Dict[str, Optional[str]] = {}
        for (domain, _), declared in schema.fields.items():
            if at.domain is None or domain == at.domain:
                for name, each in declared.items():
                    names.setdefault(name, each.type if at.domain else f"{domain} field, {each.type}")
        return sorted(names.items())
    visible = schema.visible(at.domain, at.action)
    return [(name, declared.type) for name, declared in sorted(visible.items())]


def _allowed_fields(schema: Schema) -> List[Tuple[str, Optional[str]]]:
    names: Dict[str, Optional[str]] = {}
    for (domain, _), declared in schema.fields.items():
        for name, each in declared.items():
            names.setdefault(f"{domain}.{name}", each.type)
    return sorted(names.items())


def for_place(at: Place, schema: Schema, rule_ids: Sequence[str]) -> List[types.CompletionItem]:
    kinds = types.CompletionItemKind
    if at.kind == "field":
        return _items(_fields(at, schema), kinds.Field)
    if at.kind == "domain":
        return _items(((domain, "domain") for domain in DOMAINS), kinds.Module)
    if at.kind == "operator":
        admitted = ADMITTED.get(_left_type(at, schema) or "", ALL_OPERATORS)
        return _items(((operator, "operator") for operator in admitted), kinds.Operator)
    if at.kind == "literal":
        if _left_type(at, schema) == "boolean":
            return _items((("true", "boolean"), ("false", "boolean")), kinds.Value)
        return []
    if at.kind == "action":
        return _items(((name, "action") for name in sorted(schema.actions)), kinds.Class)
    if at.kind == "effect":
        return _items(((effect, "effect") for effect in EFFECTS), kinds.EnumMember)
    if at.kind == "policy_rule":
        return _items(((rule, "policy rule") for rule in dict.fromkeys(rule_ids)), kinds.Reference)
    if at.kind == "allowed_field":
        return _items(_allowed_fields(schema), kinds.Field)
    return []


def complete(
    lines: Sequence[str], document: str, line: int, column: int, schema: Schema, rule_ids: Sequence[str] = ()
) -> List[types.CompletionItem]:
    """The completion items at the cursor: none where nothing is known to stand."""
    found = yaml_nodes.at_cursor(lines, document, line, column)
    if found is None:
        return []
    at = place(found[0], found[1], document)
    return [] if at is None else for_place(at, schema, rule_ids)
