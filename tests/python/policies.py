"""Policies for the analysis tests: written as compact tuples or drawn at random,
built as the tools' rule values and rendered as schema and policy YAML, so
that `PyTamsel` compiles the very same rules.

A rule is (scope, condition, comparisons, effect): scope "global", "actor:NAME"
or an action name; condition "atomic", "all" or "any"; a comparison
("domain.field", operator, right) whose right side is a literal, or a subject
written as ("domain.field",).
"""

from __future__ import annotations

import math
import random
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools.model.rules import Comparison, Literal, Rule, Scope, Subject

# Field types per domain; the actions declare a field "type", and "code" with
# a different type in each action, as callers' schemas may.
ACTIONS: Dict[str, Dict[str, str]] = {
    "pay": {"amount": "number", "limit": "number", "note": "string", "flag": "boolean",
            "type": "string", "code": "number"},
    "send": {"amount": "number", "note": "string", "to": "string", "code": "string"},
    "close": {"type": "number", "reason": "string", "urgent": "boolean"},
}  # fmt: skip
ACTOR = {"level": "number", "cap": "number", "role": "string", "frozen": "boolean"}
SNAPSHOT = {"floor": "number", "mode": "boolean", "region": "string"}

NUMBERS = (0.0, -0.0, 1.0, 2.5, -3.0, 1000.0, math.nan, math.inf, -math.inf, 5e-324)
TEXTS = ("a", "b", "EUR", "pay", "send", "", "é")
RuleSpec = Tuple[str, str, Sequence[Tuple[Any, ...]], str]


def schema_yaml() -> str:
    lines = ["version: 1", "actions:"]
    for name, fields in ACTIONS.items():
        lines += [f"  {name}:", "    fields:"] + [f"      {f}: {t}" for f, t in fields.items()]
    for domain, fields in (("actor", ACTOR), ("snapshot", SNAPSHOT)):
        lines += [f"{domain}:", "  fields:"] + [f"    {f}: {t}" for f, t in fields.items()]
    return "\n".join(lines) + "\n"


def declared(subject: str, action: Optional[str]) -> str:
    domain, field = subject.split(".", 1)
    if domain == "action":
        assert action is not None
        return ACTIONS[action][field]
    return (ACTOR if domain == "actor" else SNAPSHOT)[field]


def yaml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        if math.isnan(value):
            return ".nan"
        if math.isinf(value):
            return ".inf" if value > 0 else "-.inf"
        return repr(value)
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def build(specs: Sequence[RuleSpec], ids: Optional[Sequence[str]] = None) -> Tuple[List[Rule], str]:
    """The rules as the tools see them, and the policy text that compiles to them."""
    lines = ["version: 1", "rules:"]
    rules = []
    for index, (scope_text, condition, comparisons, effect) in enumerate(specs):
        rule_id = ids[index] if ids is not None else f"r{index}"
        if scope_text == "global":
            scope, scope_yaml = Scope("global", None), "{global: true}"
        elif scope_text.startswith("actor:"):
            name = scope_text.split(":", 1)[1]
            scope, scope_yaml = Scope("actor", name), f"{{actor: {name}}}"
        else:
            scope, scope_yaml = Scope("action", scope_text), f"{{action: {scope_text}}}"
        line = len(lines) + 1
        lines += [f"  - id: {rule_id}", f"    scope: {scope_yaml}", "    when:"]
        if condition != "atomic":
            lines.append(f"      {condition}:")
        built = []
        for member, (left, operator, right) in enumerate(comparisons):
            left_subject = Subject(*left.split(".", 1))  # type: ignore[arg-type]
            if isinstance(right, tuple):
                right_side: Any = Subject(*right[0].split(".", 1))
                right_yaml = "{subject: [" + right[0].replace(".", ", ") + "]}"
            else:
                right_side = Literal(float(right) if isinstance(right, int) and not isinstance(right, bool) else right)
                right_yaml = "{literal: " + yaml_value(right_side.value) + "}"
            text = f"[[{left.replace('.', ', ')}], {operator}, {right_yaml}]"
            prefix = "        - " if condition != "atomic" else "      "
            if condition == "atomic":
                text = f"{{subject: [{left.replace('.', ', ')}], operator: {operator}, value: {right_yaml}}}"
                lines[-1] = "    when: " + text
                position = (len(lines), 11)
            else:
                lines.append(prefix + text)
                position = (len(lines), 11)
            kind = declared(left, scope.name if scope.kind == "action" else None)
            built.append(Comparison(member, left_subject, operator, right_side, kind, *position))  # type: ignore[arg-type]
        lines.append(f"    effect: {effect}")
        rules.append(Rule(index, rule_id, scope, effect, condition, tuple(built), line, 5))  # type: ignore[arg-type]
    return rules, "\n".join(lines) + "\n"


# ---------------------------------------------------------------- random policies


def _fields(scope: str) -> List[str]:
    fields = [f"actor.{f}" for f in ACTOR] + [f"snapshot.{f}" for f in SNAPSHOT]
    if scope in ACTIONS:
        fields += [f"action.{f}" for f in ACTIONS[scope]]
    return fields


def random_comparison(rng: random.Random, scope: str) -> Tuple[Any, ...]:
    action = scope if scope in ACTIONS else None
    fields = _fields(scope)
    left = rng.choice(fields)
    kind = declared(left, action)
    operators = ["equals", "not_equals"] + (["greater_than", "less_than"] * 2 if kind == "number" else [])
    operator = rng.choice(operators)
    same = [f for f in fields if f != left and declared(f, action) == kind]
    if same and rng.random() < 0.25:
        return (left, operator, (rng.choice(same),))
    if kind == "number":
        return (left, operator, rng.choice(NUMBERS))
    if kind == "boolean":
        return (left, operator, rng.random() < 0.5)
    return (left, operator, rng.choice(TEXTS + ((action,) if action else ())))


def random_rule(rng: random.Random) -> RuleSpec:
    scope = rng.choice(["pay", "pay", "send", "close", "global", "global", "actor:bot"])
    condition = rng.choice(["atomic", "atomic", "all", "any"])
    count = 1 if condition == "atomic" else rng.choice([2, 2, 3])
    comparisons = [random_comparison(rng, scope) for _ in range(count)]
    return (scope, condition, comparisons, rng.choice(["allow", "block", "require_approval"]))


def random_specs(rng: random.Random, count: int) -> List[RuleSpec]:
    return [random_rule(rng) for _ in range(count)]


def edit(rng: random.Random, specs: List[RuleSpec], ids: List[str]) -> Tuple[List[RuleSpec], List[str]]:
    """One to three of: a rule changed, removed, inserted or moved; ids move with their rules."""
    rules = list(zip(specs, ids))
    for step in range(rng.choice([1, 1, 2, 3])):
        what = rng.choice(["effect", "comparison", "remove", "insert", "move"])
        if not rules or what == "insert":
            rules.insert(rng.randrange(len(rules) + 1), (random_rule(rng), f"new{step}"))
            continue
        at = rng.randrange(len(rules))
        (scope, condition, comparisons, effect), rule_id = rules[at]
        if what == "effect":
            rules[at] = ((scope, condition, comparisons, rng.choice(["allow", "block", "require_approval"])), rule_id)
        elif what == "comparison":
            changed = list(comparisons)
            changed[rng.randrange(len(changed))] = random_comparison(rng, scope)
            rules[at] = ((scope, condition, changed, effect), rule_id)
        elif what == "remove":
            del rules[at]
        else:
            rules.insert(rng.randrange(len(rules)), rules.pop(at))
    return [spec for spec, _ in rules], [rule_id for _, rule_id in rules]


def random_value(rng: random.Random, kind: str) -> Any:
    """A value biased to the policies' literals and edges, sometimes of another kind."""
    roll = rng.random()
    if roll < 0.15:
        kind = rng.choice(["number", "string", "boolean"])
    if kind == "number":
        return rng.choice(NUMBERS + (rng.uniform(-10, 10), float(rng.randint(-2, 3))))
    if kind == "boolean":
        return rng.random() < 0.5
    return rng.choice(TEXTS + ("pay", "send", "close", "z"))


def random_input(rng: random.Random) -> Dict[str, Dict[str, Any]]:
    """An input whose every field is present or missing, of its kind or another."""
    action_type = rng.choice(["pay", "send", "close", "other", None, 1.0, True])
    data: Dict[str, Dict[str, Any]] = {"action": {}, "actor": {}, "snapshot": {}}
    if action_type is not None:
        data["action"]["type"] = action_type
    fields = {f"action.{f}": t for fields in ACTIONS.values() for f, t in fields.items() if f != "type"}
    fields.update({f"actor.{f}": t for f, t in ACTOR.items()})
    fields.update({f"snapshot.{f}": t for f, t in SNAPSHOT.items()})
    for name, kind in fields.items():
        if rng.random() < 0.7:
            domain, field = name.split(".", 1)
            data[domain][field] = random_value(rng, kind)
    return data
