"""One evaluation, step by step: the values that `Policy.explain` gives."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional, Sequence, Tuple
from typing import Literal as _TypingLiteral

from tamsel_tools import _inspect
from tamsel_tools.model.rules import Comparison, Effect, FieldType, Literal, Rule, Subject, Value

ListName = _TypingLiteral["action", "global"]
# Why a comparison is false without its operator being applied; the left side is looked at first.
Reason = _TypingLiteral["left missing", "right missing", "kinds differ"]


def kind(value: Value) -> FieldType:
    """The field type whose values are of this kind (a bool is a boolean, never a number)."""
    if isinstance(value, bool):
        return "boolean"
    return "number" if isinstance(value, float) else "string"


@dataclass(frozen=True)
class Decision:
    """What `evaluate` answers: the effect, and the id of the rule that decided (None: no rule)."""

    effect: Effect
    matched_rule: Optional[str]


@dataclass(frozen=True)
class ComparisonStep:
    """One comparison made, with the values it compared; None stands for a missing field."""

    comparison: Comparison
    result: bool
    reason: Optional[Reason]
    left: Optional[Value]
    right: Optional[Value]

    def kind_differs(self, value: Optional[Value]) -> bool:
        """Whether a value seen here is of another kind than the type the schema declares."""
        return value is not None and kind(value) != self.comparison.type

    def to_json(self) -> Dict[str, Any]:
        comparison = self.comparison
        left = _side(comparison.left, self.left)
        right = (
            {"literal": comparison.right.value}
            if isinstance(comparison.right, Literal)
            else _side(comparison.right, self.right)
        )
        return {
            "member": comparison.member,
            "result": self.result,
            "reason": self.reason,
            "left": left,
            "operator": comparison.operator,
            "right": right,
        }


def _side(subject: Subject, value: Optional[Value]) -> Dict[str, Any]:
    side: Dict[str, Any] = {"domain": subject.domain, "field": subject.field}
    if value is not None:
        side["value"] = value
    return side


@dataclass(frozen=True)
class Step:
    """One rule visited: the list it was run from, whether its condition held, and the
    comparisons made, in order (those skipped by short-circuit are not there)."""

    list: ListName
    rule: Rule
    result: bool
    comparisons: Tuple[ComparisonStep, ...]

    def to_json(self) -> Dict[str, Any]:
        return {
            "list": self.list,
            "index": self.rule.index,
            "rule": self.rule.id,
            "result": self.result,
            "line": self.rule.line,
            "column": self.rule.column,
            "comparisons": [comparison.to_json() for comparison in self.comparisons],
        }


@dataclass(frozen=True)
class Explanation:
    """The decision of one input and how first-match evaluation reached it."""

    decision: Decision
    action_type: Optional[str]  # the action's "type" when it is a text
    action_list: bool  # whether some rule is scoped to that action type
    steps: Tuple[Step, ...]

    def to_json(self) -> Dict[str, Any]:
        """The explanation as JSON data: numbers stay floats, NaN and infinities included."""
        return {
            "decision": {"effect": self.decision.effect, "matched_rule": self.decision.matched_rule},
            "steps": [step.to_json() for step in self.steps],
        }


def _comparison_step(rule: Rule, data: _inspect.ComparisonTrace) -> ComparisonStep:
    return ComparisonStep(
        rule.comparisons[data["member"]],
        data["result"],
        data["reason"],
        data.get("left"),
        data.get("right"),
    )


def explanation(rules: Sequence[Rule], trace: _inspect.Trace) -> Explanation:
    """The typed explanation of the inspection module's trace, over the policy's rules."""
    steps = []
    for step in trace["steps"]:
        rule = rules[step["index"]]
        comparisons = tuple(_comparison_step(rule, each) for each in step["comparisons"])
        steps.append(Step(step["list"], rule, step["result"], comparisons))
    decision = Decision(trace["effect"], trace["matched_rule"])
    return Explanation(decision, trace["action_type"], trace["action_list"], tuple(steps))
