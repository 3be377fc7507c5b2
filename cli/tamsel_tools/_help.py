"""`help:` lines under the engine's messages: how to write what a message names.

The engine's messages are exact and terse: "data did not match any variant of
untagged enum ScopeAst" names a form without saying how it is written, and
"unknown field 'x' in domain 'actor'" does not say which fields there are. The
message stays as the engine gives it; these lines follow it. Names that a help
line lists from the documents are confirmed by the engine before they are shown.
"""

from __future__ import annotations

import importlib
import json
import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

import tamsel

SUBJECT = "a SUBJECT is [DOMAIN, FIELD] or {domain: DOMAIN, field: FIELD}, DOMAIN one of action, actor, snapshot"
VALUE = (
    "a VALUE is {literal: LITERAL} or {subject: SUBJECT}; a LITERAL is a text, a number, "
    "true or false (not null, a list or a mapping)"
)
OPERATORS = "an OPERATOR is one of equals, not_equals, greater_than, less_than"

# The forms that a message names, by the type or record it names.
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
WORDS = {
    "policy": "an effect is one of the words allow, block, require_approval",
    "schema": "a field's type is one of the words string, number, boolean",
}
ADMITTED = {
    "string": "equals, not_equals",
    "number": "equals, not_equals, greater_than, less_than",
    "boolean": "equals, not_equals",
}
_TAG = "a tag (a word after '!') cannot stand inside a scope, a condition or must: write the value without it"

_FORM = re.compile(r"(?:untagged enum |expected struct )([A-Za-z]+)(?: at line [0-9]+ column [0-9]+)?\Z")
_UNSUPPORTED = re.compile(r"operator '[A-Za-z]+' not supported for type '(string|number|boolean)'\Z")
_UNKNOWN_FIELD = re.compile(r"unknown field '(.*)' in domain '(action|actor|snapshot)'\Z", re.S)
# Violations quote the governance rules' own texts, which may read like anything.
_VIOLATION = "governance validation failed: "


@dataclass(frozen=True)
class Texts:
    """The three documents' texts, for the help lines that list what they declare."""

    schema: str
    policy: str
    governance: Optional[str] = None


def help_lines(message: str, document: str, texts: Optional[Texts] = None) -> List[str]:
    """The help lines for one of the engine's messages about document ("schema",
    "policy" or "governance"), each "help: ..." and safe to print; none when the
    message says all there is."""
    return _help(message, document, texts)


def _help(message: str, document: str, texts: Optional[Texts]) -> List[str]:
    if message.startswith(_VIOLATION):
        return []
    form = _FORM.search(message)
    if form is not None and form[1] in FORMS:
        return FORMS[form[1]]
    # "unknown variant" lists the words itself; this message does not.
    if "expected a YAML tag starting with '!'" in message:
        return [WORDS[document]] if document in WORDS else []
    if "untagged and internally tagged enums do not support enum input" in message:
        return [_TAG]
    for pattern, explain in _COMPILE_ERRORS:
        found = pattern.match(message)
        if found is not None:
            return explain(found, texts)
    return []


def _unsupported(found: "re.Match[str]", texts: Optional[Texts]) -> List[str]:
    return [f"type '{found[1]}' admits {ADMITTED[found[1]]}; in and not_in are admitted for no type"]


def _unknown_field(found: "re.Match[str]", texts: Optional[Texts]) -> List[str]:
    domain = found[2]
    if texts is None:
        return []
    if domain != "action":
        return [_listing(f"fields of domain '{domain}'", _declared_fields(texts.schema, domain, None))]
    found_rule, action = _scope_of_failing_rule(texts, found[0])
    if not found_rule:
        return []
    if action is None:
        return ["only a rule scoped to an action, {action: NAME}, reads action fields"]
    return [_listing(f"fields of action '{action}'", _declared_fields(texts.schema, "action", action))]


def _unknown_action(found: "re.Match[str]", texts: Optional[Texts]) -> List[str]:
    if texts is None:
        return []
    return [_listing("actions", _declared_actions(texts.schema))]


_COMPILE_ERRORS: List[tuple["re.Pattern[str]", Callable[["re.Match[str]", Optional[Texts]], List[str]]]] = [
    (_UNSUPPORTED, _unsupported),
    (_UNKNOWN_FIELD, _unknown_field),
    (re.compile(r"unknown action '.*' in scope\Z", re.S), _unknown_action),
    (
        re.compile(r"unknown operator '"),
        lambda found, texts: ["the operators are equals, not_equals, greater_than, less_than"],
    ),
    (re.compile(r"unknown domain '"), lambda found, texts: ["the domains are action, actor, snapshot"]),
    (
        re.compile(r"invalid scope configuration\Z"),
        lambda found, texts: ["a scope for every request is written {global: true}"],
    ),
    (
        re.compile(r"type mismatch: "),
        lambda found, texts: [
            "both sides of a comparison have one type; a literal's type is its form: "
            "1000 is a number, true a boolean, and quoted or other text a string"
        ],
    ),
]


def _listing(what: str, names: Optional[List[str]]) -> str:
    if names is None:
        return f"the schema's {what} could not be listed (reading it needs PyYAML)"
    if not names:
        return f"the schema declares no {what}"
    return f"the schema declares these {what}: " + ", ".join(names)


def _yaml(text: str) -> Any:
    """The document as PyYAML reads it, or None without PyYAML or when it cannot."""
    try:
        yaml: Any = importlib.import_module("yaml")
        return yaml.safe_load(text)
    except ImportError:
        return None
    except Exception:  # noqa: BLE001 - a text PyYAML reads otherwise than the engine: no listing
        return None


def _builds(schema: str, policy: str) -> Optional[str]:
    try:
        tamsel.PyTamsel(schema, policy)
    except ValueError as error:
        return str(error)
    return None


def _rule(scope: str, when: str) -> str:
    return f"version: 1\nrules:\n  - id: probe\n    scope: {scope}\n    when: {when}\n    effect: allow\n"


def _names(mapping: Any) -> List[str]:
    return sorted(str(name) for name in mapping) if isinstance(mapping, dict) else []


def _declared_fields(schema: str, domain: str, action: Optional[str]) -> Optional[List[str]]:
    """The fields that the engine confirms as declared in the domain (of the action)."""
    tree = _yaml(schema)
    if not isinstance(tree, dict):
        return None
    block = tree.get(domain) if action is None else (tree.get("actions") or {}).get(action)
    names = _names(block.get("fields") if isinstance(block, dict) else None)
    scope = "{global: true}" if action is None else "{action: " + json.dumps(action) + "}"

    def declared(name: str) -> bool:
        subject = json.dumps([domain, name])
        return _builds(schema, _rule(scope, f"[{subject}, equals, {{subject: {subject}}}]")) is None

    return [name for name in names if declared(name)]


def _declared_actions(schema: str) -> Optional[List[str]]:
    tree = _yaml(schema)
    if not isinstance(tree, dict):
        return None
    # A condition that no schema compiles: what fails first is the scope, or not.
    when = '[["?", "?"], equals, {literal: 1}]'

    def declared(name: str) -> bool:
        error = _builds(schema, _rule("{action: " + json.dumps(name) + "}", when))
        return error is not None and not error.startswith("unknown action '")

    return [name for name in _names(tree.get("actions")) if declared(name)]


def _scope_of_failing_rule(texts: Texts, message: str) -> tuple[bool, Optional[str]]:
    """Whether a rule fails with message when compiled alone by the engine, and the
    action that scopes the first such rule (None when it is not scoped to one)."""
    tree = _yaml(texts.policy)
    rules = tree.get("rules") if isinstance(tree, dict) else None
    for rule in rules if isinstance(rules, list) else []:
        if not isinstance(rule, dict):
            continue
        alone = json.dumps({"version": 1, "rules": [rule]}, default=str)
        if _builds(texts.schema, alone) == message:
            scope = rule.get("scope")
            action = scope.get("action") if isinstance(scope, dict) else None
            return True, action if isinstance(action, str) else None
    return False, None
