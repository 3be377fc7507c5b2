"""How the engine compares, written once on the Python side.

Any field of an input may hold any kind of value, whatever the schema declares.
A comparison is false when a side is missing or the two sides are of different
kinds. Numbers compare as IEEE doubles: NaN equals, exceeds and undercuts
nothing and differs from everything, -0.0 equals 0.0. Texts and booleans only
compare for equality; ordering them is false.

The analysis' solver encoding follows the same rules; the witness builder uses
these functions to test candidates without a round trip through the engine.
"""

from __future__ import annotations

import math
import struct
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

from tamsel_tools._model import Comparison, Literal, Rule, Subject, Value

Input = Dict[str, Dict[str, Value]]
Kind = Optional[str]  # "text", "number", "boolean"; None for a missing field

# The order key of +infinity: every double that is not NaN has a key in
# [-KEY_INFINITY, KEY_INFINITY], and every integer there is the key of one double.
KEY_INFINITY = 0x7FF0000000000000


def kind(value: Any) -> Kind:
    """The kind of an input value as the engine reads it; None when it is missing."""
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "text"
    return None


def compare(left: Any, operator: str, right: Any) -> bool:
    """The engine's comparison of two sides, each a value or None when missing."""
    left_kind = kind(left)
    if left_kind is None or left_kind != kind(right):
        return False
    if operator == "equals":
        return bool(left == right)
    if operator == "not_equals":
        return bool(left != right)
    if left_kind != "number":
        return False
    return bool(left > right) if operator == "greater_than" else bool(left < right)


def value_of(data: Mapping[str, Any], subject: Subject) -> Any:
    """The subject's value in an input, None when the input does not hold it."""
    domain = data.get(subject.domain)
    return domain.get(subject.field) if isinstance(domain, Mapping) else None


def holds(comparison: Comparison, data: Mapping[str, Any]) -> bool:
    left = value_of(data, comparison.left)
    right = comparison.right
    other = right.value if isinstance(right, Literal) else value_of(data, right)
    return compare(left, comparison.operator, other)


def condition_holds(rule: Rule, data: Mapping[str, Any]) -> bool:
    results = (holds(comparison, data) for comparison in rule.comparisons)
    return any(results) if rule.condition == "any" else all(results)


def subjects(rule: Rule) -> Tuple[Subject, ...]:
    """Every field that the rule reads, in order, without repeats."""
    seen: Dict[Subject, None] = {}
    for comparison in rule.comparisons:
        seen[comparison.left] = None
        if isinstance(comparison.right, Subject):
            seen[comparison.right] = None
    return tuple(seen)


class Lists:
    """The rules as the engine files them: by action type, and global; actor rules never decide."""

    def __init__(self, rules: Sequence[Rule]) -> None:
        self.actions: Dict[str, list[Rule]] = {}
        self.globals: list[Rule] = []
        for rule in rules:
            if rule.scope.kind == "action":
                assert rule.scope.name is not None
                self.actions.setdefault(rule.scope.name, []).append(rule)
            elif rule.scope.kind == "global":
                self.globals.append(rule)

    def applying(self, data: Mapping[str, Any]) -> list[Rule]:
        """The rules that the engine tries for an input, in order."""
        action_type = value_of(data, Subject("action", "type"))
        own = self.actions.get(action_type, []) if isinstance(action_type, str) else []
        return own + self.globals

    def decider(self, data: Mapping[str, Any]) -> Optional[Rule]:
        """The rule that decides the input, None for the default."""
        for rule in self.applying(data):
            if condition_holds(rule, data):
                return rule
        return None


# ---------------------------------------------------------------- doubles as ordered integers


def order_key(number: float) -> int:
    """An integer that orders as the double does; -0.0 and 0.0 share 0. Not for NaN."""
    bits: int = struct.unpack("<q", struct.pack("<d", number))[0]
    return bits if bits >= 0 else -(bits & 0x7FFFFFFFFFFFFFFF)


def from_key(key: int) -> float:
    """The double of an order key (0 is 0.0)."""
    bits = key if key >= 0 else (-key) | (1 << 63)
    number: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
    return number


def is_plain(number: float) -> bool:
    """Finite, and zero or normal: what a person expects to read in an example."""
    return math.isfinite(number) and (number == 0.0 and math.copysign(1.0, number) > 0 or abs(number) >= 2.2250738585072014e-308)


class Indexed:
    """`Lists.decider` that looks only at rules reading a field the input holds: any other rule has
    a comparison with a missing side in every member, so it cannot hold."""

    def __init__(self, lists: Lists) -> None:
        self.lists = lists
        self.readers: Dict[Tuple[Optional[str], Tuple[str, str]], list[int]] = {}  # (list, field): positions
        for name, members in [*lists.actions.items(), (None, lists.globals)]:
            for position, rule in enumerate(members):
                for subject in subjects(rule):
                    self.readers.setdefault((name, (subject.domain, subject.field)), []).append(position)

    def first(self, name: Optional[str], data: Mapping[str, Any], before: Optional[int] = None) -> Optional[Rule]:
        """The first rule of one list (None: the global list) that holds, among the first `before`."""
        members = self.lists.globals if name is None else self.lists.actions.get(name, [])
        held = [(domain, field) for domain, values in data.items() for field in values]
        positions: set[int] = set()
        for key in held:
            positions.update(self.readers.get((name, key), ()))
        for position in sorted(positions):
            if before is not None and position >= before:
                break
            if condition_holds(members[position], data):
                return members[position]
        return None

    def decider(self, data: Mapping[str, Any]) -> Optional[Rule]:
        action_type = value_of(data, Subject("action", "type"))
        if isinstance(action_type, str) and action_type in self.lists.actions:
            own = self.first(action_type, data)
            if own is not None:
                return own
        return self.first(None, data)


# ---------------------------------------------------------------- implication between conditions
# A sound, cheap test of "every input that satisfies one condition satisfies
# another", for the common case of comparisons with literals on the same field.
# It never says yes wrongly; it may say no where the solver would say yes.


def _number_set(operator: str, value: float) -> Optional[Tuple[bool, int, int, Optional[int]]]:
    """The numbers a comparison with a literal admits: (NaN admitted, lowest key, highest key, a key
    excluded); None for none at all."""
    if math.isnan(value):
        return (True, -KEY_INFINITY, KEY_INFINITY, None) if operator == "not_equals" else None
    key = order_key(value)
    if operator == "equals":
        return (False, key, key, None)
    if operator == "not_equals":
        return (True, -KEY_INFINITY, KEY_INFINITY, key)
    if operator == "greater_than":
        return (False, key + 1, KEY_INFINITY, None) if key < KEY_INFINITY else None
    return (False, -KEY_INFINITY, key - 1, None) if key > -KEY_INFINITY else None


def comparison_implies(a: Comparison, b: Comparison) -> bool:
    """Whether every input in which `a` holds makes `b` hold."""
    if a == b or (a.left, a.operator, a.right) == (b.left, b.operator, b.right):
        return True
    if a.left != b.left or not isinstance(a.right, Literal) or not isinstance(b.right, Literal):
        return False
    x, y = a.right.value, b.right.value
    if kind(x) != kind(y):
        return False
    if isinstance(x, float) and isinstance(y, float):
        left, right = _number_set(a.operator, x), _number_set(b.operator, y)
        if left is None:
            return True
        if right is None:
            return False
        nan_ok = not left[0] or right[0]
        inside = right[1] <= left[1] and left[2] <= right[2]
        excluded = right[3] is None or right[3] == left[3] or not (left[1] <= right[3] <= left[2])
        return nan_ok and inside and excluded
    if a.operator not in ("equals", "not_equals") or b.operator not in ("equals", "not_equals"):
        return a.operator not in ("equals", "not_equals")  # nothing holds: implies everything
    if a.operator == "equals":
        return compare(x, b.operator, y)
    return b.operator == "not_equals" and x == y


def implies(rule: Rule, other: Rule) -> bool:
    """Whether every input in which `rule`'s condition holds makes `other`'s hold (a sound test)."""
    if rule.condition == "any":
        return all(_conjunction_implies((c,), other) for c in rule.comparisons)
    return _conjunction_implies(rule.comparisons, other)


def _conjunction_implies(known: Tuple[Comparison, ...], other: Rule) -> bool:
    def follows(wanted: Comparison) -> bool:
        return any(comparison_implies(c, wanted) for c in known)

    if other.condition == "any":
        return any(follows(c) for c in other.comparisons)
    return all(follows(c) for c in other.comparisons)
