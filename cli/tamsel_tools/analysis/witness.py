"""Inputs a person can read: as few fields as show the point, in the kinds the schema declares,
with values from the policy itself.

`minimal` takes an input that shows something (a rule decides it, two policies
decide it differently) and a test of that; it first replaces each value that a
person would not write (a subnormal, NaN where a plain number does, a text the
policy never names) by the first of a short list of plain candidates that still
shows it, then drops every field that can go. The result is 1-minimal: without
any one of its fields it no longer shows the point.
"""

from __future__ import annotations

import bisect
import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, FrozenSet, Iterator, List, Optional, Sequence

from tamsel_tools.analysis.encoding import TYPE, Field, OtherTexts, PolicyEncoding
from tamsel_tools.analysis.semantics import Input, compare, condition_holds, is_plain, kind
from tamsel_tools.base.strict_json import dumps
from tamsel_tools.model.policy import InternalError
from tamsel_tools.model.rules import DEFAULT_EFFECT, Comparison, Effect, Literal, Rule, Value

SMALL_INTEGERS = (0.0, 1.0, -1.0, 2.0, 10.0, 100.0)


def copy(data: Input) -> Input:
    return {domain: dict(values) for domain, values in data.items()}


def fields(data: Input) -> List[Field]:
    return [(domain, name) for domain, values in data.items() for name in values]


def minimal(data: Input, still_shows: Callable[[Input], bool], encoding: PolicyEncoding) -> Input:
    """The input with plain values and only the fields it needs; `still_shows(data)` must hold."""
    result = copy(data)
    for key in fields(result):
        _plainer(result, key, still_shows, encoding)
    for domain, name in fields(result):
        value = result[domain].pop(name)
        if not still_shows(result):
            result[domain][name] = value
    return result


def preferred(value: Value, key: Field, encoding: PolicyEncoding) -> bool:
    """Whether a person would write the value: of the declared kind, plain, and the policy's own
    or a small integer. Such a value is kept as it is."""
    declared = encoding.declared.get(key)
    if declared is not None and kind(value) != declared:
        return False
    if isinstance(value, str) and value in OtherTexts.MADE_UP:
        return True
    if isinstance(value, float):
        return value in SMALL_INTEGERS or (is_plain(value) and value in _close(key, encoding))
    if isinstance(value, str):
        return value in encoding.texts.ids
    return True


def _plainer(data: Input, key: Field, still_shows: Callable[[Input], bool], encoding: PolicyEncoding) -> None:
    domain, name = key
    current = data[domain][name]
    if preferred(current, key, encoding):
        return
    for candidate in _candidates(key, current, data, encoding):
        data[domain][name] = candidate
        if still_shows(data):
            return
    data[domain][name] = current


def _candidates(key: Field, current: Value, data: Input, encoding: PolicyEncoding) -> Iterator[Value]:
    """Plain values of the declared kind first, then plain values of the current kind, then the
    unusual numbers that only an IEEE corner shows (the current value is kept when none does)."""
    declared = encoding.declared.get(key)
    order = [declared] if declared is not None else []
    if kind(current) not in order:
        order.append(str(kind(current)))
    for wanted in order:
        if wanted == "number":
            yield from _plain_numbers(key, current, encoding)
        elif wanted == "string":
            yield from _texts(key, encoding)
        elif wanted == "boolean":
            yield from (False, True)
    if isinstance(current, float):
        yield from (v for v in _numbers(key, encoding) if not is_plain(v))
        yield from (math.inf, -math.inf, -0.0, math.nan)


def _numbers(key: Field, encoding: PolicyEncoding) -> List[float]:
    """The numbers the field meets, kept on the encoding: thousands of properties may read one field."""
    memo = encoding.memo.get(("numbers", key))
    if memo is None:
        memo = encoding.memo[("numbers", key)] = [v for v in encoding.literals.get(key, ()) if isinstance(v, float)]
    return memo


def _finite(key: Field, encoding: PolicyEncoding) -> List[float]:
    """The field's finite numbers in order."""
    memo = encoding.memo.get(("finite", key))
    if memo is None:
        memo = encoding.memo[("finite", key)] = sorted(v for v in _numbers(key, encoding) if math.isfinite(v))
    return memo


def _nearest(key: Field, here: float, encoding: PolicyEncoding) -> List[float]:
    """The NEAREST finite numbers of the field to `here`, nearest first (the lower on a tie):
    they stand within NEAREST places of it on either side in the ordered list."""
    finite = _finite(key, encoding)
    at = bisect.bisect_left(finite, here)
    window = finite[max(at - NEAREST, 0) : at + NEAREST]
    return sorted(window, key=lambda v: (abs(v - here), v))[:NEAREST]


NEAREST = 6  # literals tried for a field: those nearest to its value, so that a policy of many stays quick


def _plain_numbers(key: Field, current: Value, encoding: PolicyEncoding) -> Iterator[float]:
    """Small integers; the literals that the field meets nearest to its value, one above and below
    each, the next double each way; a few more small integers."""
    if len(_finite(key, encoding)) > NEAREST:
        here = current if isinstance(current, float) and math.isfinite(current) else 0.0
        finite = _nearest(key, here, encoding)
    else:
        finite = [v for v in _numbers(key, encoding) if math.isfinite(v)]
    steps = [w for v in finite for w in (v + 1.0, v - 1.0)]
    nexts = [w for v in finite for w in (math.nextafter(v, math.inf), math.nextafter(v, -math.inf))]
    seen: Dict[float, None] = {}
    for value in (*SMALL_INTEGERS[:3], *finite, *steps, *nexts, *SMALL_INTEGERS[3:]):
        if is_plain(value) and value not in seen:
            seen[value] = None
            yield value


def _close(key: Field, encoding: PolicyEncoding) -> FrozenSet[float]:
    """The literals that the field meets, and one above and below each: numbers kept as they are."""
    memo = encoding.memo.get(("close", key))
    if memo is None:
        finite = _finite(key, encoding)
        memo = encoding.memo[("close", key)] = frozenset(
            [*finite, *[v + 1.0 for v in finite], *[v - 1.0 for v in finite]]
        )
    return memo


def _texts(key: Field, encoding: PolicyEncoding) -> Iterator[str]:
    yield from (v for v in encoding.literals.get(key, ()) if isinstance(v, str))
    others = OtherTexts(encoding.texts)
    for _ in range(3):
        yield others.fresh()


# ---------------------------------------------------------------- inputs built without the solver


def first_inputs(rule: Rule, action: Optional[str], encoding: PolicyEncoding) -> Iterator[Input]:
    """Inputs in which the rule's condition holds, each with only the fields it needs (of an `any`,
    one for each member), in declared kinds and plain values; none where those simple choices
    conflict. With `action`, each holds that action type."""
    members = [[c] for c in rule.comparisons] if rule.condition == "any" else [list(rule.comparisons)]
    for comparisons in members:
        values: Dict[Field, Value] = {}
        if action is not None:
            values[TYPE] = action
        others = OtherTexts(encoding.texts)
        if all(_make_true(comparison, values, others) for comparison in comparisons):
            data: Input = {"action": {}, "actor": {}, "snapshot": {}}
            for (domain, name), value in values.items():
                data[domain][name] = value
            if condition_holds(rule, data):
                yield data


def _make_true(comparison: Comparison, values: Dict[Field, Value], others: OtherTexts) -> bool:
    """Sets the fields still free so that the comparison holds; whether it does."""
    left = (comparison.left.domain, comparison.left.field)
    operator = comparison.operator
    right = comparison.right
    if isinstance(right, Literal):
        if left not in values:
            chosen = _satisfying(operator, right.value, others)
            if chosen is None:
                return False
            values[left] = chosen
        return compare(values[left], operator, right.value)
    other = (right.domain, right.field)
    if left not in values and other not in values:
        values[other] = _plain_of(comparison.type, others)
    if left not in values:
        chosen = _satisfying(operator, values[other], others)
        if chosen is None:
            return False
        values[left] = chosen
    if other not in values:
        chosen = _satisfying(_MIRRORED.get(operator, operator), values[left], others)
        if chosen is None:
            return False
        values[other] = chosen
    return compare(values[left], operator, values[other])


_MIRRORED = {"greater_than": "less_than", "less_than": "greater_than"}


def _plain_of(declared: str, others: OtherTexts) -> Value:
    return 0.0 if declared == "number" else False if declared == "boolean" else others.fresh()


def _satisfying(operator: str, other: Value, others: OtherTexts) -> Optional[Value]:
    """A plain value that stands in the relation to the other one, if there is one."""
    if operator == "equals":
        return None if isinstance(other, float) and math.isnan(other) else other
    if isinstance(other, bool):
        return (not other) if operator == "not_equals" else None
    if isinstance(other, str):
        return others.fresh() if operator == "not_equals" else None
    if operator == "not_equals":
        return 1.0 if other == 0.0 else 0.0
    if math.isnan(other):
        return None
    if operator == "greater_than":
        if other == math.inf:
            return None
        return other + 1.0 if other + 1.0 > other else math.nextafter(other, math.inf)
    if other == -math.inf:
        return None
    return other - 1.0 if other - 1.0 < other else math.nextafter(other, -math.inf)


# ---------------------------------------------------------------- the engine's word


class AnalysisError(InternalError):
    """A fault of the analysis: an input did not reproduce what it was built to show."""


@dataclass(frozen=True)
class Decider:
    """Who decides an input under one policy: a rule, or the default (index and rule None)."""

    index: Optional[int]
    rule: Optional[str]
    effect: Effect

    @staticmethod
    def of(rule: Optional[Rule]) -> "Decider":
        return Decider(None, None, DEFAULT_EFFECT) if rule is None else Decider(rule.index, rule.id, rule.effect)

    def to_json(self) -> Dict[str, Any]:
        return {"index": self.index, "rule": self.rule, "effect": self.effect}

    def decision(self) -> Dict[str, Optional[str]]:
        """What `PyTamsel.evaluate` returns when this decides."""
        return {"effect": self.effect, "matched_rule": self.rule}


class Judge:
    """Who decides an input, as the engine says. Its answer names the deciding rule by id, which tells
    the rule when no other rule has that id; else a `Policy` is asked to explain the decision, which
    ends at the rule's place; a bare `PyTamsel` with shared ids is held to the id and the effect."""

    def __init__(self, engine: Any, rules: Sequence[Rule]) -> None:
        self.engine = getattr(engine, "engine", engine)  # a Policy's PyTamsel
        self.explain = getattr(engine, "explain", None)
        counts: Dict[str, int] = {}
        for rule in rules:
            counts[rule.id] = counts.get(rule.id, 0) + 1
        self.by_id = {rule.id: rule for rule in rules if counts[rule.id] == 1}

    def decider(self, data: Input) -> Optional[Decider]:
        """The decider, or None when only an id that rules share says who it is."""
        result = self.engine.evaluate(data)
        if result["matched_rule"] is None:
            return Decider(None, None, result["effect"])
        rule = self.by_id.get(result["matched_rule"])
        if rule is not None:
            return Decider(rule.index, rule.id, result["effect"])
        if self.explain is None:
            return None
        last = self.explain(data).steps[-1]
        return Decider(last.rule.index, last.rule.id, result["effect"])

    def confirm(self, data: Input, decider: Decider, what: str) -> None:
        got = self.decider(data)
        if got is None:
            decision = self.engine.evaluate(data)
            if decision == decider.decision():
                return
            got = Decider(None, decision["matched_rule"], decision["effect"])
        if got != decider:
            raise AnalysisError(f"{what}: the input {dumps(data)} is decided by {got}, not {decider}")
