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

import itertools
from dataclasses import dataclass, field
from typing import Any, Dict, FrozenSet, List, Optional, Sequence, Tuple

from tamsel_tools.analysis import semantics, solver, witness
from tamsel_tools.analysis.encoding import TYPE, Field, PolicyEncoding, conjunction, fields_of, negation
from tamsel_tools.analysis.semantics import Indexed, Input
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.analysis.witness import AnalysisError, Decider, Judge, first_inputs
from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import quoted
from tamsel_tools.base.text import printable
from tamsel_tools.model.rules import Literal, Rule

FindingKind = str  # "actor_scoped", "unsatisfiable" or "shadowed"
# How many earlier rules that hold on a built input are tried as the one that covers the rule alone:
# enough for the usual case, and few enough that a policy of many alike rules stays linear.
HELD_LOOKED_AT = 24


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

    @classmethod
    def from_json(cls, data: Dict[str, Any]) -> Finding:
        """The finding that `to_json` gave, with its "scope_name" when the data has one."""
        by = tuple(data["by"])
        return cls(data["index"], data["rule"], data["kind"], by, data["line"], data["column"], data.get("scope_name"))

    def reason(self, rules: Sequence[Rule]) -> str:
        """rule 'ID' never decides: why. What lint says of the rule, without its place and kind;
        `rules` are the policy's, which a shadowed rule's names."""
        if self.kind == "actor_scoped":
            why = f"is scoped to the actor {_quoted(self.scope_name or '')}, and actor rules never decide"
        elif self.kind == "unsatisfiable":
            why = "never decides: no input makes its condition true"
        else:
            why = f"never decides: every input that it matches is decided first by {_rule_names(self.by, rules)}"
        return f"rule {_quoted(self.rule)} {why}"


def _quoted(text: str) -> str:
    return printable(quoted(text))


def _rule_names(indexes: Sequence[int], rules: Sequence[Rule]) -> str:
    names = [f"rule {_quoted(rules[i].id)} (index {i})" for i in indexes]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


@dataclass
class Reach:
    """What lint proved: the findings, an input for each rule that decides, and the rules left undecided."""

    findings: List[Finding] = field(default_factory=list)
    inputs: Dict[int, Input] = field(default_factory=dict)
    undecided: List[int] = field(default_factory=list)


def reach(rules: Sequence[Rule], engine: Any, budget: Optional[Budget] = None, witnesses: bool = False) -> Reach:
    """Every rule that never decides, in document order. With `witnesses`, each input that makes a rule
    decide is 1-minimal and evaluated with the engine; without, only those the solver built are."""
    encoding = PolicyEncoding(rules)
    judge = Judge(engine, rules)
    result = Reach()
    result.findings = [_finding(rule, "actor_scoped") for rule in rules if rule.scope.kind == "actor"]
    total = sum(1 for rule in rules if rule.can_decide)
    walker = _Walker(encoding, judge, budget, witnesses, result, total)
    walker.context = solver.new_context()
    for name in [*encoding.lists.actions, None]:
        walker.walk(name)
    result.findings.sort(key=lambda finding: finding.index)
    return result


def _finding(rule: Rule, kind: FindingKind, by: Tuple[int, ...] = ()) -> Finding:
    name = rule.scope.name if kind == "actor_scoped" else None
    return Finding(rule.index, rule.id, kind, by, rule.line, rule.column, name)


def condition_key(rule: Rule) -> Tuple[Any, ...]:
    """The condition as written, without positions; literals by kind and repr, so that NaN equals
    itself and -0.0 stays apart from 0.0."""
    return (rule.condition, *[(c.left, c.operator, _side_key(c.right)) for c in rule.comparisons])


def _side_key(side: Any) -> Any:
    if type(side) is Literal:
        return (type(side.value), repr(side.value))
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
        self.context: Any = None

    def walk(self, name: Optional[str]) -> None:
        members = self.encoding.lists.globals if name is None else self.encoding.lists.actions[name]
        solvers: Dict[Optional[str], _ListSolver] = {}
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
                solvers: Dict[Optional[str], "_ListSolver"]) -> str:  # fmt: skip
        rule = members[position]
        candidates = list(first_inputs(rule, name, self.encoding))
        for candidate in candidates:
            if self._earlier_holding(name, candidate, position, 1) == []:
                self._decides(rule, candidate, checked=False)
                return "decides"
        blockers: Dict[int, None] = {}  # earlier rules that took an input in which the condition holds
        for candidate in candidates:
            held = self._earlier_holding(name, candidate, position, HELD_LOOKED_AT)
            # A rule that covers this one alone holds on every input that it matches, this one too.
            for blocker in held:
                if blocker.scope == rule.scope and semantics.implies(rule, blocker):
                    self._found(_finding(rule, "shadowed", (blocker.index,)))
                    return "shadowed"
            blockers[held[0].index] = None
        if self.budget is not None and self.budget.expired():
            self.result.undecided.append(rule.index)
            return "undecided"
        local = solvers.get(name)
        if local is None:
            local = solvers[name] = _ListSolver(self.encoding, name, members, self.context)
        answer, by, model, within = local.ask(position, self.budget, list(blockers))
        if answer == "unknown":
            self.result.undecided.append(rule.index)
        elif answer == "unsat":
            self._found(_finding(rule, "shadowed", by) if by else _finding(rule, "unsatisfiable"))
            return "shadowed" if by else "unsatisfiable"
        else:
            data = self.encoding.witness(model, sorted(within))
            self._decides(rule, data, checked=True)
        return answer

    def _earlier_holding(self, name: Optional[str], data: Input, position: int, most: int) -> List[Rule]:
        """Rules that take the input before the rule at `position`, the one that decides it first: the
        earlier ones of its list that hold (the first `most` of them), and for a global rule, first
        of all the rule of the input's action type that decides it, if any."""
        earlier = list(itertools.islice(self.indexed.holding(name, data, before=position), most))
        if name is None:
            decider = self.indexed.decider(data)
            rule = self.encoding.lists.globals[position]
            if decider is not None and decider is not rule and decider.scope.kind == "action":
                earlier.insert(0, decider)
        return earlier

    def _decides(self, rule: Rule, data: Input, checked: bool) -> None:
        if self.witnesses or checked:

            def shows(candidate: Input) -> bool:
                return self.indexed.decider(candidate) is rule

            if not shows(data):
                raise AnalysisError(f"lint: the input {strict_json.dumps(data)} does not make rule {rule.index} decide")
            if self.witnesses:
                data = witness.minimal(data, shows, self.encoding)
            self.judge.confirm(data, Decider.of(rule), "lint")
        self.result.inputs[rule.index] = data


class _ListSolver:
    """One incremental solver for a list: each rule's negation behind a guard named after its document
    index, added once the rule is passed. A rule is asked about with the guards of the earlier rules
    that read one of its fields (under an action, the action type counts as read by every rule):
    any other earlier rule is false once its fields are missing, so leaving it out changes nothing.
    The unsatisfiable core names the rules that shadow it."""

    def __init__(self, encoding: PolicyEncoding, name: Optional[str], members: Sequence[Rule], context: Any) -> None:
        z3 = solver.z3_module()
        self.z3 = z3
        self.context = context
        self.encoding = encoding
        self.name = name
        self.members = members
        self.solver = z3.Solver(ctx=context)
        base = [encoding.domain()]
        if name is not None:
            base.append(encoding.type_is(name))
        self.solver.from_string(encoding.declarations() + f"(assert {conjunction(base)})")
        self.guards: Dict[int, Any] = {}  # document index: guard
        self.by_guard: Dict[int, int] = {}  # a guard's solver id: its rule's document index
        self.readers: Dict[Field, List[int]] = {}  # a field: positions of the rules added that read it
        self.added = 0  # the list's rules before this position are in
        self.actions_added = False
        self.preferences: Dict[FrozenSet[Field], Any] = {}

    def _fields(self, rule: Rule) -> FrozenSet[Field]:
        return frozenset([*fields_of([rule]), *([TYPE] if self.name is not None else [])])

    def _catch_up(self, position: int) -> None:
        lines = []
        for at in range(self.added, position):
            rule = self.members[at]
            lines.append(self._guarded(rule, self.encoding.condition_text(rule)))
            for key in self._fields(rule):
                self.readers.setdefault(key, []).append(at)
        self.added = max(self.added, position)
        if lines:
            self.solver.from_string("".join(lines))

    def _guarded(self, rule: Rule, holds: str) -> str:
        guard = f"g{rule.index}"
        self.guards[rule.index] = self.z3.Bool(guard, self.context)
        self.by_guard[self.guards[rule.index].get_id()] = rule.index
        return f"(declare-const {guard} Bool)(assert (=> {guard} {negation(holds)}))"

    def _action_rules(self) -> List[int]:
        """For a global rule that reads the action type: every action rule, which runs before it when
        the input's type names the action."""
        if not self.actions_added:
            lines = []
            for action, rules in self.encoding.lists.actions.items():
                for rule in rules:
                    holds = conjunction([self.encoding.type_is(action), self.encoding.condition_text(rule)])
                    lines.append(self._guarded(rule, holds))
            self.solver.from_string("".join(lines))
            self.actions_added = True
        return [rule.index for rules in self.encoding.lists.actions.values() for rule in rules]

    def ask(
        self, position: int, budget: Optional[Budget], blockers: Sequence[int] = ()
    ) -> Tuple[str, Tuple[int, ...], Any, FrozenSet[Field]]:
        """sat with a model (and the fields to read from it); unsat with the earlier rules that cover
        it (none: it never holds); or unknown. `blockers`, earlier rules that took inputs in which the
        condition holds (so it can hold), are tried first as the cover."""
        z3 = self.z3
        self._catch_up(position)
        rule = self.members[position]
        within = self._fields(rule)
        holds = f"h{rule.index}"
        self.solver.from_string(
            f"(declare-const {holds} Bool)(assert (=> {holds} {self.encoding.condition_text(rule)}))"
        )
        wanted = z3.Bool(holds, self.context)
        earlier = sorted({at for key in within for at in self.readers.get(key, ())})
        relevant = [self.members[at].index for at in earlier]
        if self.name is None and TYPE in within:
            relevant += self._action_rules()
        guards = [self.guards[index] for index in relevant]
        known = [index for index in blockers if index in self.guards]
        if known and len(known) == len(blockers):
            first = solver.check(self.solver, wanted, *[self.guards[i] for i in known], budget=budget)
            if first == "unsat":
                by = self._smallest(wanted, known, budget, satisfiable=True)
                return ("unknown", (), None, within) if by is None else ("unsat", by, None, within)
        answer = solver.check(self.solver, wanted, *guards, budget=budget)
        if answer == "sat":
            return "sat", (), self._pleasant_model(within, [wanted, *guards], budget), within
        if answer == "unknown":
            return "unknown", (), None, within
        core = [self.by_guard[c.get_id()] for c in self.solver.unsat_core() if c.get_id() in self.by_guard]
        by = self._smallest(wanted, sorted(core), budget, satisfiable=bool(blockers))
        if by is None:
            return "unknown", (), None, within
        return "unsat", by, None, within

    def _pleasant_model(self, within: FrozenSet[Field], assumptions: List[Any], budget: Optional[Budget]) -> Any:
        """A model in declared kinds and plain numbers over the rule's fields, when there is one."""
        model = self.solver.model()
        prefer = self.preferences.get(within)
        if prefer is None:
            name = f"prefer{len(self.preferences)}"
            self.solver.from_string(
                f"(declare-const {name} Bool)(assert (=> {name} {self.encoding.preferred_text(sorted(within))}))"
            )
            prefer = self.preferences[within] = self.z3.Bool(name, self.context)
        if solver.check(self.solver, prefer, *assumptions, budget=budget) == "sat":
            model = self.solver.model()
        return model

    def _smallest(
        self, wanted: Any, core: List[int], budget: Optional[Budget], satisfiable: bool = False
    ) -> Optional[Tuple[int, ...]]:
        """The core without every guard that it does not need; None when the budget runs out. When
        the condition is known to hold for some input, the last guard is needed."""
        by = list(core)
        for index in list(by):
            rest = [i for i in by if i != index]
            if satisfiable and not rest:
                break
            answer = solver.check(self.solver, wanted, *[self.guards[i] for i in rest], budget=budget)
            if answer == "unknown":
                return None
            if answer == "unsat":
                by = rest
        return tuple(by)
