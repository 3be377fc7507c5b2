"""`tamsel explain`'s text: an input's decision and the steps that reached it, for a person."""

from __future__ import annotations

from typing import List, Optional

from tamsel_tools.base.echo import quoted
from tamsel_tools.base.text import printable
from tamsel_tools.model.explanation import ComparisonStep, Explanation, ListName, Step, kind
from tamsel_tools.model.rules import Literal, Subject, Value


def value_text(value: Value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return printable(quoted(value))


def _seen(step: ComparisonStep, subject: Subject, value: Optional[Value]) -> str:
    name = f"{subject.domain}.{printable(subject.field)}"
    if value is None:
        return f"{name} (missing)"
    if step.kind_differs(value):
        declared = step.comparison.type
        return f"{name} ({value_text(value)}, a {kind(value)} where the schema declares {declared})"
    return f"{name} ({value_text(value)})"


def comparison_line(path: str, step: ComparisonStep) -> str:
    comparison = step.comparison
    right = comparison.right
    right_text = value_text(right.value) if isinstance(right, Literal) else _seen(step, right, step.right)
    result = "true" if step.result else "false"
    if step.reason is not None:
        result += f", {step.reason}"
    return (
        f"{path}:{comparison.line}:{comparison.column}: comparison {comparison.member}: "
        f"{_seen(step, comparison.left, step.left)} {comparison.operator} {right_text}: {result}"
    )


def rule_line(path: str, step: Step) -> str:
    rule = step.rule
    result = "true" if step.result else "false"
    return f"{path}:{rule.line}:{rule.column}: rule {printable(quoted(rule.id))} ({rule.effect}): {result}"


def _action_line(explanation: Explanation) -> str:
    if explanation.action_type is None:
        return "no action type: global rules only"
    named = f"action type {printable(quoted(explanation.action_type))}"
    return named if explanation.action_list else f"{named} names no rules: global rules only"


def _lists_run(explanation: Explanation) -> List[ListName]:
    """The rule lists that evaluation ran, in order: the action's, then the global one unless
    an action rule decided."""
    lists: List[ListName] = ["action"] if explanation.action_list else []
    last = explanation.steps[-1] if explanation.steps else None
    if last is None or last.list != "action" or not last.result:
        lists.append("global")
    return lists


def block(where: str, path: str, explanation: Explanation) -> List[str]:
    """The lines that show one input's explanation; rule and comparison positions in path."""
    lines = [f"{printable(where)}: {_action_line(explanation)}"]
    for list_name in _lists_run(explanation):
        heading = "global rules"
        if list_name == "action":
            heading = f"rules of action '{printable(explanation.action_type or '')}'"
        listed = [step for step in explanation.steps if step.list == list_name]
        lines.append(f"  {heading}:" if listed else f"  {heading}: none")
        for step in listed:
            lines.append(f"    {rule_line(path, step)}")
            lines.extend(f"      {comparison_line(path, made)}" for made in step.comparisons)
    decision = explanation.decision
    by = "no rule matched" if decision.matched_rule is None else f"rule {printable(quoted(decision.matched_rule))}"
    lines.append(f"  decision: {decision.effect}, {by}")
    return lines
