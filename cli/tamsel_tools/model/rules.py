"""The compiled policy as the tools see it: plain, immutable values in document order.

These are the public data types of `tamsel_tools`. They are built from what the
private inspection module reports of a compiled policy; nothing here reads YAML.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Tuple, Union, get_args
from typing import Literal as TypingLiteral

Domain = TypingLiteral["action", "actor", "snapshot"]
# Only these four compile: "in" and "not_in" are admitted for no type.
Operator = TypingLiteral["equals", "not_equals", "greater_than", "less_than"]
Effect = TypingLiteral["allow", "block", "require_approval"]
FieldType = TypingLiteral["string", "number", "boolean"]
ScopeKind = TypingLiteral["action", "actor", "global"]
ConditionKind = TypingLiteral["atomic", "all", "any"]
DocumentName = TypingLiteral["schema", "policy", "governance"]
# A field value or a literal: a text, a number (every number is a float) or a boolean.
Value = Union[str, float, bool]

# The words above as values, in the order that messages list them.
DOMAINS: Tuple[Domain, ...] = get_args(Domain)
OPERATORS: Tuple[Operator, ...] = get_args(Operator)
EFFECTS: Tuple[Effect, ...] = get_args(Effect)
FIELD_TYPES: Tuple[FieldType, ...] = get_args(FieldType)
# The effect of the decision that no rule makes.
DEFAULT_EFFECT: Effect = "allow"
# The operators that a comparison of each type compiles with.
ADMITTED: Dict[str, Tuple[Operator, ...]] = {
    "string": ("equals", "not_equals"),
    "number": OPERATORS,
    "boolean": ("equals", "not_equals"),
}


@dataclass(frozen=True)
class Subject:
    """A field of the input: its domain and its name as written."""

    domain: Domain
    field: str


@dataclass(frozen=True)
class Literal:
    """A constant right side, as compiled: every number is a float."""

    value: Value


@dataclass(frozen=True)
class Comparison:
    """One comparison of a condition, with its place in the policy text (1-based)."""

    member: int  # its position in its condition, from 0 (0 for an atomic condition)
    left: Subject
    operator: Operator
    right: Union[Literal, Subject]
    type: FieldType  # the type that the schema declares for both sides
    line: int
    column: int


@dataclass(frozen=True)
class Violation:
    """One broken governance rule and where it points: the policy rule that breaks it or, when
    no one rule does (too few rules selected), the governance rule itself."""

    rule: str  # the governance rule's id
    message: str  # its error text as written
    document: TypingLiteral["policy", "governance"]  # the document that line and column are in
    rule_index: Optional[int]  # the violating policy rule's index; None when no one rule causes it
    line: Optional[int]  # 1-based
    column: Optional[int]


@dataclass(frozen=True)
class Scope:
    kind: ScopeKind
    name: Optional[str]  # the action or actor name; None for a global rule


@dataclass(frozen=True)
class Rule:
    """A compiled rule, with its place in the policy document."""

    index: int  # its position in the policy's rules, from 0
    id: str
    scope: Scope
    effect: Effect
    condition: ConditionKind
    comparisons: Tuple[Comparison, ...]  # one for an atomic condition, two or more otherwise
    line: int
    column: int

    @property
    def can_decide(self) -> bool:
        """Actor-scoped rules compile and count in the hash, but evaluation never runs them."""
        return self.scope.kind != "actor"
