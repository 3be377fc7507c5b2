"""What replacing one policy by another changes: `tamsel diff`.

Inputs fall into groups: one per action type under which either policy files
rules, then every other input. In a group each policy tries one list of rules
(the action's, then the global ones). The two lists are lined up by condition:
a first stretch and a last stretch whose conditions are written alike, and the
rules between. An input that a rule of the first stretch decides under one
policy is decided by the rule of the same place under the other, so that
stretch only contributes the places whose effects (or ids) differ, each once
some input reaches it. The rest is one question to the solver: an input that
no rule of the first stretch takes, and that the two lists pass to deciders of
different effects; each answer becomes an example, and its pair is excluded
before the next question, until there is none.

Every question is asked over the fields that the rules after the first
stretch read (any other field can be missing: a condition never needs a field
to be missing). Every example is made 1-minimal and evaluated with both engines.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, FrozenSet, List, Optional, Sequence, Tuple

from tamsel_tools.analysis import solver as _solver
from tamsel_tools.analysis.encoding import (
    FALSE,
    TYPE,
    Field,
    PolicyEncoding,
    conjunction,
    disjunction,
    fields_of,
    negation,
)
from tamsel_tools.analysis.lint import condition_key
from tamsel_tools.analysis.semantics import Indexed, Input, Lists, value_of
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.analysis.witness import AnalysisError, Decider, Judge, first_inputs, minimal
from tamsel_tools.model.rules import Rule, Subject


@dataclass(frozen=True)
class Change:
    """Inputs of one group move from one decider to another of a different effect."""

    action: Optional[str]  # the action type of the group; None for every other input
    old: Decider
    new: Decider
    input: Input  # one such input, evaluated with both policies

    @property
    def same_effect(self) -> bool:
        """Only the deciding rule changes (listed when moves are asked for)."""
        return self.old.effect == self.new.effect

    def to_json(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {
            "action": self.action,
            "old": self.old.to_json(),
            "new": self.new.to_json(),
            "input": self.input,
        }
        if self.same_effect:
            data["same_effect"] = True
        return data


@dataclass
class Difference:
    """What diff proved: every change of the groups decided, and the groups left undecided."""

    changes: List[Change] = field(default_factory=list)
    undecided: List[Optional[str]] = field(default_factory=list)


@dataclass(frozen=True)
class _Side:
    lists: Lists
    indexed: Indexed
    judge: Judge
    keys: Dict[int, Tuple[Any, ...]]  # each rule's condition as written, by document index

    @staticmethod
    def of(rules: Sequence[Rule], engine: Any) -> "_Side":
        lists = Lists(rules)
        keys = {rule.index: condition_key(rule) for rule in rules if rule.can_decide}
        return _Side(lists, Indexed(lists), Judge(engine, rules), keys)

    def list_for(self, group: Optional[str]) -> List[Rule]:
        own = self.lists.actions.get(group, []) if group is not None else []
        return [*own, *self.lists.globals]


def compare(
    old_rules: Sequence[Rule], old_engine: Any, new_rules: Sequence[Rule], new_engine: Any,
    moves: bool = False, budget: Optional[Budget] = None,
) -> Difference:  # fmt: skip
    """Every (old decider, new decider) pair of differing effects that some input of a group meets, once
    per group, each with such an input (with `moves`, also pairs of one effect whose rule ids differ)."""
    old, new = _Side.of(old_rules, old_engine), _Side.of(new_rules, new_engine)
    # One table of texts and fields for both, so that one solver speaks of both policies.
    encoding = PolicyEncoding([*old_rules, *new_rules])
    names = list(dict.fromkeys([*old.lists.actions, *new.lists.actions]))
    result = Difference()
    context = _solver.new_context()
    for done, group in enumerate([*names, None]):
        if budget is not None:
            budget.report(done, len(names) + 1)
        task = _Group(encoding, group, names, old, new, moves, budget, context)
        if not task.run():
            result.undecided.append(group)
        result.changes += sorted(task.found.values(), key=_pair_order)
    return result


def _listed(old: Decider, new: Decider, moves: bool) -> bool:
    return old.effect != new.effect or (moves and old.rule != new.rule)


def _pair_order(change: Change) -> Tuple[float, float]:
    def place(decider: Decider) -> float:
        return math.inf if decider.index is None else decider.index

    return place(change.old), place(change.new)


class _Group:
    def __init__(
        self, encoding: PolicyEncoding, group: Optional[str], names: Sequence[str], old: _Side, new: _Side,
        moves: bool, budget: Optional[Budget], context: Any,
    ) -> None:  # fmt: skip
        self.context = context
        self.encoding = encoding
        self.group = group
        self.names = names
        self.old, self.new = old, new
        self.moves = moves
        self.budget = budget
        self.olds, self.news = old.list_for(group), new.list_for(group)
        self.found: Dict[Tuple[Optional[int], Optional[int]], Change] = {}
        keys_old = [old.keys[r.index] for r in self.olds]
        keys_new = [new.keys[r.index] for r in self.news]
        shortest = min(len(self.olds), len(self.news))
        self.first = 0
        while self.first < shortest and keys_old[self.first] == keys_new[self.first]:
            self.first += 1
        self.last = 0  # rules at the end, alike
        while self.last < shortest - self.first and keys_old[-1 - self.last] == keys_new[-1 - self.last]:
            self.last += 1

    def run(self) -> bool:
        """Whether every pair of the group was decided within the budget."""
        # Every place is asked, even after one is left undecided: what is proven is still shown.
        results = [self._first_stretch(i) for i in range(self.first)]
        decided = all(results)
        if len(self.olds) == len(self.news) == self.first:
            return decided
        self._seed()
        return self._ask() and decided

    # ------------------------------------------------------------ deciders of an input

    def _in_group(self, data: Input) -> bool:
        action_type = value_of(data, Subject("action", "type"))
        if self.group is None:
            return not (isinstance(action_type, str) and action_type in self.names)
        return bool(action_type == self.group)

    def _pair(self, data: Input) -> Tuple[Decider, Decider]:
        return Decider.of(self.old.indexed.decider(data)), Decider.of(self.new.indexed.decider(data))

    def _record(self, data: Input) -> Optional[Tuple[Decider, Decider]]:
        """Keeps the input as the example of its pair, made minimal and checked; the pair, if listed."""
        if not self._in_group(data):
            return None
        old, new = self._pair(data)
        if not _listed(old, new, self.moves):
            return None
        key = (old.index, new.index)
        if key not in self.found:
            example = minimal(data, lambda d: self._in_group(d) and self._pair(d) == (old, new), self.encoding)
            self.old.judge.confirm(example, old, "diff, old policy")
            self.new.judge.confirm(example, new, "diff, new policy")
            self.found[key] = Change(self.group, old, new, example)
        return old, new

    # ------------------------------------------------------------ the first stretch

    def _first_stretch(self, position: int) -> bool:
        before, after = self.olds[position], self.news[position]
        if before.effect == after.effect and (not self.moves or before.id == after.id):
            return True
        old, new = Decider.of(before), Decider.of(after)
        rule = self.olds[position]
        for candidate in first_inputs(rule, self.group, self.encoding):
            if self._record(candidate) == (old, new):
                return True
        within = self._fields([rule])
        earlier = [negation(self.encoding.condition_text(r, within)) for r in self.olds[:position]]
        question = conjunction([self._base(within), *earlier, self.encoding.condition_text(rule, within)])
        solver, answer = self._solve(within, question)
        if answer == "sat":
            if self._record(self.encoding.witness(solver.model(), sorted(within))) != (old, new):
                raise AnalysisError(f"diff: the solver's input for rule {rule.index} does not reproduce")
        return answer != "unknown"

    # ------------------------------------------------------------ the rest

    def _seed(self) -> None:
        """Pairs found without the solver: each rule between the stretches, made to hold alone."""
        between = [*self.olds[self.first : len(self.olds) - self.last],
                   *self.news[self.first : len(self.news) - self.last]]  # fmt: skip
        for rule in between:
            for candidate in first_inputs(rule, self.group, self.encoding):
                self._record(candidate)

    def _ask(self) -> bool:
        z3 = _solver.z3_module()
        rest = [*self.olds[self.first :], *self.news[self.first :]]
        within = self._fields(rest)
        old_chain = _Chain(self.encoding, "old", self.olds[self.first :], within, self.context)
        new_chain = _Chain(self.encoding, "new", self.news[self.first :], within, self.context)
        old_groups = old_chain.grouped(self.moves)
        new_groups = new_chain.grouped(self.moves)
        same = [f"(and {disjunction(old_groups[k])} {disjunction(new_groups[k])})"
                for k in set(old_groups) & set(new_groups)]  # fmt: skip
        earlier = [negation(self.encoding.condition_text(r, within)) for r in self.olds[: self.first]]
        question = conjunction(
            [self._base(within), *earlier, old_chain.text, new_chain.text, negation(disjunction(same))]
        )
        solver = z3.Solver(ctx=self.context)
        solver.from_string(
            self.encoding.declarations(sorted(within)) + old_chain.declarations + new_chain.declarations
            + "(declare-const prefer Bool)"
            + f"(assert {question})(assert (=> prefer {self.encoding.preferred_text(sorted(within))}))"
        )  # fmt: skip
        for old, new in [(c.old, c.new) for c in self.found.values()]:
            if old.index not in old_chain.by_decider or new.index not in new_chain.by_decider:
                continue  # decided in the first stretch, which the question leaves out
            solver.add(z3.Not(z3.And(old_chain.indicator(old), new_chain.indicator(new))))
        prefer = z3.Bool("prefer", self.context)
        plain = True  # pairs shown with declared kinds and plain numbers are asked for first
        while True:
            answer = _solver.check(solver, *([prefer] if plain else []), budget=self.budget)
            if answer == "unsat" and plain:
                plain = False
                continue
            if answer != "sat":
                return answer == "unsat"
            model = solver.model()
            old, new = old_chain.decider(model), new_chain.decider(model)
            pinned = z3.And(old_chain.indicator(old), new_chain.indicator(new))
            data = self.encoding.witness(model, sorted(within))
            if self._record(data) != (old, new):
                raise AnalysisError(f"diff: the solver's input {data} does not reproduce {old} -> {new}")
            solver.add(z3.Not(pinned))

    # ------------------------------------------------------------ helpers

    def _fields(self, rules: Sequence[Rule]) -> FrozenSet[Field]:
        keys = set(fields_of(rules))
        if self.group is not None:
            keys.add(TYPE)
        return frozenset(keys)

    def _base(self, within: FrozenSet[Field]) -> str:
        parts = [self.encoding.domain(sorted(within))]
        if self.group is not None:
            parts.append(self.encoding.type_is(self.group))
        elif TYPE in within:
            parts += [negation(self.encoding.type_is(name)) for name in self.names]
        return conjunction(parts)

    def _solve(self, within: FrozenSet[Field], question: str) -> Tuple[Any, str]:
        z3 = _solver.z3_module()
        solver = z3.Solver(ctx=self.context)
        solver.from_string(
            self.encoding.declarations(sorted(within)) + f"(assert {question})(declare-const prefer Bool)"
            f"(assert (=> prefer {self.encoding.preferred_text(sorted(within))}))"
        )
        # A model in declared kinds and plain numbers when there is one.
        if _solver.check(solver, z3.Bool("prefer", self.context), budget=self.budget) == "sat":
            return solver, "sat"
        return solver, _solver.check(solver, budget=self.budget)


class _Chain:
    """Which rule of a list decides, as named booleans: `{name}_{k}` when the k-th rule holds first,
    `{name}_d` when none does (the default)."""

    def __init__(
        self, encoding: PolicyEncoding, name: str, rules: Sequence[Rule], within: FrozenSet[Field], context: Any
    ) -> None:
        self.context = context
        self.name = name
        self.rules = rules
        declarations, parts = [], []
        open_ = "true"  # no earlier rule holds
        self.by_decider: Dict[Optional[int], str] = {}
        for k, rule in enumerate(rules):
            holds = encoding.condition_text(rule, within)
            if holds == FALSE:
                continue
            declarations.append(f"(declare-const {name}_{k} Bool)(declare-const {name}_u{k} Bool)")
            parts.append(f"(= {name}_{k} (and {open_} {holds}))")
            parts.append(f"(= {name}_u{k} (and {open_} {negation(holds)}))")
            open_ = f"{name}_u{k}"
            self.by_decider[rule.index] = f"{name}_{k}"
        declarations.append(f"(declare-const {name}_d Bool)")
        parts.append(f"(= {name}_d {open_})")
        self.by_decider[None] = f"{name}_d"
        self.declarations = "".join(declarations)
        self.text = conjunction(parts)
        self.rule_at = {rule.index: rule for rule in rules}

    def grouped(self, moves: bool) -> Dict[Tuple[str, Optional[str]], List[str]]:
        """The indicators by what makes two deciders alike: the effect, and with moves the id too."""
        groups: Dict[Tuple[str, Optional[str]], List[str]] = {}
        for index, indicator in self.by_decider.items():
            decider = Decider.of(None if index is None else self.rule_at[index])
            key = (decider.effect, decider.rule if moves else None)
            groups.setdefault(key, []).append(indicator)
        return groups

    def indicator(self, decider: Decider) -> Any:
        z3 = _solver.z3_module()
        return z3.Bool(self.by_decider[decider.index], self.context)

    def decider(self, model: Any) -> Decider:
        z3 = _solver.z3_module()
        for index, indicator in self.by_decider.items():
            if z3.is_true(model.eval(z3.Bool(indicator, self.context), model_completion=True)):
                return Decider.of(None if index is None else self.rule_at[index])
        raise AnalysisError("diff: the solver's model names no decider")
