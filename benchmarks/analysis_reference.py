"""A plain, independent analysis to measure `tamsel lint` and `tamsel diff` against, and to check
their answers: z3 terms built one by one, numbers as 64-bit floats (`Float64`), and one query per
rule (lint) or per old decider of a group (diff). It shares no code with the tools' analysis but
the rule values it reads.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import z3

from tamsel_tools.model.rules import Literal, Rule, Subject

Pair = Tuple[Optional[str], Optional[int], Optional[int]]  # group, old index, new index (None: default)


class _Terms:
    def __init__(self, rules: Sequence[Rule]) -> None:
        texts = {c.right.value for r in rules for c in r.comparisons
                 if isinstance(c.right, Literal) and isinstance(c.right.value, str)}  # fmt: skip
        texts |= {r.scope.name for r in rules if r.scope.kind == "action"}
        self.text_ids = {t: i for i, t in enumerate(sorted(str(t) for t in texts), start=1)}
        self.vars: Dict[Tuple[str, str], Tuple[Any, Any, Any, Any]] = {}

    def field(self, subject: Subject) -> Tuple[Any, Any, Any, Any]:
        key = (subject.domain, subject.field)
        if key not in self.vars:
            name = f"{subject.domain}.{subject.field}"
            self.vars[key] = (z3.Int("k " + name), z3.Int("t " + name), z3.FP("n " + name, z3.Float64()),
                              z3.Bool("b " + name))  # fmt: skip
        return self.vars[key]

    def domain(self) -> List[Any]:
        return [z3.And(k >= 0, k <= 3) for k, _, _, _ in self.vars.values()]

    def type_is(self, action: str) -> Any:
        k, t, _, _ = self.field(Subject("action", "type"))
        return z3.And(k == 1, t == self.text_ids[action])

    def condition(self, rule: Rule) -> Any:
        parts = [self.comparison(c) for c in rule.comparisons]
        return z3.Or(*parts) if rule.condition == "any" else z3.And(*parts)

    def comparison(self, c: Any) -> Any:
        k, t, n, b = self.field(c.left)
        op = c.operator
        if isinstance(c.right, Subject):
            k2, t2, n2, b2 = self.field(c.right)
            return z3.Or(z3.And(k == 1, k2 == 1, _eq(op, t, t2)), z3.And(k == 2, k2 == 2, _num(op, n, n2)),
                         z3.And(k == 3, k2 == 3, _eq(op, b, b2)))  # fmt: skip
        value = c.right.value
        if isinstance(value, bool):
            return z3.And(k == 3, _eq(op, b, z3.BoolVal(value)))
        if isinstance(value, str):
            return z3.And(k == 1, _eq(op, t, z3.IntVal(self.text_ids[value])))
        return z3.And(k == 2, _num(op, n, z3.FPVal(value, z3.Float64())))


def _eq(op: str, a: Any, b: Any) -> Any:
    return a == b if op == "equals" else a != b if op == "not_equals" else z3.BoolVal(False)


def _num(op: str, a: Any, b: Any) -> Any:
    if op == "equals":
        return z3.fpEQ(a, b)
    if op == "not_equals":
        return z3.Not(z3.fpEQ(a, b))
    return z3.fpGT(a, b) if op == "greater_than" else z3.fpLT(a, b)


def _lists(rules: Sequence[Rule]) -> Tuple[Dict[str, List[Rule]], List[Rule]]:
    actions: Dict[str, List[Rule]] = {}
    globals_: List[Rule] = []
    for rule in rules:
        if rule.scope.kind == "action":
            actions.setdefault(str(rule.scope.name), []).append(rule)
        elif rule.scope.kind == "global":
            globals_.append(rule)
    return actions, globals_


def lint(rules: Sequence[Rule]) -> Dict[int, str]:
    """Each rule that never decides: "unsatisfiable" or "shadowed" (actor rules are left out)."""
    terms = _Terms(rules)
    actions, globals_ = _lists(rules)
    result: Dict[int, str] = {}
    lists: List[Tuple[List[Any], List[Rule]]] = [([terms.type_is(a)], members) for a, members in actions.items()]
    # A global rule decides for some input iff it does for one of no action type or of each action.
    no_action = [z3.Implies(terms.type_is(a), z3.Not(z3.Or(*[terms.condition(r) for r in m])))
                 for a, m in actions.items()]  # fmt: skip
    lists.append((no_action, globals_))
    for scope, members in lists:
        solver = z3.Solver()
        solver.add(*scope)
        for rule in members:
            condition = terms.condition(rule)
            solver.add(*terms.domain())
            solver.push()
            solver.add(condition)
            if solver.check() == z3.unsat:
                alone = z3.Solver()
                alone.add(*terms.domain(), condition)
                result[rule.index] = "unsatisfiable" if alone.check() == z3.unsat else "shadowed"
            solver.pop()
            solver.add(z3.Not(condition))
    return result


def diff(old_rules: Sequence[Rule], new_rules: Sequence[Rule]) -> Set[Pair]:
    """Every (group, old decider, new decider) whose effects differ for some input of the group."""
    terms = _Terms([*old_rules, *new_rules])
    old_actions, old_globals = _lists(old_rules)
    new_actions, new_globals = _lists(new_rules)
    names = list(dict.fromkeys([*old_actions, *new_actions]))
    pairs: Set[Pair] = set()
    for group in [*names, None]:
        olds = old_actions.get(group, []) + old_globals if group else list(old_globals)
        news = new_actions.get(group, []) + new_globals if group else list(new_globals)
        scope = [terms.type_is(group)] if group else [z3.Not(terms.type_is(a)) for a in names]
        old_d, old_constraints = _chain(terms, "old", olds)
        new_d, new_constraints = _chain(terms, "new", news)
        effects = {None: "allow", **{r.index: r.effect for r in olds}}
        new_effects = {None: "allow", **{r.index: r.effect for r in news}}
        for old_index, old_effect in effects.items():
            solver = z3.Solver()
            solver.add(*scope, *old_constraints, *new_constraints, old_d == (-1 if old_index is None else old_index))
            solver.add(*terms.domain())
            solver.add(z3.Or(*[new_d == (-1 if i is None else i) for i, e in new_effects.items() if e != old_effect]
                             or [z3.BoolVal(False)]))  # fmt: skip
            while solver.check() == z3.sat:
                found = solver.model().eval(new_d).as_long()
                pairs.add((group, old_index, None if found == -1 else found))
                solver.add(new_d != found)
    return pairs


def _chain(terms: _Terms, name: str, rules: Sequence[Rule]) -> Tuple[Any, List[Any]]:
    decider = z3.Int(name + " decider")
    expression: Any = z3.IntVal(-1)
    for rule in reversed(rules):
        expression = z3.If(terms.condition(rule), z3.IntVal(rule.index), expression)
    return decider, [decider == expression]
