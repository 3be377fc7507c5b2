"""What `tamsel lint` and `tamsel diff` print: one warning a line, or a plan
grouped by action; or the same as JSON. Every text from a document or an input
goes through `printable`, and JSON is pure ASCII."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools import _json
from tamsel_tools._analysis import Change, Decider, Finding, input_json
from tamsel_tools._annotations import Format
from tamsel_tools._annotations import finding as annotated
from tamsel_tools._model import Rule
from tamsel_tools._text import printable


def _quoted(text: str) -> str:
    return "'" + printable(text) + "'"


def _rule_names(indexes: Sequence[int], rules: Sequence[Rule]) -> str:
    names = [f"rule {_quoted(rules[i].id)} (index {i})" for i in indexes]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def finding_message(finding: Finding, rules: Sequence[Rule]) -> str:
    """rule 'ID' ... [kind]: what lint says of one rule, without its place."""
    if finding.kind == "actor_scoped":
        why = f"is scoped to the actor {_quoted(finding.scope_name or '')}, and actor rules never decide"
    elif finding.kind == "unsatisfiable":
        why = "never decides: no input makes its condition true"
    else:
        why = f"never decides: every input that it matches is decided first by {_rule_names(finding.by, rules)}"
    return f"rule {_quoted(finding.rule)} {why} [{finding.kind}]"


def lint_report(
    path: str, findings: Sequence[Finding], rules: Sequence[Rule], as_json: bool, format: Format = "text"
) -> Tuple[int, str]:
    """The status (0 without findings, 1 with) and the text to print: one warning a
    finding (FILE:LINE:COLUMN: warning: rule 'ID' ..., or an annotation), or JSON."""
    status = 1 if findings else 0
    if as_json:
        return status, _json_text({"findings": [finding.to_json() for finding in findings]})
    lines = [
        annotated("warning", path, f.line, f.column, finding_message(f, rules), format) for f in findings
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


def diff_report(changes: Sequence[Change], as_json: bool) -> Tuple[int, str]:
    """The status (0 when no input changes its effect, 1 otherwise) and the plan to print."""
    status = 1 if any(not change.same_effect for change in changes) else 0
    if as_json:
        return status, _json_text({"changes": [change.to_json() for change in changes]})
    if not changes:
        return status, "no input changes its effect\n"  # nor, when asked, its deciding rule
    lines: List[str] = []
    groups: Dict[Optional[str], List[Change]] = {}
    for change in changes:
        groups.setdefault(change.action, []).append(change)
    for action, members in groups.items():
        lines.append(_group(action))
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
    return _json.dumps(value, ensure_ascii=True) + "\n"
