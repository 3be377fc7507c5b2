"""Rules that no input makes decide: `tamsel lint`.

Each list of rules (an action's, then the global one) is walked in order. For
each rule, the cheap answers come first: a condition written before in the
list; an input built from its own comparisons that no earlier rule takes; one
earlier rule whose condition follows from it. The solver is asked only what is
left, over the rule's own fields (see `_encoding`), with one incremental solver
for each set of fields, which keeps every earlier rule's negation behind a
guard so that its unsatisfiable core names the rules that shadow it.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field
from typing import Any, Dict, FrozenSet, List, Optional, Sequence, Tuple

from tamsel_tools import _json, _semantics, _solver, _witness
from tamsel_tools._encoding import TYPE, Field, PolicyEncoding, conjunction, fields_of, negation
from tamsel_tools._model import Literal, Rule
from tamsel_tools._semantics import Indexed, Input
from tamsel_tools._solver import Budget
from tamsel_tools._witness import AnalysisError, Decider, Judge, first_inputs

FindingKind = str  # "actor_scoped", "unsatisfiable" or "shadowed"


@dataclass(frozen=True)
class Finding:
    """A rule that no input can make decide, and why."""

    index: int  # the rule's position in the policy document, from 0
    rule: str
    kind: FindingKind
    by: Tuple[int, ...]  # for "shadowed": earlier rules that decide every input it matches
    line: int
    column: int
    scope_name: Optional[str] = None  # the actor's name, for "actor_scoped"

    def to_json(self) -> Dict[str, Any]:
        return {
            "index": self.index,
            "rule": self.rule,
            "kind": self.kind,
            "by": list(self.by),
            "line": self.line,
            "column": self.column,
        }


@dataclass
class Reach:
    """What lint proved: the findings, an input for each rule that decides, and the rules left undecided."""

    findings: List[Finding] = field(default_factory=list)
    inputs: Dict[int, Input] = field(default_factory=dict)
    undecided: List[int] = field(default_factory=list)


def reach(
    rules: Sequence[Rule], engine: Any, budget: Optional[Budget] = None, witnesses: bool = False
) -> Reach:
    """Every rule that never decides, in document order. With `witnesses`, each input that makes a rule
    decide is 1-minimal and evaluated with the engine; without, only those the solver built are."""
    encoding = PolicyEncoding(rules)
    judge = Judge(engine, rules)
    result = Reach()
    result.findings = [_finding(rule, "actor_scoped") for rule in rules if rule.scope.kind == "actor"]
    total = sum(1 for rule in rules if rule.can_decide)
    walker = _Walker(encoding, judge, budget, witnesses, result, total)
    for name in [*encoding.lists.actions, None]:
        walker.walk(name)
    result.findings.sort(key=lambda finding: finding.index)
    return result


def _finding(rule: Rule, kind: FindingKind, by: Tuple[int, ...] = ()) -> Finding:
    name = rule.scope.name if kind == "actor_scoped" else None
    return Finding(rule.index, rule.id, kind, by, rule.line, rule.column, name)


def condition_key(rule: Rule) -> Tuple[Any, ...]:
    """The condition as written, without positions; NaN literals made comparable."""
    return (rule.condition, *[(c.left, c.operator, _literal_key(c.right)) for c in rule.comparisons])


def _literal_key(side: Any) -> Any:
    if isinstance(side, Literal) and isinstance(side.value, float):
        return ("number", struct.pack("<d", side.value) if not math.isnan(side.value) else "nan")
    if isinstance(side, Literal):
        return (type(side.value).__name__, side.value)
    return side


class _Walker:
    def __init__(
        self, encoding: PolicyEncoding, judge: Judge, budget: Optional[Budget], witnesses: bool, result: Reach,
        total: int,
    ) -> None:  # fmt: skip
        self.encoding = encoding
        self.indexed = Indexed(encoding.lists)
        self.judge = judge
        self.budget = budget
        self.witnesses = witnesses
        self.result = result
        self.total = total
        self.done = 0

    def walk(self, name: Optional[str]) -> None:
        members = self.encoding.lists.globals if name is None else self.encoding.lists.actions[name]
        solvers: Dict[FrozenSet[Field], _Local] = {}
        first_with: Dict[Any, Tuple[int, bool]] = {}  # a condition: its first rule, whether it can hold
        for position, rule in enumerate(members):
            self.done += 1
            if self.budget is not None:
                self.budget.report(self.done, self.total)
            key = condition_key(rule)
            if key in first_with:
                earlier, satisfiable = first_with[key]
                self._found(_finding(rule, "shadowed", (earlier,)) if satisfiable else _finding(rule, "unsatisfiable"))
                continue
            outcome = self._decide(name, members, position, solvers)
            first_with[key] = (rule.index, outcome != "unsatisfiable")

    def _found(self, finding: Finding) -> None:
        self.result.findings.append(finding)

    def _decide(self, name: Optional[str], members: Sequence[Rule], position: int,
                solvers: Dict[FrozenSet[Field], "_Local"]) -> str:  # fmt: skip
        rule = members[position]
        for candidate in first_inputs(rule, name, self.encoding):
            blocker = self._earlier_holding(name, candidate, position)
            if blocker is None:
                self._decides(rule, candidate, checked=False)
                return "decides"
            if blocker.scope == rule.scope and _semantics.implies(rule, blocker):
                self._found(_finding(rule, "shadowed", (blocker.index,)))
                return "shadowed"
        if self.budget is not None and self.budget.expired():
            self.result.undecided.append(rule.index)
            return "undecided"
        within = frozenset([*fields_of([rule]), *([TYPE] if name is not None else [])])
        local = solvers.get(within)
        if local is None:
            local = solvers[within] = _Local(self.encoding, name, within)
        local.catch_up(members, position)
        answer, by, model = local.ask(rule, self.budget)
        if answer == "unknown":
            self.result.undecided.append(rule.index)
        elif answer == "unsat":
            self._found(_finding(rule, "shadowed", by) if by else _finding(rule, "unsatisfiable"))
            return "shadowed" if by else "unsatisfiable"
        else:
            data = self.encoding.witness(model, sorted(within))
            self._decides(rule, data, checked=True)
        return answer

    def _earlier_holding(self, name: Optional[str], data: Input, position: int) -> Optional[Rule]:
        """The rule that decides the input in place of the rule at `position`, if any: an earlier one
        of its action's list, or for a global rule, whatever comes first for the input's action type."""
        if name is not None:
            return self.indexed.first(name, data, before=position)
        decider = self.indexed.decider(data)
        rule = self.encoding.lists.globals[position]
        return None if decider is rule else decider if decider is not None else rule

    def _decides(self, rule: Rule, data: Input, checked: bool) -> None:
        if self.witnesses or checked:
            def shows(candidate: Input) -> bool:
                return self.indexed.decider(candidate) is rule

            if not shows(data):
                raise AnalysisError(f"lint: the input {_json.dumps(data)} does not make rule {rule.index} decide")
            data = _witness.minimal(data, shows, self.encoding)
            self.judge.confirm(data, Decider.of(rule), "lint")
        self.result.inputs[rule.index] = data


class _Local:
    """One incremental solver for the rules of one list whose fields are `within`: each earlier rule's
    negation, restricted to those fields, behind a guard named after its document index."""

    def __init__(self, encoding: PolicyEncoding, name: Optional[str], within: FrozenSet[Field]) -> None:
        z3 = _solver.z3_module()
        self.z3 = z3
        self.encoding = encoding
        self.name = name
        self.within = within
        self.keys = sorted(within)
        self.solver = z3.Solver()
        self.declarations = encoding.declarations(self.keys)
        base = [encoding.domain(self.keys)]
        if name is not None:
            base.append(encoding.type_is(name))
        self.solver.from_string(self.declarations + f"(assert {conjunction(base)})")
        self.actions_first = name is None and TYPE in within  # a global rule that reads the action type
        self.guards: Dict[int, Any] = {}  # document index: guard
        self.by_guard: Dict[str, int] = {}
        self.added = 0  # the list's rules before this position are in
        self.prefer_added = False

    def catch_up(self, members: Sequence[Rule], position: int) -> None:
        lines = []
        earlier = list(members[self.added : position])
        if self.actions_first and self.added == 0:
            # Its input's action type may send it to an action's rules first.
            earlier = [r for rules in self.encoding.lists.actions.values() for r in rules] + earlier
        for rule in earlier:
            formula = self.encoding.condition_text(rule, self.within)
            if formula == "false":
                continue
            if rule.scope.kind == "action" and rule.scope.name is not None:
                formula = conjunction([self.encoding.type_is(rule.scope.name), formula])
            guard = f"g{rule.index}"
            lines.append(f"(declare-const {guard} Bool)(assert (=> {guard} {negation(formula)}))")
            self.guards[rule.index] = self.z3.Bool(guard)
            self.by_guard[guard] = rule.index
        self.added = max(self.added, position)
        if lines:
            self.solver.from_string("".join(lines))

    def ask(self, rule: Rule, budget: Optional[Budget]) -> Tuple[str, Tuple[int, ...], Any]:
        """sat with a model; unsat with the earlier rules that cover it (none: it never holds); or unknown."""
        z3 = self.z3
        holds = f"h{rule.index}"
        self.solver.from_string(
            f"(declare-const {holds} Bool)"
            f"(assert (=> {holds} {self.encoding.condition_text(rule, self.within)}))"
        )
        wanted = z3.Bool(holds)
        guards = list(self.guards.values())
        answer = _solver.check(self.solver, wanted, *guards, budget=budget)
        if answer == "sat":
            return "sat", (), self._pleasant_model(wanted, guards, budget)
        if answer == "unknown":
            return "unknown", (), None
        core = [self.by_guard[str(c)] for c in self.solver.unsat_core() if str(c) in self.by_guard]
        by = self._smallest(wanted, sorted(core), budget)
        if by is None:
            return "unknown", (), None
        return "unsat", by, None

    def _pleasant_model(self, wanted: Any, guards: List[Any], budget: Optional[Budget]) -> Any:
        model = self.solver.model()
        prefer = self.z3.Bool("prefer")
        if not self.prefer_added:
            self.solver.from_string(
                f"(declare-const prefer Bool)(assert (=> prefer {self.encoding.preferred_text(self.keys)}))"
            )
            self.prefer_added = True
        if _solver.check(self.solver, wanted, prefer, *guards, budget=budget) == "sat":
            model = self.solver.model()
        return model

    def _smallest(self, wanted: Any, core: List[int], budget: Optional[Budget]) -> Optional[Tuple[int, ...]]:
        """The core without every guard that it does not need; None when the budget runs out."""
        by = list(core)
        for index in list(by):
            rest = [i for i in by if i != index]
            answer = _solver.check(self.solver, wanted, *[self.guards[i] for i in rest], budget=budget)
            if answer == "unknown":
                return None
            if answer == "unsat":
                by = rest
        return tuple(by)


