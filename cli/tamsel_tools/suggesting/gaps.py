"""The gaps that coverage reports, as values, and the ways through a rule that close them.

With short-circuit, an evaluation goes through a rule of k comparisons in one of k + 1 ways.
For `all` (and an atomic condition, an `all` of one): way j < k makes the first j comparisons
true and comparison j false; way k makes every comparison true, and the rule holds. For `any`:
way j < k makes the first j false and comparison j true, and the rule holds; way k makes every
comparison false. Every gap of a rule is closed once each of its ways has been seen, and each
way not yet seen closes a gap of its own, so a suggested case for each missing way never makes
more cases than gaps.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, FrozenSet, List, Literal, Optional, Tuple

from tamsel_tools.base.echo import quoted
from tamsel_tools.model.coverage import Coverage, Results, RuleCoverage
from tamsel_tools.model.rules import Comparison, Rule

GapKind = Literal["never_decided", "never_true", "never_false", "never_made", "not_alone"]
_WORDS: Dict[str, str] = {
    "never_decided": "never decided",
    "never_true": "never true",
    "never_false": "never false",
    "never_made": "never made",
    "not_alone": "not shown to decide alone",
}
_KINDS = {"never made": "never_made", "never true": "never_true", "never false": "never_false"}


@dataclass(frozen=True)
class Gap:
    """Something the cases do not show of a rule, or of one of its comparisons."""

    kind: GapKind
    rule: Rule
    comparison: Optional[Comparison] = None  # None for "never_decided"

    @property
    def key(self) -> Tuple[str, int, Optional[int]]:
        return (self.kind, self.rule.index, None if self.comparison is None else self.comparison.member)

    @property
    def line(self) -> int:
        return self.rule.line if self.comparison is None else self.comparison.line

    @property
    def column(self) -> int:
        return self.rule.column if self.comparison is None else self.comparison.column

    @property
    def text(self) -> str:
        """As `tamsel test --coverage` says it, without the place."""
        rule = f"rule {quoted(self.rule.id)}"
        if self.comparison is None:
            return f"{rule} {_WORDS[self.kind]}"
        return f"comparison {self.comparison.member} of {rule} {_WORDS[self.kind]}"

    def to_json(self, file: str) -> Dict[str, Any]:
        return {
            "file": file,
            "line": self.line,
            "column": self.column,
            "rule": self.rule.id,
            "comparison": None if self.comparison is None else self.comparison.member,
            "gap": self.kind,
        }


def rule_gaps(each: RuleCoverage) -> List[Gap]:
    """The gaps of one rule that can decide, in the order coverage prints them."""
    rule = each.rule
    gaps = [Gap("never_decided", rule)] if each.decided == 0 else []
    for made in each.comparisons:
        if made.gap is not None:
            gaps.append(Gap(_KINDS[made.gap], rule, made.comparison))  # type: ignore[arg-type]
        if not made.shown_alone:
            gaps.append(Gap("not_alone", rule, made.comparison))
    return gaps


def gaps_of(coverage: Coverage) -> List[Gap]:
    """Every gap of the rules that can decide, rules in document order."""
    return [gap for each in coverage.rules if each.rule.can_decide for gap in rule_gaps(each)]


# ---------------------------------------------------------------- ways through a rule


def ways(rule: Rule) -> List[Results]:
    """The k + 1 ways through the rule, way j at index j."""
    k = len(rule.comparisons)
    first = rule.condition != "any"  # the result that lets the next comparison be made
    return [(first,) * j + (not first,) + (None,) * (k - j - 1) for j in range(k)] + [(first,) * k]


def deciding_way(rule: Rule, way: int) -> bool:
    """Whether the rule holds in that way."""
    last = len(rule.comparisons)
    return way == last if rule.condition != "any" else way < last


def needed(gap: Gap) -> Tuple[bool, FrozenSet[int]]:
    """The ways that close the gap: (True, ways) when every one of them is needed, (False, ways)
    when any one of them does."""
    rule = gap.rule
    k = len(rule.comparisons)
    every = rule.condition != "any"
    if gap.comparison is None:
        return False, frozenset([k] if every else range(k))
    j = gap.comparison.member
    later = frozenset(range(j + 1, k + 1))
    if gap.kind == "not_alone":
        return True, frozenset([j, k])
    if gap.kind == "never_made":
        return False, frozenset(range(j, k + 1))
    # In an `all`, comparison j is false in way j alone; in an `any`, true in way j alone.
    alone_in_j = (gap.kind == "never_false") == every
    return False, frozenset([j]) if alone_in_j else later
