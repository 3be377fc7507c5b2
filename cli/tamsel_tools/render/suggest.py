"""What `tamsel suggest` prints: the suite written, each gap left open (impossible, with the
reason that proves it, or undecided), or the same as JSON."""

from __future__ import annotations

from typing import Any, Dict, List, Tuple

from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import bounded
from tamsel_tools.base.findings import Format, finding
from tamsel_tools.base.text import printable
from tamsel_tools.render.analysis import UNDECIDED_WHY
from tamsel_tools.suggesting.suggestion import Suggestion


def summary(suggestion: Suggestion, written: str) -> str:
    """`NAME: N cases for M gaps` for the suite written; what they leave open follows it."""
    cases, gaps = len(suggestion.cases), len(suggestion.gaps)
    return f"{printable(written)}: {cases} case{'s' if cases != 1 else ''} for {gaps} gap{'s' if gaps != 1 else ''}"


def left_open(path: str, suggestion: Suggestion, format: Format = "text") -> List[str]:
    """One line a gap that no case closes: FILE:LINE:COLUMN: GAP: impossible: REASON, or
    ...: undecided: ..., in the order of the policy."""
    entries = [(each.gap, f"impossible: {each.reason}") for each in suggestion.impossible]
    entries += [(gap, f"undecided: {UNDECIDED_WHY}") for gap in suggestion.undecided]
    entries.sort(key=lambda entry: (entry[0].rule.index, entry[0].line, entry[0].column))
    lines = []
    for gap, why in entries:
        message = f"{gap.text}: {why}"
        if format == "github":
            lines.append(finding("warning", path, gap.line, gap.column, message, format))
        else:
            lines.append(f"{printable(path)}:{gap.line}:{gap.column}: {printable(bounded(message))}")
    return lines


def suggestion_json(suggestions: List[Tuple[str, Suggestion]]) -> str:
    """{"cases": [...], "impossible": [...]} of every policy (by its path) in turn, with
    "undecided" when some gap is left so."""
    merged: Dict[str, Any] = {"cases": [], "impossible": []}
    for path, suggestion in suggestions:
        for key, values in suggestion.to_json(path).items():
            merged.setdefault(key, []).extend(values)
    return strict_json.dumps(merged, ensure_ascii=True) + "\n"
