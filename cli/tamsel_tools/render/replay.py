"""`tamsel replay`'s report: text for a person, strict JSON for a program, and its warnings."""

from __future__ import annotations

from typing import List, Optional

from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import bounded
from tamsel_tools.base.text import printable
from tamsel_tools.replaying.summary import BadRecord, Example, ReplayReport

DEFAULT = "(default)"  # the default decision's rule, where no rule decided


def json_text(report: ReplayReport) -> str:
    return strict_json.dumps(report.to_json()) + "\n"


def _share(count: int, whole: int) -> str:
    return f"{100 * count / whole:.1f}%" if whole else "-"


def _rule(rule: Optional[str]) -> str:
    return DEFAULT if rule is None else printable(bounded(rule))


def _place(example: Example) -> str:
    if example.file.endswith((".parquet", ".pq")):
        return f"{printable(example.file)}: row {example.position}"
    return f"{printable(example.file)}:{example.position}"


def _table(rows: List[List[str]]) -> List[str]:
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    return ["  " + "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def text(report: ReplayReport) -> str:
    records = report.records
    lines = [
        f"{records} records replayed: {report.unchanged} unchanged, {report.changed} changed "
        f"({_share(report.changed, records)}), {report.errors} errors"
    ]
    if report.outside_window:
        lines.append(f"{report.outside_window} records outside --since/--until")
    if report.bad:
        lines.append(f"{report.bad} bad records skipped")
    if report.transitions:
        lines.append("transitions (recorded -> replayed):")
        lines += _table([[f"{t.from_} -> {t.to}", str(t.count), _share(t.count, records)] for t in report.transitions])
    if report.rule_changes:
        lines.append("changes by deciding rule (recorded -> replayed):")
        lines += _table([[f"{_rule(r.from_rule)} -> {_rule(r.to_rule)}", str(r.count)] for r in report.rule_changes])
    if report.action_types:
        lines.append("action types most affected:")
        lines += _table([[_rule_or_none(a.action_type), str(a.count)] for a in report.action_types])
    if report.actor_values:
        lines.append("actor values most affected:")
        rows = [
            [f"{printable(a.field)} = {printable(bounded(strict_json.dumps(a.value)))}", str(a.count)]
            for a in report.actor_values
        ]
        lines += _table(rows)
    if report.examples:
        lines.append("examples:")
        for example in report.examples:
            lines.append(f"  {example.transition[0]} -> {example.transition[1]} at {_place(example)}")
            lines.append(f"    {printable(strict_json.dumps(example.input, ensure_ascii=False))}")
    return "\n".join(lines) + "\n"


def _rule_or_none(action_type: Optional[str]) -> str:
    return "(no action type)" if action_type is None else printable(bounded(action_type))


def bad_line(bad: BadRecord) -> str:
    return f"{printable(bad.where)}: {printable(bounded(bad.message))}"


def warnings(report: ReplayReport) -> List[str]:
    """What stands beside the report on standard error: records made under other policies,
    the bad records skipped."""
    found = []
    if report.other_hashes:
        others = sum(each.count for each in report.other_hashes)
        hashes = ", ".join(f"{each.policy_hash or '(none)'} ({each.count})" for each in report.other_hashes[:5])
        more = ", ..." if len(report.other_hashes) > 5 else ""
        found.append(
            f"warning: {others} records were made under another policy than the baseline "
            f"{report.baseline_hash or '(none)'}: {printable(hashes)}{more}"
        )
    for bad in report.bad_records:
        found.append(f"{bad_line(bad)} (skipped)")
    return found
