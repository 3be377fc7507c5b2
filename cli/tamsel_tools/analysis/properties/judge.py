"""Whether an input is in a property's scope and meets its condition, as the engine says.

Every condition of a suite is judged by one engine, built once: each condition is
the one rule of an action of its own (`p0`, `p1`, ...), in a schema that declares
only the fields the conditions read, with the types the engine gave them. An input
is judged for the k-th condition by evaluating it with its action type set to that
action: then the k-th rule alone can match. Evaluation never consults the schema,
so the rule decides as the same condition compiled against the suite's schema
does; the scope itself is compared here, byte for byte, as evaluation compares it.

A condition that reads the action's own `type` field cannot be judged with the type
replaced: it gets an engine of its own, with its real scope.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence

import tamsel
from tamsel_tools.analysis.encoding import TYPE, Field
from tamsel_tools.analysis.properties.condition import RULE_ID, Condition, scope_text
from tamsel_tools.base.nodes import quoted
from tamsel_tools.model.policy import InternalError
from tamsel_tools.model.property import Input
from tamsel_tools.model.rules import Rule, Subject


def _read(rule: Rule) -> Dict[Field, str]:
    """The fields the rule reads, with the type the engine gave each."""
    read: Dict[Field, str] = {}
    for comparison in rule.comparisons:
        for side in (comparison.left, comparison.right):
            if isinstance(side, Subject):
                read[(side.domain, side.field)] = comparison.type
    return read


def _fields(declared: Dict[str, str], indent: str) -> List[str]:
    if not declared:
        return [f"{indent}fields: {{}}"]
    return [f"{indent}fields:"] + [f"{indent}  {quoted(name)}: {kind}" for name, kind in declared.items()]


def _schema(actions: Dict[str, Dict[str, str]], actor: Dict[str, str], snapshot: Dict[str, str]) -> str:
    lines = ["version: 1", "actions:" if actions else "actions: {}"]
    for name, declared in actions.items():
        lines += [f"  {quoted(name)}:", *_fields(declared, "    ")]
    lines += ["actor:", *_fields(actor, "  "), "snapshot:", *_fields(snapshot, "  ")]
    return "\n".join(lines) + "\n"


def _engine(schema: str, policy: str) -> tamsel.PyTamsel:
    try:
        return tamsel.PyTamsel(schema, policy)
    except ValueError as refused:
        raise InternalError(f"the conditions of the properties do not build alone: {refused}") from None


class Judges:
    """The engine's word on each condition of a list, by its position."""

    def __init__(self, conditions: Sequence[Condition]) -> None:
        self.conditions = list(conditions)
        self.names: Dict[int, str] = {}  # the action standing for each condition judged together
        self.alone: Dict[int, tamsel.PyTamsel] = {}  # those that read the action's type
        actions: Dict[str, Dict[str, str]] = {}
        domains: Dict[str, Dict[str, str]] = {"actor": {}, "snapshot": {}}
        rules: List[str] = ["version: 1", "rules:"]
        for position, condition in enumerate(self.conditions):
            if condition.rule is None or condition.when_yaml is None:
                continue
            read = _read(condition.rule)
            if TYPE in read:
                self.alone[position] = self._alone(condition, read)
                continue
            name = f"p{position}"
            self.names[position] = name
            actions[name] = {field: kind for (domain, field), kind in read.items() if domain == "action"}
            for (domain, field), kind in read.items():
                if domain != "action":
                    domains[domain][field] = kind
            rules.append(f"  - id: {RULE_ID}\n    scope: {scope_text(name)}\n    when:\n{condition.when_yaml}"
                         "    effect: block")  # fmt: skip
        self.engine: Optional[tamsel.PyTamsel] = None
        if self.names:
            policy = "\n".join(rules) + "\n"
            self.engine = _engine(_schema(actions, domains["actor"], domains["snapshot"]), policy)

    @staticmethod
    def _alone(condition: Condition, read: Dict[Field, str]) -> tamsel.PyTamsel:
        """An engine for one condition, in its own scope."""
        assert condition.policy_yaml is not None
        own = {field: kind for (domain, field), kind in read.items() if domain == "action"}
        actions = {} if condition.action is None else {condition.action: own}
        actor = {field: kind for (domain, field), kind in read.items() if domain == "actor"}
        snapshot = {field: kind for (domain, field), kind in read.items() if domain == "snapshot"}
        return _engine(_schema(actions, actor, snapshot), condition.policy_yaml)

    def covers(self, position: int, data: Input) -> bool:
        """Whether the input is in the scope of the condition at the position and meets it."""
        condition = self.conditions[position]
        if position in self.alone:
            return self.alone[position].evaluate(data)["matched_rule"] is not None
        action = data.get("action", {})
        if condition.action is not None and action.get("type") != condition.action:
            return False
        if position not in self.names:
            return True
        assert self.engine is not None
        judged = {**data, "action": {**action, "type": self.names[position]}}
        return self.engine.evaluate(judged)["matched_rule"] is not None
