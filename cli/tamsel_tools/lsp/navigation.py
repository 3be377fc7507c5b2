"""Hover, go to definition and document symbols."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple

from tamsel_tools.lsp import yaml_nodes
from tamsel_tools.lsp.places import Place, place
from tamsel_tools.model import declared as _schema
from tamsel_tools.model.declared import Declared, Schema


@dataclass(frozen=True)
class Target:
    """A declaration in the schema: 0-based line and columns."""

    line: int
    column: int
    end_column: int


def _place_at(lines: Sequence[str], document: str, line: int, column: int) -> Optional[Place]:
    found = yaml_nodes.at_place(lines, document, line, column)
    return None if found is None else place(found[0], found[1], document)


def _allowed(text: str) -> Tuple[Optional[str], str]:
    domain, dot, name = text.partition(".")
    return (domain, name) if dot else (None, text)


def _field_declarations(at: Place, schema: Schema) -> List[Tuple[Optional[str], Declared]]:
    if at.kind == "allowed_field":
        domain, name = _allowed(at.text)
        return schema.declarations(domain, name)
    if at.document == "policy":
        declared = schema.field(at.domain, at.text, at.action)
        return [] if declared is None else [(at.action if at.domain == "action" else None, declared)]
    return [
        (action, declared)
        for action, declared in schema.declarations(at.domain, at.text)
        if at.domain != "action" or at.action is None or action == at.action
    ]


def definition(lines: Sequence[str], document: str, line: int, column: int, schema: Schema) -> List[Target]:
    """Where the field or action under the cursor is declared in the schema."""
    at = _place_at(lines, document, line, column)
    if at is None:
        return []
    if at.kind == "action":
        declared = schema.actions.get(at.text)
        return [] if declared is None else [Target(declared.line, declared.column, declared.end_column)]
    if at.kind in ("field", "allowed_field"):
        return [Target(each.line, each.column, each.end_column) for _, each in _field_declarations(at, schema)]
    return []


def _owner(domain: Optional[str], action: Optional[str]) -> str:
    return f"action '{action}'" if domain == "action" or (domain is None and action) else f"the {domain}"


def _field_hover(at: Place, schema: Schema, schema_name: str) -> Optional[str]:
    declared = _field_declarations(at, schema)
    domain = _allowed(at.text)[0] if at.kind == "allowed_field" else at.domain
    name = _allowed(at.text)[1] if at.kind == "allowed_field" else at.text
    if not declared:
        where = f"action '{at.action}'" if domain == "action" and at.action else f"domain '{domain}'"
        return f"`{name}`: not a declared field of {where}"
    lines = []
    for action, each in declared:
        owner = _owner("action" if action is not None else domain, action)
        lines.append(
            f"`{name}`: **{each.type or 'no valid type'}**, field of {owner}, "
            f"declared in {schema_name} at line {each.line + 1}"
        )
    return "\n\n".join(lines)


def _rule_list(rule: object) -> str:
    scope = yaml_nodes.get(rule, "scope")
    action = yaml_nodes.scalar(yaml_nodes.get(scope, "action"))
    if action is not None:
        return f"the rules of action '{action}'"
    actor = yaml_nodes.scalar(yaml_nodes.get(scope, "actor"))
    if actor is not None:
        return f"the rules of actor '{actor}', which evaluation never runs"
    return "the global rules"


def _rule_hover(at: Place, decides: Callable[[int], str]) -> str:
    effect = yaml_nodes.scalar(yaml_nodes.get(at.rule, "effect")) or "?"
    index = at.index if at.index is not None else 0
    return "\n\n".join(
        [
            f"rule `{at.text}`: index {index}, in {_rule_list(at.rule)}, effect **{effect}**",
            decides(index),
        ]
    )


def hover(
    lines: Sequence[str],
    document: str,
    line: int,
    column: int,
    schema: Schema,
    schema_name: str,
    decides: Callable[[int], str],
) -> Optional[Tuple[str, Tuple[int, int, int, int]]]:
    """Markdown for the field or rule id under the cursor, with the span it speaks of."""
    at = _place_at(lines, document, line, column)
    if at is None:
        return None
    span = (*yaml_nodes.start(at.node), *yaml_nodes.end(at.node))
    if at.kind in ("field", "allowed_field"):
        text = _field_hover(at, schema, schema_name)
    elif at.kind == "rule_id" and document == "policy":
        text = _rule_hover(at, decides)
    elif at.kind == "action":
        declared = schema.actions.get(at.text)
        text = (
            f"action `{at.text}`, declared in {schema_name} at line {declared.line + 1}"
            if declared
            else f"`{at.text}`: not an action of the schema"
        )
    else:
        return None
    return (text, span) if text else None


# ---------------------------------------------------------------- document symbols


@dataclass(frozen=True)
class Symbol:
    name: str
    detail: str
    kind: str  # "rule", "action", "block", "field"
    span: Tuple[int, int, int, int]  # the whole node
    name_span: Tuple[int, int, int, int]  # its name
    children: Tuple["Symbol", ...] = ()


_ID = re.compile(r"^(\s*-?\s*)id:[ \t]*(.*?)\s*(?:\s#.*)?$")


def _unquoted(text: str) -> str:
    if len(text) >= 2 and text[0] == text[-1] == '"':
        try:
            value = json.loads(text)
            return value if isinstance(value, str) else text
        except ValueError:
            return text[1:-1]
    if len(text) >= 2 and text[0] == text[-1] == "'":
        return text[1:-1].replace("''", "'")
    return text


def _rule_symbol(lines: Sequence[str], first: int, last: int, indent: int) -> Symbol:
    end = last - 1
    while end > first and yaml_nodes.indentation(lines[end]) is None:
        end -= 1
    name, name_span = "", (first, indent, first, len(lines[first]))
    for number in range(first, last):
        matched = _ID.match(lines[number])
        own = matched is not None and (number == first or len(matched[1]) == indent + 2)
        if matched is not None and own:
            name = _unquoted(matched[2])
            start = lines[number].index("id:", len(matched[1]) - 1 if matched[1] else 0)
            name_span = (number, start, number, len(lines[number].rstrip()))
            break
    return Symbol(name or "(no id)", "rule", "rule", (first, indent, end, len(lines[end])), name_span)


def _rules_from_nodes(lines: Sequence[str], document: str) -> List[Symbol]:
    if sum(len(line) for line in lines) > yaml_nodes.WHOLE_LIMIT:
        return []
    root = yaml_nodes.compose("\n".join(lines))
    container = (
        yaml_nodes.get(root, "rules")
        if document == "policy"
        else yaml_nodes.get(yaml_nodes.get(root, "governance"), "rules")
    )
    symbols = []
    for item in yaml_nodes.items(container):
        id_node = yaml_nodes.get(item, "id")
        name = yaml_nodes.scalar(id_node) or "(no id)"
        named = id_node if id_node is not None else item
        symbols.append(
            Symbol(
                name,
                "rule",
                "rule",
                (*yaml_nodes.start(item), *yaml_nodes.end(item)),
                (*yaml_nodes.start(named), *yaml_nodes.end(named)),
            )
        )
    return symbols


def rules(lines: Sequence[str], document: str) -> List[Symbol]:
    """Every rule of a policy or governance document, with the span of the whole rule; read
    line by line when the rules are a block list, else from the composed document."""
    found = yaml_nodes.item_starts(lines, document)
    if found is None:
        return _rules_from_nodes(lines, document)
    indent, starts, after = found
    bounds = [*starts, after]
    return [_rule_symbol(lines, bounds[i], bounds[i + 1], indent) for i in range(len(starts))]


def _declared_symbol(declared: Declared, kind: str, detail: str) -> Symbol:
    span = (declared.line, declared.column, declared.line, declared.end_column)
    return Symbol(declared.name, detail, kind, span, span)


def schema_symbols(text: str) -> List[Symbol]:
    found = []
    for block, fields, span in _schema.symbols(text):
        children = tuple(_declared_symbol(each, "field", each.type or "") for each in fields)
        name_span = (block.line, block.column, block.line, block.end_column)
        # The actor and snapshot blocks are keys of the root; actions stand below `actions:`.
        kind = "block" if block.column == 0 and block.name in ("actor", "snapshot") else "action"
        found.append(Symbol(block.name, kind, kind, span, name_span, children))
    return found
