"""Condition coverage: which rules decided, which comparisons came out both true and false, and
which were shown to decide alone (modified condition/decision coverage).

A comparison is shown to decide alone by two evaluations that both reach its rule, in which it
is made with different results, every other comparison of the rule made in both has the same
result in both, and the condition holds in one and not in the other. A comparison skipped by
short-circuit in one of the two does not spoil the pair. Only the distinct ways through a rule
are kept (its comparisons' results, with the first case that went that way): with short-circuit
a rule of k comparisons has at most k + 1 of them, so the collector stays as small as the policy.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools.model.explanation import Explanation
from tamsel_tools.model.rules import Comparison, Rule

# Each comparison's result in one evaluation of a rule, None where short-circuit skipped it.
Results = Tuple[Optional[bool], ...]


@dataclass(frozen=True)
class Seen:
    """One way through a rule: its comparisons' results, whether the condition held, and the
    first case that went this way."""

    results: Results
    held: bool
    case: str


@dataclass(frozen=True)
class AlonePair:
    """Two cases that show a comparison deciding alone: the rule holds in `holds`, not in `fails`."""

    holds: str
    fails: str


@dataclass(frozen=True)
class ComparisonCoverage:
    """How often a comparison was made true and made false (a skipped one counts neither), and
    the pairs of cases that show it deciding alone (one pair for each two ways through its rule)."""

    comparison: Comparison
    true: int
    false: int
    alone_pairs: Tuple[AlonePair, ...] = ()

    @property
    def shown_alone(self) -> bool:
        return bool(self.alone_pairs)

    @property
    def covered(self) -> bool:
        return self.true > 0 and self.false > 0

    @property
    def gap(self) -> Optional[str]:
        """What it lacks: "never made", "never true", "never false", or None when covered."""
        if self.covered:
            return None
        if self.true == self.false == 0:
            return "never made"
        return "never true" if self.true == 0 else "never false"


@dataclass(frozen=True)
class RuleCoverage:
    """How often a rule decided, and the coverage of each of its comparisons."""

    rule: Rule
    decided: int
    comparisons: Tuple[ComparisonCoverage, ...]
    seen: Tuple[Seen, ...] = ()  # the distinct ways through it, in the order first seen


@dataclass(frozen=True)
class Share:
    """So many of so many, as a percentage (100 when there is nothing to cover)."""

    covered: int
    total: int

    @property
    def percent(self) -> float:
        return 100.0 if self.total == 0 else 100.0 * self.covered / self.total

    def below(self, percent: float) -> bool:
        """Exactly, without rounding the share: 2 of 3 is below 66.67 and not below 66.66."""
        return self.covered * 100 < percent * self.total


class Coverage:
    """Counts, over the explanations added, the decisions of each rule and the results of
    each comparison made. Actor-scoped rules never run, so they count toward neither share."""

    def __init__(self, rules: Sequence[Rule]):
        self._rules = tuple(rules)
        self._decided = [0] * len(self._rules)
        # For each rule, for each comparison: [times false, times true].
        self._results = [[[0, 0] for _ in rule.comparisons] for rule in self._rules]
        # For each rule, each way through it: whether it held, and its first case.
        self._seen: List[Dict[Results, Tuple[bool, str]]] = [{} for _ in self._rules]
        self._added = 0

    def add(self, explanation: Explanation, case: Optional[str] = None) -> None:
        """Counts one evaluation; the explanation must come from the policy of this collector.
        `case` names it in the pairs that show a comparison deciding alone (by default
        "evaluation N", counting from 1)."""
        for step in explanation.steps:
            if not self._knows(step.rule):
                raise ValueError(f"the explanation is of another policy: rule {step.rule.id!r}")
        self._added += 1
        name = f"evaluation {self._added}" if case is None else case
        for step in explanation.steps:
            results: List[Optional[bool]] = [None] * len(step.rule.comparisons)
            for made in step.comparisons:
                self._results[step.rule.index][made.comparison.member][made.result] += 1
                results[made.comparison.member] = made.result
            self._decided[step.rule.index] += step.result
            self._seen[step.rule.index].setdefault(tuple(results), (step.result, name))

    def _knows(self, rule: Rule) -> bool:
        # By place and id, not by value: a NaN literal is unequal to itself.
        if rule.index >= len(self._rules):
            return False
        known = self._rules[rule.index]
        return (known.id, known.line, known.column) == (rule.id, rule.line, rule.column)

    @property
    def rules(self) -> Tuple[RuleCoverage, ...]:
        """Every rule of the policy, in document order."""
        return tuple(self.rule(index) for index in range(len(self._rules)))

    def rule(self, index: int) -> RuleCoverage:
        """The coverage of the rule at that document index."""
        rule = self._rules[index]
        seen = tuple(Seen(results, held, case) for results, (held, case) in self._seen[rule.index].items())
        comparisons = tuple(
            ComparisonCoverage(comparison, true, false, alone_pairs(seen, comparison.member))
            for comparison, (false, true) in zip(rule.comparisons, self._results[rule.index])
        )
        return RuleCoverage(rule, self._decided[rule.index], comparisons, seen)

    @property
    def rule_share(self) -> Share:
        """Of the rules that can decide, those that decided at least once."""
        deciders = [each for each in self.rules if each.rule.can_decide]
        return Share(sum(each.decided > 0 for each in deciders), len(deciders))

    @property
    def comparison_share(self) -> Share:
        """Of the comparisons of rules that can decide, those made both true and false."""
        made = [c for each in self.rules if each.rule.can_decide for c in each.comparisons]
        return Share(sum(c.covered for c in made), len(made))

    @property
    def alone_share(self) -> Share:
        """Of the comparisons of rules that can decide, those shown to decide alone."""
        made = [c for each in self.rules if each.rule.can_decide for c in each.comparisons]
        return Share(sum(c.shown_alone for c in made), len(made))

    def copy(self) -> "Coverage":
        """A collector that counts on from what this one counted, leaving this one as it is."""
        other = Coverage(self._rules)
        other._decided = list(self._decided)
        other._results = [[list(pair) for pair in rule] for rule in self._results]
        other._seen = [dict(seen) for seen in self._seen]
        other._added = self._added
        return other

    def to_json(self) -> List[Dict[str, Any]]:
        """The rules' counts as JSON data, every rule in document order."""
        return [
            {
                "index": each.rule.index,
                "rule": each.rule.id,
                "decided": each.decided,
                "comparisons": [
                    {
                        "member": made.comparison.member,
                        "true": made.true,
                        "false": made.false,
                        "alone_pairs": [[pair.holds, pair.fails] for pair in made.alone_pairs],
                    }
                    for made in each.comparisons
                ],
            }
            for each in self.rules
        ]


def alone_pairs(seen: Sequence[Seen], member: int) -> Tuple[AlonePair, ...]:
    """The pairs of ways through a rule that show its comparison `member` deciding alone."""
    pairs = []
    for holds in seen:
        for fails in seen:
            if holds.held and not fails.held and _unique_cause(holds.results, fails.results, member):
                pairs.append(AlonePair(holds.case, fails.case))
    return tuple(pairs)


def _unique_cause(one: Results, other: Results, member: int) -> bool:
    """The comparison is made in both with different results, and every other made in both agrees."""
    mine = one[member], other[member]
    if None in mine or mine[0] == mine[1]:
        return False
    return all(a == b for at, (a, b) in enumerate(zip(one, other)) if at != member and None not in (a, b))
