"""Inputs that go through a rule in a given way, found with the solver, or the proof that none does.

An input goes through rule r in way j when r is reached (its list is run and no rule before it
holds: under an action, the input's type names the action; for a global rule, no rule of the
input's action holds) and r's comparisons come out as way j says. Comparisons are false when a
side is missing and conditions are monotone in them, so an input that does so still does with
every field that r does not read removed: each question is asked over r's own fields (and the
action type, for an action rule), and an earlier rule that reads none of them drops out.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, FrozenSet, List, Optional, Tuple

from tamsel_tools.analysis import solver
from tamsel_tools.analysis.encoding import FALSE, TRUE, TYPE, Field, PolicyEncoding, conjunction, fields_of, negation
from tamsel_tools.analysis.semantics import Input, Lists, holds
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.analysis.witness import AnalysisError, minimal
from tamsel_tools.base.strict_json import dumps
from tamsel_tools.model.coverage import Results
from tamsel_tools.model.rules import Rule
from tamsel_tools.suggesting.gaps import ways

Answer = Tuple[str, Optional[Input]]  # "sat" with the input, "unsat", or "unknown"


def way_at(lists: Lists, rule: Rule, data: Input) -> Optional[Results]:
    """The way the input goes through the rule, None when it does not reach it."""
    for each in lists.applying(data):
        results, held = _through(each, data)
        if each is rule:
            return results
        if held:
            return None
    return None


def _through(rule: Rule, data: Input) -> Tuple[Results, bool]:
    """The rule's comparisons' results as short-circuit makes them, and whether it holds."""
    results: List[Optional[bool]] = [None] * len(rule.comparisons)
    stop = rule.condition == "any"  # an `any` stops at a true comparison, an `all` at a false one
    for comparison in rule.comparisons:
        results[comparison.member] = holds(comparison, data)
        if results[comparison.member] == stop:
            return tuple(results), stop
    return tuple(results), not stop


@dataclass
class Searcher:
    """Asks, for one policy, whether some input goes through a rule in a way, within a budget."""

    encoding: PolicyEncoding
    budget: Optional[Budget] = None

    def __post_init__(self) -> None:
        self.z3 = solver.z3_module()
        self.context = solver.new_context()  # the answers depend on this policy alone
        self.reading: Dict[int, FrozenSet[Field]] = {
            rule.index: frozenset(fields_of([rule])) for rule in self.encoding.rules
        }
        self._reached: Dict[int, str] = {}

    def within(self, rule: Rule) -> FrozenSet[Field]:
        return self.reading[rule.index] | (frozenset([TYPE]) if rule.scope.kind == "action" else frozenset())

    def _reached_text(self, rule: Rule, within: FrozenSet[Field]) -> str:
        """No rule before it in its list holds; for a global rule read with the action type, no rule
        of the input's action holds either (without the type, no action's list is run)."""
        lists = self.encoding.lists
        if rule.scope.kind == "action":
            assert rule.scope.name is not None
            members, first = lists.actions[rule.scope.name], [self.encoding.type_is(rule.scope.name)]
        else:
            members = lists.globals
            first = [self.encoding.no_action_rule_text(within)] if TYPE in within else [TRUE]
        before = members[: [each.index for each in members].index(rule.index)]
        relevant = [each for each in before if self.reading[each.index] & within]
        return conjunction([*first, *[negation(self.encoding.condition_text(each, within)) for each in relevant]])

    def _way_text(self, rule: Rule, way: Results, within: FrozenSet[Field]) -> str:
        parts = []
        for comparison, result in zip(rule.comparisons, way):
            if result is not None:
                text = self.encoding.comparison_text(comparison, within)
                parts.append(text if result else negation(text))
        return conjunction(parts)

    def reachable(self, rule: Rule) -> str:
        """ "sat" when some input reaches the rule, "unsat" when none does, or "unknown"."""
        within = self.within(rule)
        answer, _ = self._ask(within, self._reached_text(rule, within), want_model=False)
        return answer

    def find(self, rule: Rule, way: int) -> Answer:
        """An input that goes through the rule in the way, 1-minimal and in declared kinds where
        possible; or "unsat" when none does; or "unknown"."""
        within = self.within(rule)
        wanted = ways(rule)[way]
        formula = conjunction([self._reached_text(rule, within), self._way_text(rule, wanted, within)])
        answer, model = self._ask(within, formula, want_model=True)
        if answer != "sat":
            return answer, None
        data = self.encoding.witness(model, sorted(within))
        lists = self.encoding.lists

        def shows(candidate: Input) -> bool:
            return way_at(lists, rule, candidate) == wanted

        if not shows(data):
            raise AnalysisError(f"suggest: the input {dumps(data)} does not go through rule {rule.index} in way {way}")
        return "sat", minimal(data, shows, self.encoding)

    def _ask(self, within: FrozenSet[Field], formula: str, want_model: bool) -> Tuple[str, Any]:
        if formula == FALSE:
            return "unsat", None
        keys = sorted(within)
        check = self.z3.Solver(ctx=self.context)
        check.from_string(self.encoding.declarations(keys) + f"(assert {self.encoding.domain(keys)})(assert {formula})")
        if want_model:
            # Declared kinds and plain numbers first, so that the case reads as a person writes one.
            check.push()
            check.from_string(f"(assert {self.encoding.preferred_text(keys)})")
            if solver.check(check, budget=self.budget) == "sat":
                return "sat", check.model()
            check.pop()
        answer = solver.check(check, budget=self.budget)
        return answer, check.model() if answer == "sat" else None
