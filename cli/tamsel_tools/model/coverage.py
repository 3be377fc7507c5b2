"""Condition coverage: which rules decided and which comparisons came out both true and false."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools.model.explanation import Explanation
from tamsel_tools.model.rules import Comparison, Rule


@dataclass(frozen=True)
class ComparisonCoverage:
    """How often a comparison was made true and made false (a skipped one counts neither)."""

    comparison: Comparison
    true: int
    false: int

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

    def add(self, explanation: Explanation) -> None:
        """Counts one evaluation; the explanation must come from the policy of this collector."""
        for step in explanation.steps:
            if not self._knows(step.rule):
                raise ValueError(f"the explanation is of another policy: rule {step.rule.id!r}")
        for step in explanation.steps:
            for made in step.comparisons:
                self._results[step.rule.index][made.comparison.member][made.result] += 1
            self._decided[step.rule.index] += step.result

    def _knows(self, rule: Rule) -> bool:
        # By place and id, not by value: a NaN literal is unequal to itself.
        if rule.index >= len(self._rules):
            return False
        known = self._rules[rule.index]
        return (known.id, known.line, known.column) == (rule.id, rule.line, rule.column)

    @property
    def rules(self) -> Tuple[RuleCoverage, ...]:
        """Every rule of the policy, in document order."""
        return tuple(
            RuleCoverage(
                rule,
                self._decided[rule.index],
                tuple(
                    ComparisonCoverage(comparison, true, false)
                    for comparison, (false, true) in zip(rule.comparisons, self._results[rule.index])
                ),
            )
            for rule in self._rules
        )

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

    def to_json(self) -> List[Dict[str, Any]]:
        """The rules' counts as JSON data, every rule in document order."""
        return [
            {
                "index": each.rule.index,
                "rule": each.rule.id,
                "decided": each.decided,
                "comparisons": [
                    {"member": made.comparison.member, "true": made.true, "false": made.false}
                    for made in each.comparisons
                ],
            }
            for each in self.rules
        ]
