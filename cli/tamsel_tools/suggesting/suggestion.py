"""Cases that close the gaps of a policy's coverage, and the proof for each gap that none can.

Rules are taken in document order and, for each, every way through it (see `gaps`) that no case
has gone yet: the solver finds an input that goes that way, made 1-minimal, or proves that none
does. Each input found is explained by the engine, which must agree on the way, and counted in
a copy of the coverage before the next way is looked at, so that a way that an earlier
suggested case went already is not asked for again. What is left open at the end is impossible
when a way that it needs is proven to have no input; otherwise it is undecided (the budget ran
out).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

from tamsel_tools.analysis import solver
from tamsel_tools.analysis.encoding import PolicyEncoding
from tamsel_tools.analysis.lint import Finding, reach
from tamsel_tools.analysis.semantics import Input
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.analysis.witness import AnalysisError
from tamsel_tools.base.echo import quoted
from tamsel_tools.base.strict_json import dumps
from tamsel_tools.model.coverage import Coverage
from tamsel_tools.model.policy import Policy
from tamsel_tools.model.rules import Rule
from tamsel_tools.suggesting.gaps import Gap, needed, rule_gaps, ways
from tamsel_tools.suggesting.search import Searcher


@dataclass(frozen=True)
class SuggestedCase:
    """An input that closes gaps, with the decision that the policy gives it now."""

    name: str  # after the first gap it closes
    input: Input
    expect: Dict[str, Optional[str]]  # "effect" and "matched_rule", as `PyTamsel.evaluate` answers
    closes: Tuple[Gap, ...]  # the gaps open before it and closed with it, in coverage's order

    def to_json(self, file: str) -> Dict[str, Any]:
        return {
            "name": self.name,
            "input": self.input,
            "expect": self.expect,
            "closes": [gap.to_json(file) for gap in self.closes],
        }


@dataclass(frozen=True)
class ImpossibleGap:
    """A gap that no input closes, and why."""

    gap: Gap
    reason: str

    def to_json(self, file: str) -> Dict[str, Any]:
        return {**self.gap.to_json(file), "reason": self.reason}


@dataclass
class Suggestion:
    """The cases suggested, in order; the gaps that no input closes; those left undecided."""

    gaps: List[Gap] = field(default_factory=list)  # every gap open before, in coverage's order
    cases: List[SuggestedCase] = field(default_factory=list)
    impossible: List[ImpossibleGap] = field(default_factory=list)
    undecided: List[Gap] = field(default_factory=list)

    def to_json(self, file: str) -> Dict[str, Any]:
        """{"cases": [...], "impossible": [...]}, `file` the policy's path; with "undecided" when any."""
        data: Dict[str, Any] = {
            "cases": [case.to_json(file) for case in self.cases],
            "impossible": [each.to_json(file) for each in self.impossible],
        }
        if self.undecided:
            data["undecided"] = [gap.to_json(file) for gap in self.undecided]
        return data


def suggest(policy: Policy, coverage: Optional[Coverage] = None, timeout: Optional[float] = None) -> Suggestion:
    """The cases that close the gaps of `coverage` (counted over `policy`; nothing counted when
    None), each evaluated with the engine, and every gap left open: impossible, with the reason
    that proves it, or undecided within `timeout` seconds of the solver (None: no limit). The
    coverage given is not changed. Needs z3 (AnalysisUnavailable without it)."""
    return suggest_within(policy, coverage, Budget(timeout))


def suggest_within(policy: Policy, coverage: Optional[Coverage], budget: Optional[Budget]) -> Suggestion:
    """`suggest` within a budget that the caller shares or watches."""
    solver.z3_module()
    with solver.collector_paused():
        return _Suggester(policy, coverage, budget).run()


class _Suggester:
    def __init__(self, policy: Policy, coverage: Optional[Coverage], budget: Optional[Budget]) -> None:
        self.policy = policy
        self.rules = policy.rules
        self.budget = budget
        self.coverage = (coverage if coverage is not None else policy.coverage()).copy()
        self.search = Searcher(PolicyEncoding(self.rules), budget)
        self.gaps: Dict[int, List[Gap]] = {
            rule.index: rule_gaps(self.coverage.rule(rule.index)) for rule in self.rules if rule.can_decide
        }
        self.impossible: Dict[int, Set[int]] = {}  # by rule index: the ways that no input goes
        self.unreachable: Dict[int, bool] = {}
        self.lint: Optional[Dict[int, Finding]] = None
        self.result = Suggestion([gap for gaps in self.gaps.values() for gap in gaps])

    def run(self) -> Suggestion:
        total = len(self.gaps)
        for done, rule in enumerate(rule for rule in self.rules if rule.can_decide):
            if self.budget is not None:
                self.budget.report(done, total)
            for way in _order(rule):
                if self.gaps[rule.index] and way not in self._seen(rule):
                    self._close(rule, way)
        for rule in self.rules:
            if not rule.can_decide:
                self._left(Gap("never_decided", rule))
            for gap in self.gaps.get(rule.index, []):
                self._left(gap)
        return self.result

    def _seen(self, rule: Rule) -> Set[int]:
        known = ways(rule)
        return {known.index(seen.results) for seen in self.coverage.rule(rule.index).seen}

    def _close(self, rule: Rule, way: int) -> None:
        answer, data = self.search.find(rule, way)
        if answer == "unsat":
            self.impossible.setdefault(rule.index, set()).add(way)
        if answer != "sat" or data is None:
            return
        explanation = self.policy.explain(data)
        went = [step for step in explanation.steps if step.rule.index == rule.index]
        results = tuple(_results(went[0])) if went else None
        if results != ways(rule)[way]:
            raise AnalysisError(f"suggest: the engine takes {dumps(data)} through rule {rule.index} as {results}")
        touched = sorted({step.rule.index for step in explanation.steps})
        before = [gap for index in touched for gap in self.gaps.get(index, [])]
        self.coverage.add(explanation, f"suggested {len(self.result.cases) + 1}")
        for index in touched:
            self.gaps[index] = rule_gaps(self.coverage.rule(index))
        after = {gap.key for index in touched for gap in self.gaps[index]}
        closes = tuple(gap for gap in before if gap.key not in after)
        if not closes:
            raise AnalysisError(f"suggest: the input {dumps(data)} closes no gap of rule {rule.index}")
        decision = self.policy.engine.evaluate(data)
        expect: Dict[str, Optional[str]] = {"effect": decision["effect"], "matched_rule": decision["matched_rule"]}
        more = f" (and {len(closes) - 1} more)" if len(closes) > 1 else ""
        shown = {domain: values for domain, values in data.items() if values}
        self.result.cases.append(SuggestedCase(closes[0].text + more, shown, expect, closes))

    # ------------------------------------------------------------ what is left open

    def _left(self, gap: Gap) -> None:
        rule = gap.rule
        if not rule.can_decide:
            finding = Finding(rule.index, rule.id, "actor_scoped", (), rule.line, rule.column, rule.scope.name)
            self.result.impossible.append(ImpossibleGap(gap, _lint_words(finding, self.rules)))
            return
        every, wanted = needed(gap)
        proven = wanted & self.impossible.get(rule.index, set())
        missing = wanted - self._seen(rule)
        closed_off = bool(proven) if every else bool(missing) and proven == missing
        reason = self._reason(gap, min(proven)) if closed_off else None
        if reason is None:
            self.result.undecided.append(gap)
        else:
            self.result.impossible.append(ImpossibleGap(gap, reason))

    def _reason(self, gap: Gap, way: int) -> Optional[str]:
        """Why no input closes the gap (a way it needs has none); None when that is not settled."""
        rule = gap.rule
        name = f"rule {quoted(rule.id)}"
        if gap.kind == "never_decided":
            return self._never_decides(rule)
        if self._unreachable(rule):
            return f"no input reaches {name}: the rules before it decide every input first"
        if gap.kind == "not_alone":
            return self._way_reason(rule, way)
        assert gap.comparison is not None
        member = gap.comparison.member
        if gap.kind == "never_made":
            return self._never_made(rule, member)
        value = "false" if gap.kind == "never_true" else "true"
        return f"comparison {member} of {name} is {value} for every input that reaches it"

    def _way_reason(self, rule: Rule, way: int) -> Optional[str]:
        k = len(rule.comparisons)
        name = f"rule {quoted(rule.id)}"
        every = rule.condition != "any"
        if way == k:
            return self._never_decides(rule) if every else f"{name} holds for every input that reaches it"
        later = set(range(way, k + 1))
        if later <= self.impossible.get(rule.index, set()):
            return self._never_made(rule, way)
        return f"comparison {way} of {name} is {'true' if every else 'false'} for every input that reaches it"

    def _never_made(self, rule: Rule, member: int) -> str:
        return (
            f"no input that reaches rule {quoted(rule.id)} makes comparison {member}: "
            "the comparisons before it settle the condition first"
        )

    def _unreachable(self, rule: Rule) -> bool:
        """The ways part the inputs that reach the rule: one seen, it is reached; all proven to
        have none, it is not; else the solver is asked."""
        if rule.index not in self.unreachable:
            if self._seen(rule):
                self.unreachable[rule.index] = False
            elif set(range(len(rule.comparisons) + 1)) <= self.impossible.get(rule.index, set()):
                self.unreachable[rule.index] = True
            else:
                self.unreachable[rule.index] = self.search.reachable(rule) == "unsat"
        return self.unreachable[rule.index]

    def _never_decides(self, rule: Rule) -> Optional[str]:
        """Lint's words for the rule; None when lint leaves it undecided."""
        if self.lint is None:
            self.lint = {finding.index: finding for finding in reach(self.rules, self.policy, self.budget).findings}
        finding = self.lint.get(rule.index)
        return None if finding is None else _lint_words(finding, self.rules)


def _order(rule: Rule) -> List[int]:
    """The ways to look for, the deciding one first: it closes the most."""
    k = len(rule.comparisons)
    return [k, *range(k)] if rule.condition != "any" else [*range(k), k]


def _results(step: Any) -> List[Optional[bool]]:
    results: List[Optional[bool]] = [None] * len(step.rule.comparisons)
    for made in step.comparisons:
        results[made.comparison.member] = made.result
    return results


def _lint_words(finding: Finding, rules: Sequence[Rule]) -> str:
    return f"{finding.reason(rules)} [{finding.kind}]"
