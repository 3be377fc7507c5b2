"""What `tamsel lint` and `tamsel diff` print: one warning a line, or a plan
grouped by action; or the same as JSON. Every text from a document or an input
goes through `printable`, and JSON is pure ASCII."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools.analysis.api import Change, Decider, Finding, input_json
from tamsel_tools.base import status as _status
from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import quoted
from tamsel_tools.base.findings import Format
from tamsel_tools.base.findings import finding as annotated
from tamsel_tools.base.text import printable
from tamsel_tools.model.rules import Rule


def _quoted(text: str) -> str:
    return printable(quoted(text))


def finding_message(finding: Finding, rules: Sequence[Rule]) -> str:
    """rule 'ID' ... [kind]: what lint says of one rule, without its place."""
    return f"{finding.reason(rules)} [{finding.kind}]"


UNDECIDED_WHY = "not settled within the solver's time limit (--timeout); nothing is claimed about it"


def lint_report(
    path: str, findings: Sequence[Finding], rules: Sequence[Rule], as_json: bool, format: Format = "text",
    undecided: Sequence[int] = (),
) -> Tuple[int, str]:  # fmt: skip
    """The status (0 without findings, 1 with, 3 when some rule is left undecided) and the text to
    print: one warning a finding (FILE:LINE:COLUMN: warning: rule 'ID' ..., or an annotation), one
    note an undecided rule; or JSON, with "undecided" (rules as findings, without kind) when any."""
    status = _status.UNDECIDED if undecided else _status.NEGATIVE if findings else _status.GOOD
    left = [rules[index] for index in sorted(undecided)]
    if as_json:
        data: Dict[str, Any] = {"findings": [finding.to_json() for finding in findings]}
        if left:
            data["undecided"] = [{"index": r.index, "rule": r.id, "line": r.line, "column": r.column} for r in left]
        return status, _json_text(data)
    lines = [annotated("warning", path, f.line, f.column, finding_message(f, rules), format) for f in findings]
    lines += [
        annotated("warning", path, r.line, r.column, f"rule {_quoted(r.id)} undecided: {UNDECIDED_WHY}", format)
        for r in left
    ]
    return status, "".join(line + "\n" for line in lines)


def _decider(decider: Decider) -> str:
    if decider.rule is None:
        return f"the default ({decider.effect})"
    return f"rule {_quoted(decider.rule)} (index {decider.index}, {decider.effect})"


def _group(action: Optional[str]) -> str:
    if action is None:
        return "every other input (no action type, or one under which neither policy files rules):"
    return f"action {_quoted(action)}:"


def diff_report(changes: Sequence[Change], as_json: bool, undecided: Sequence[Optional[str]] = ()) -> Tuple[int, str]:
    """The status (0 when no input changes its effect, 1 otherwise, 3 when some group is left
    undecided) and the plan to print: the changes proven, then each group left undecided."""
    changed = any(not change.same_effect for change in changes)
    status = _status.UNDECIDED if undecided else _status.NEGATIVE if changed else _status.GOOD
    if as_json:
        data: Dict[str, Any] = {"changes": [change.to_json() for change in changes]}
        if undecided:
            data["undecided"] = [{"action": action} for action in undecided]
        return status, _json_text(data)
    if not changes and not undecided:
        return status, "no input changes its effect\n"  # nor, when asked, its deciding rule
    lines: List[str] = []
    groups: Dict[Optional[str], List[Change]] = {}
    for change in changes:
        groups.setdefault(change.action, []).append(change)
    for action in undecided:
        groups.setdefault(action, [])
    for action, members in groups.items():
        lines.append(_group(action))
        if action in undecided:
            lines.append(f"  undecided: {UNDECIDED_WHY}; the pairs listed under it are proven")
        for change in members:
            mark = "  [same effect]" if change.same_effect else ""
            lines.append(f"  {_decider(change.old)} -> {_decider(change.new)}{mark}")
            lines.append(f"    for example {printable(input_json(change.input))}")
    count = sum(not change.same_effect for change in changes)
    lines.append(f"{count} change{'s' if count != 1 else ''} of effect")
    if count != len(changes):
        moved = len(changes) - count
        lines.append(f"{moved} change{'s' if moved != 1 else ''} of the deciding rule alone")
    return status, "\n".join(lines) + "\n"


def _json_text(value: Any) -> str:
    return strict_json.dumps(value, ensure_ascii=True) + "\n"
