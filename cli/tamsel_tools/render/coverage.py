"""What `tamsel test` prints and writes of coverage: shares, gaps, the JSON counts, the bar."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional

from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import bounded, quoted
from tamsel_tools.base.findings import Format, finding
from tamsel_tools.base.text import printable
from tamsel_tools.model.coverage import Share
from tamsel_tools.suites.running import PolicyCoverage


@dataclass(frozen=True)
class CoverageOptions:
    show: bool = False  # --coverage
    json_path: Optional[str] = None  # --coverage-json FILE
    fail_under: Optional[float] = None  # --fail-under PERCENT
    fail_under_mcdc: Optional[float] = None  # --fail-under-mcdc PERCENT

    @property
    def wanted(self) -> bool:
        bars = (self.fail_under, self.fail_under_mcdc)
        return self.show or self.json_path is not None or any(bar is not None for bar in bars)


def percent(share: Share) -> str:
    # In tenths, rounded down, so that a share short of complete never reads 100.0%.
    tenths = 1000 if share.total == 0 else share.covered * 1000 // share.total
    return f"{tenths // 10}.{tenths % 10}%"


def coverage_lines(covered: PolicyCoverage, format: Format = "text") -> List[str]:
    """The policy's three shares, its actor-scoped rules, then one line a gap, rules in document
    order (a comparison's truth before its independence); in the GitHub format each rule and gap
    is a warning on its line."""
    path, coverage = printable(covered.path), covered.coverage

    def gap(line: int, column: int, message: str) -> str:
        if format == "github":
            return finding("warning", covered.path, line, column, message, format)
        return f"{path}:{line}:{column}: {printable(bounded(message))}"

    rules, comparisons, alone = coverage.rule_share, coverage.comparison_share, coverage.alone_share
    lines = [
        f"{path}: {rules.covered} of {rules.total} rules decided ({percent(rules)}), {comparisons.covered} "
        f"of {comparisons.total} comparisons both true and false ({percent(comparisons)}), {alone.covered} "
        f"of {alone.total} comparisons shown to decide alone ({percent(alone)})"
    ]
    for each in coverage.rules:
        rule = each.rule
        if not rule.can_decide:
            lines.append(gap(rule.line, rule.column, f"rule {quoted(rule.id)} is scoped to an actor: unable to decide"))
    for each in coverage.rules:
        rule = each.rule
        if not rule.can_decide:
            continue
        name = f"rule {quoted(rule.id)}"
        if each.decided == 0:
            lines.append(gap(rule.line, rule.column, f"{name} never decided"))
        for made in each.comparisons:
            if made.gap is not None:
                where = made.comparison
                lines.append(gap(where.line, where.column, f"comparison {where.member} of {name} {made.gap}"))
            if not made.shown_alone:
                where = made.comparison
                lines.append(gap(where.line, where.column, f"comparison {where.member} of {name} {NOT_ALONE}"))
    return lines


NOT_ALONE = "not shown to decide alone"


def coverage_json(covered: List[PolicyCoverage]) -> str:
    policies = [{"policy": each.path, "rules": each.coverage.to_json()} for each in covered]
    return strict_json.dumps({"policies": policies}) + "\n"


def below_bar(covered: List[PolicyCoverage], bar: float, format: Format = "text") -> List[str]:
    """An error line for each policy whose rule or comparison share is below the bar."""
    lines = []
    for each in covered:
        rules, comparisons = each.coverage.rule_share, each.coverage.comparison_share
        if rules.below(bar) or comparisons.below(bar):
            message = f"coverage below {bar:g}%: rules {percent(rules)}, comparisons {percent(comparisons)}"
            lines.append(finding("error", each.path, None, None, message, format))
    return lines


def below_mcdc_bar(covered: List[PolicyCoverage], bar: float, format: Format = "text") -> List[str]:
    """An error line for each policy whose share of comparisons shown to decide alone is below the bar."""
    lines = []
    for each in covered:
        alone = each.coverage.alone_share
        if alone.below(bar):
            message = f"comparisons shown to decide alone below {bar:g}%: {percent(alone)}"
            lines.append(finding("error", each.path, None, None, message, format))
    return lines
