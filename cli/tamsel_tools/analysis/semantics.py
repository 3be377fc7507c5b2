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

import heapq
import math
import struct
from typing import Any, Dict, Iterator, Mapping, Optional, Sequence, Tuple

from tamsel_tools.model.rules import Comparison, FieldType, Literal, Rule, Subject, Value

Input = Dict[str, Dict[str, Value]]
Kind = Optional[FieldType]  # the field type whose values are of this kind; None for a missing field

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
        return "string"
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
    return domain.get(subject.field) if isinstance(domain, dict) else None


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
    return math.isfinite(number) and (
        number == 0.0 and math.copysign(1.0, number) > 0 or abs(number) >= 2.2250738585072014e-308
    )


class Indexed:
    """`Lists.decider` that looks only at rules that can hold on the input: each rule is filed under
    what it needs. An `all` (or atomic) condition needs every comparison, so it is filed under one:
    an `equals` with a literal under its field and value, else under its first field. An `any` is
    filed under each of its comparisons. A rule not found under the input's fields and values has
    a comparison that is false in every member that it needs."""

    def __init__(self, lists: Lists) -> None:
        self.lists = lists
        # (list, field) or (list, field, kind, value): positions in the list.
        self.filed: Dict[Tuple[Any, ...], list[int]] = {}
        for name, members in [*lists.actions.items(), (None, lists.globals)]:
            for position, rule in enumerate(members):
                needs = [_need(c) for c in rule.comparisons]
                if rule.condition != "any":
                    # One that never holds keeps the rule out of every file.
                    needs = [] if None in needs else [max(needs, key=lambda need: len(need or ()))]
                for need in dict.fromkeys(n for n in needs if n is not None):
                    self.filed.setdefault((name, *need), []).append(position)

    def first(self, name: Optional[str], data: Mapping[str, Any], before: Optional[int] = None) -> Optional[Rule]:
        """The first rule of one list (None: the global list) that holds, among the first `before`."""
        return next(self.holding(name, data, before), None)

    def holding(self, name: Optional[str], data: Mapping[str, Any], before: Optional[int] = None) -> Iterator[Rule]:
        """Every rule of one list that holds, in order, among the first `before`."""
        members = self.lists.globals if name is None else self.lists.actions.get(name, [])
        files = []
        for domain, values in data.items():
            for field, value in values.items():
                files.append(self.filed.get((name, domain, field), ()))
                value_kind = kind(value)
                if value_kind is not None:
                    files.append(self.filed.get((name, domain, field, value_kind, value), ()))
        # The files are in list order: merged lazily, the first rule that holds ends the walk.
        last = -1
        for position in heapq.merge(*[f for f in files if f]):
            if before is not None and position >= before:
                break
            if position != last and condition_holds(members[position], data):
                yield members[position]
            last = position

    def decider(self, data: Mapping[str, Any]) -> Optional[Rule]:
        action_type = value_of(data, Subject("action", "type"))
        if isinstance(action_type, str) and action_type in self.lists.actions:
            own = self.first(action_type, data)
            if own is not None:
                return own
        return self.first(None, data)


def _need(comparison: Comparison) -> Optional[Tuple[Any, ...]]:
    """What an input must hold for the comparison to hold: a field and value for an `equals` with a
    literal, else its left field (the longer key files it more narrowly); None if it never holds."""
    left = comparison.left
    right = comparison.right
    if isinstance(right, Literal) and comparison.operator == "equals":
        value = right.value
        if isinstance(value, float) and math.isnan(value):
            return None
        return (left.domain, left.field, kind(value), value)
    return (left.domain, left.field)


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


def never_holds(comparison: Comparison) -> bool:
    """A comparison with a literal that no value satisfies: NaN equalled or ordered, a text or boolean
    ordered, nothing above infinity or below minus infinity."""
    right = comparison.right
    if not isinstance(right, Literal):
        return False
    if isinstance(right.value, float):
        return _number_set(comparison.operator, right.value) is None
    return comparison.operator not in ("equals", "not_equals")


def comparison_implies(a: Comparison, b: Comparison) -> bool:
    """Whether every input in which `a` holds makes `b` hold."""
    if a is b or (a.left, a.operator, a.right) == (b.left, b.operator, b.right) or never_holds(a):
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
