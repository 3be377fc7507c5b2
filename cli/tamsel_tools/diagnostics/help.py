"""Help under the engine's errors: how to write what an error names, chosen by its kind and operands.

The engine's messages are exact and terse: "data did not match any variant of
untagged enum ScopeAst" names a form without saying how it is written, and
"unknown field 'x' in domain 'actor'" does not say which fields there are. The
message stays as the engine gives it; these texts follow it, one a line. The
declared names that a help text lists are read from the schema as written
(every scalar a text, as the engine reads it), never by compiling again.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

from tamsel_tools.base.echo import cut, quoted
from tamsel_tools.model import declared
from tamsel_tools.model.policy import PolicyError
from tamsel_tools.model.rules import ADMITTED

SUBJECT = "a SUBJECT is [DOMAIN, FIELD] or {domain: DOMAIN, field: FIELD}, DOMAIN one of action, actor, snapshot"
VALUE = (
    "a VALUE is {literal: LITERAL} or {subject: SUBJECT}; a LITERAL is a text, a number, "
    "true or false (not null, a list or a mapping)"
)
OPERATORS = "an OPERATOR is one of equals, not_equals, greater_than, less_than"

# The forms by the name of the record or alternative that the reader expected.
FORMS: Dict[str, List[str]] = {
    "ScopeAst": ["a scope is one of {action: NAME}, {actor: NAME} or {global: true}"],
    "ConditionAst": [
        "a condition is one comparison, [SUBJECT, OPERATOR, VALUE] or "
        "{subject: SUBJECT, operator: OPERATOR, value: VALUE}, or {all: [COMPARISON, ...]} or "
        "{any: [COMPARISON, ...]} of two comparisons or more, which do not nest",
        SUBJECT,
        VALUE,
        OPERATORS,
    ],
    "Constraint": [
        "must is one of {exists: true or false}, {min_count: N}, {max_count: N}, "
        "{forbid: true or false} or {allowed_fields: [DOMAIN.FIELD, ...]}, N a whole number from 0"
    ],
    "SchemaAst": ["a schema document is a mapping with the keys version, actions, actor and snapshot"],
    "ActionSchemaAst": ["an action is {fields: {NAME: TYPE, ...}}, TYPE one of string, number, boolean"],
    "ActorSchemaAst": ["actor is {fields: {NAME: TYPE, ...}}, TYPE one of string, number, boolean"],
    "SnapshotSchemaAst": ["snapshot is {fields: {NAME: TYPE, ...}}, TYPE one of string, number, boolean"],
    "PolicyAst": ["a policy document is a mapping with the keys version and rules"],
    "RuleAst": ["a rule is a mapping {id: ID, scope: SCOPE, when: CONDITION, effect: EFFECT}"],
    "GovernanceAst": ["a governance document is a mapping {version: N, governance: {rules: [RULE, ...]}}"],
    "GovernanceBlock": ["governance is {rules: [RULE, ...]}"],
    "GovernanceRule": [
        "a governance rule is a mapping {id: ID, select: {where: FILTER}, must: CONSTRAINT, "
        "error: MESSAGE}, with applies_to: {actions: [NAME, ...]} optional"
    ],
    "AppliesTo": ["applies_to is {actions: [NAME, ...]}"],
    "Selector": ["select is {where: FILTER}"],
    "RuleFilter": ["a filter is a mapping with any of id: ID, scope: {...}, when: {subject: {...}}, effect: EFFECT"],
    "ScopeFilter": ["a scope filter is a mapping with any of action: NAME, global: true or false"],
    "WhenFilter": ["a when filter is {subject: {domain: DOMAIN, field: NAME}}, either key optional"],
    "SubjectFilter": ["a subject filter is a mapping with any of domain: DOMAIN, field: NAME"],
}
# What stands where a keyword (a word of a fixed list) was expected and a collection was found;
# an unknown word gets none, since the engine's message lists the words itself.
KEYWORD = "a YAML tag starting with '!'"
WORDS = {
    "policy": "an effect is one of the words allow, block, require_approval",
    "schema": "a field's type is one of the words string, number, boolean",
}
STRUCT = "struct "


@dataclass(frozen=True)
class Texts:
    """The three documents' texts, for the help that lists what they declare."""

    schema: str
    policy: str
    governance: Optional[str] = None


_Explain = Callable[[PolicyError, Texts], List[str]]


def help_lines(error: PolicyError, texts: Texts) -> List[str]:
    """How to write what the error names, one text a line; none when its message says all there is."""
    explain = _BY_KIND.get(error.kind)
    return [] if explain is None else explain(error, texts)


def _invalid_type(error: PolicyError, texts: Texts) -> List[str]:
    expected = error.operands.get("expected", "")
    if expected == KEYWORD:
        return [WORDS[error.document]] if error.document in WORDS else []
    if expected.startswith(STRUCT):
        return FORMS.get(expected[len(STRUCT) :], [])
    return []


def _unknown_field(error: PolicyError, texts: Texts) -> List[str]:
    domain = error.operands["domain"]
    if domain != "action":
        return [_listing(f"fields of domain '{domain}'", _declared_fields(texts.schema, domain, None), texts.schema)]
    if _yaml() is None:
        return [_listing("fields of the rule's action", None, texts.schema)]
    scope = _scope(texts.policy, error.rule_index)
    if scope is None:
        return []
    action = scope.get("action")
    if not isinstance(action, str):
        return ["only a rule scoped to an action, {action: NAME}, reads action fields"]
    fields = _declared_fields(texts.schema, "action", action)
    return [_listing(f"fields of action {quoted(action)}", fields, texts.schema)]


def _unknown_action(error: PolicyError, texts: Texts) -> List[str]:
    schema = _declarations(texts.schema)
    return [_listing("actions", None if schema is None else sorted(schema.actions), texts.schema)]


def _fixed(*lines: str) -> _Explain:
    return lambda error, texts: list(lines)


_BY_KIND: Dict[str, _Explain] = {
    "no_variant_matched": lambda error, texts: FORMS.get(error.operands["type"], []),
    "invalid_type": _invalid_type,
    "tagged_alternative": _fixed(
        "a tag (a word after '!') cannot stand inside a scope, a condition or must: write the value without it"
    ),
    "unknown_action": _unknown_action,
    "invalid_scope": _fixed("a scope for every request is written {global: true}"),
    "unknown_domain": _fixed("the domains are action, actor, snapshot"),
    "unknown_field": _unknown_field,
    "unknown_operator": _fixed("the operators are equals, not_equals, greater_than, less_than"),
    "too_few_members": lambda error, texts: [
        f"{error.operands['condition']} joins two comparisons or more; one comparison alone is written "
        "as the condition itself, [SUBJECT, OPERATOR, VALUE]"
    ],
    "type_mismatch": _fixed(
        "both sides of a comparison have one type; a literal's type is its form: "
        "1000 is a number, true a boolean, and quoted or other text a string"
    ),
    "operator_not_admitted": lambda error, texts: [
        f"type '{error.operands['type']}' admits {', '.join(ADMITTED[error.operands['type']])}; "
        "in and not_in are admitted for no type"
    ],
}


# A document is read again for its names only when small: help is not worth seconds and
# hundreds of megabytes. And so many names are listed at most, each cut as messages cut values.
_READ_AGAIN = 1 << 20
_LISTED = 40


def _listing(what: str, names: Optional[List[str]], schema: str) -> str:
    if names is None:
        why = "it is too large to read again for help" if len(schema) > _READ_AGAIN else "reading it needs PyYAML"
        return f"the schema's {what} could not be listed ({why})"
    if not names:
        return f"the schema declares no {what}"
    shown = [cut(name) for name in names[:_LISTED]]
    more = f", and {len(names) - _LISTED} more" if len(names) > _LISTED else ""
    return f"the schema declares these {what}: " + ", ".join(shown) + more


def _yaml() -> Any:
    """PyYAML, or None where it is not installed."""
    try:
        return importlib.import_module("yaml")
    except ImportError:
        return None


def _read(text: str) -> Optional[Dict[str, Any]]:
    """The document's top mapping with every scalar a text, as the engine reads names; None
    without PyYAML, or when it reads the text otherwise than as a mapping."""
    yaml = _yaml()
    if yaml is None or len(text) > _READ_AGAIN:
        return None
    try:
        # libyaml's reader where PyYAML was built with it: the pure-Python one takes a second a megabyte.
        tree = yaml.load(text, Loader=getattr(yaml, "CBaseLoader", yaml.BaseLoader))
    except (yaml.YAMLError, RecursionError):
        return None
    return tree if isinstance(tree, dict) else None


def _declarations(schema: str) -> Optional[declared.Schema]:
    """What the schema declares, read as the language server reads it; None when it is too
    large to read again for help, or cannot be read."""
    return None if len(schema) > _READ_AGAIN else declared.read(schema)


def _declared_fields(schema: str, domain: str, action: Optional[str]) -> Optional[List[str]]:
    """The fields that the schema declares in the domain (of the action)."""
    declarations = _declarations(schema)
    return None if declarations is None else sorted(declarations.visible(domain, action))


def _scope(policy: str, rule_index: Optional[int]) -> Optional[Dict[str, Any]]:
    """The scope mapping of the policy rule at the index, as written; None when it cannot be read."""
    tree = _read(policy)
    rules = None if tree is None else tree.get("rules")
    if rule_index is None or not isinstance(rules, list) or rule_index >= len(rules):
        return None
    rule = rules[rule_index]
    scope = rule.get("scope") if isinstance(rule, dict) else None
    return scope if isinstance(scope, dict) else None
