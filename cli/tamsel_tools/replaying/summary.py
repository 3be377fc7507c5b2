"""What a replay found, as partial summaries that merge in any order, and the report made of them.

A partial summary is what one fragment of a log (a file, a range of row groups) gives: counts,
and the first examples and bad records of its fragment with their place in log order (the
ordinal: the LOG argument, the file in sorted path order, the row or line). Counts add up and
the examples kept are the first by ordinal, so merging partials in any order gives the same
summary, and the same report as one pass over the whole log.
"""

from __future__ import annotations

import heapq
from dataclasses import dataclass, field
from typing import Any, Counter, Dict, List, Optional, Tuple

from tamsel_tools.base import strict_json

# Where a record stands in log order: (LOG argument, file in sorted path order, row or line).
Ordinal = Tuple[int, int, int]
# Outcome: an effect, or "error" when `evaluate` refused the input.
Transition = Tuple[str, str]
RulePair = Tuple[Optional[str], Optional[str]]

# The tables of the report show so many rows; the counts behind them are all kept.
TOP = 10
# The bad records a report names, first in log order, when --skip-bad goes on past them.
BAD_SHOWN = 5


@dataclass(frozen=True)
class Example:
    """A changed record: its transition, its input as `tamsel eval` takes it, and where it is."""

    ordinal: Ordinal
    transition: Transition
    input: Dict[str, Any]
    file: str
    position: int  # the line (JSON Lines) or the row (Parquet), from 1


@dataclass(frozen=True)
class BadRecord:
    """A line or row that is not a record, or a part of a log that could not be read."""

    ordinal: Ordinal
    where: str  # FILE:LINE, or FILE: row group N
    message: str
    count: int = 1  # the records it stands for: a row group that could not be read counts its rows


@dataclass
class PartialSummary:
    """The counts and first examples of some fragments of a log; `merge` adds another."""

    records: int = 0
    changed: int = 0
    errors: int = 0
    outside_window: int = 0
    bad: int = 0
    transitions: Counter[Transition] = field(default_factory=Counter)  # Transition -> records
    rule_changes: Counter[RulePair] = field(default_factory=Counter)  # RulePair -> changed records
    action_types: Counter[Optional[str]] = field(default_factory=Counter)  # action type (None: none) -> changed records
    actor_values: Counter[Tuple[str, str]] = field(default_factory=Counter)  # (field, value as JSON) -> changed records
    policy_hashes: Counter[Optional[str]] = field(default_factory=Counter)  # recorded hash (None: none) -> records
    first_hash: Optional[Tuple[Ordinal, Optional[str]]] = None  # the first record's hash, in log order
    examples: Dict[Transition, List[Example]] = field(default_factory=dict)
    bad_records: List[BadRecord] = field(default_factory=list)
    bytes_read: int = 0

    def merge(self, other: PartialSummary, examples: int) -> PartialSummary:
        """Adds `other` in place, keeping the first `examples` of each transition by ordinal."""
        self.records += other.records
        self.changed += other.changed
        self.errors += other.errors
        self.outside_window += other.outside_window
        self.bad += other.bad
        self.bytes_read += other.bytes_read
        self.transitions.update(other.transitions)
        self.rule_changes.update(other.rule_changes)
        self.action_types.update(other.action_types)
        self.actor_values.update(other.actor_values)
        self.policy_hashes.update(other.policy_hashes)
        if other.first_hash is not None and (self.first_hash is None or other.first_hash[0] < self.first_hash[0]):
            self.first_hash = other.first_hash
        for transition, found in other.examples.items():
            self.add_examples(transition, found, examples)
        self.bad_records = heapq.nsmallest(BAD_SHOWN, self.bad_records + other.bad_records, key=_by_ordinal)
        return self

    def add_examples(self, transition: Transition, found: List[Example], examples: int) -> None:
        kept = self.examples.get(transition, []) + found
        self.examples[transition] = heapq.nsmallest(examples, kept, key=_by_ordinal)

    def add_bad(self, bad: BadRecord) -> None:
        self.bad += bad.count
        if len(self.bad_records) < BAD_SHOWN or _by_ordinal(bad) < _by_ordinal(self.bad_records[-1]):
            self.bad_records = heapq.nsmallest(BAD_SHOWN, [*self.bad_records, bad], key=_by_ordinal)

    def first_bad(self) -> Optional[BadRecord]:
        return self.bad_records[0] if self.bad_records else None


def _by_ordinal(item: Any) -> Ordinal:
    ordinal: Ordinal = item.ordinal
    return ordinal


# ---- the report ----


@dataclass(frozen=True)
class TransitionCount:
    """Records whose recorded outcome was `from_` and whose replayed outcome is `to`."""

    from_: str
    to: str
    count: int
    share: float  # of the records replayed


@dataclass(frozen=True)
class RuleChange:
    """Changed records whose deciding rule went from `from_rule` to `to_rule` (None: the default
    decision, or an error)."""

    from_rule: Optional[str]
    to_rule: Optional[str]
    count: int


@dataclass(frozen=True)
class ActionTypeCount:
    action_type: Optional[str]  # None: the input names no action
    count: int


@dataclass(frozen=True)
class ActorValueCount:
    field: str
    value: Any
    count: int


@dataclass(frozen=True)
class PolicyHashCount:
    policy_hash: Optional[str]  # None: the records hold none
    count: int


@dataclass(frozen=True)
class ReplayReport:
    """What replaying a log through a policy changed: `tamsel replay`'s summary as values."""

    records: int  # records replayed (inside --since/--until, not bad)
    unchanged: int
    changed: int
    errors: int  # records whose replayed outcome is an error
    bad: int  # records that are not records, skipped (--skip-bad)
    outside_window: int  # records left out by --since/--until
    transitions: Tuple[TransitionCount, ...]
    rule_changes: Tuple[RuleChange, ...]
    action_types: Tuple[ActionTypeCount, ...]  # of changed records, the TOP most affected
    actor_values: Tuple[ActorValueCount, ...]  # of changed records, the TOP most affected
    examples: Tuple[Example, ...]  # the first of each transition, in log order
    baseline_hash: Optional[str]  # the old policy's (--against), else the first record's
    other_hashes: Tuple[PolicyHashCount, ...]  # records made under another hash than the baseline's
    bad_records: Tuple[BadRecord, ...]  # the first few, in log order

    def to_json(self) -> Dict[str, Any]:
        """The report as `tamsel replay --json` prints it (special numbers in inputs left as
        floats: `strict_json.dumps` tags them)."""
        return {
            "records": self.records,
            "unchanged": self.unchanged,
            "changed": self.changed,
            "errors": self.errors,
            "bad": self.bad,
            "outside_window": self.outside_window,
            "transitions": [{"from": t.from_, "to": t.to, "count": t.count} for t in self.transitions],
            "rule_changes": [
                {"from_rule": r.from_rule, "to_rule": r.to_rule, "count": r.count} for r in self.rule_changes
            ],
            "action_types": [{"action_type": a.action_type, "count": a.count} for a in self.action_types],
            "actor_values": [{"field": a.field, "value": a.value, "count": a.count} for a in self.actor_values],
            "examples": [
                {
                    "from": e.transition[0],
                    "to": e.transition[1],
                    "input": e.input,
                    "file": e.file,
                    "position": e.position,
                }
                for e in self.examples
            ],
            "policy_hash": self.baseline_hash,
            "other_policy_hashes": [{"policy_hash": h.policy_hash, "count": h.count} for h in self.other_hashes],
            "bad_records": [{"where": b.where, "message": b.message} for b in self.bad_records],
        }


def _text_key(name: Optional[str]) -> Tuple[int, str]:
    """None first, then texts by code point: ties broken by name, the same on every machine."""
    return (0, "") if name is None else (1, name)


def report(summary: PartialSummary, baseline_hash: Optional[str]) -> ReplayReport:
    """The report of a merged summary. `baseline_hash` is the old policy's (--against); without
    it the first record's hash is the baseline."""
    if baseline_hash is None and summary.first_hash is not None:
        baseline_hash = summary.first_hash[1]
    records = summary.records
    transitions = sorted(summary.transitions.items(), key=lambda item: (-item[1], item[0]))
    rules = sorted(
        summary.rule_changes.items(), key=lambda item: (-item[1], _text_key(item[0][0]), _text_key(item[0][1]))
    )
    actions = sorted(summary.action_types.items(), key=lambda item: (-item[1], _text_key(item[0])))
    actors = sorted(summary.actor_values.items(), key=lambda item: (-item[1], item[0]))
    hashes = sorted(
        ((name, count) for name, count in summary.policy_hashes.items() if name != baseline_hash),
        key=lambda item: (-item[1], _text_key(item[0])),
    )
    examples = sorted((each for found in summary.examples.values() for each in found), key=_by_ordinal)
    return ReplayReport(
        records=records,
        unchanged=records - summary.changed,
        changed=summary.changed,
        errors=summary.errors,
        bad=summary.bad,
        outside_window=summary.outside_window,
        transitions=tuple(TransitionCount(a, b, n, n / records if records else 0.0) for (a, b), n in transitions),
        rule_changes=tuple(RuleChange(a, b, n) for (a, b), n in rules),
        action_types=tuple(ActionTypeCount(a, n) for a, n in actions[:TOP]),
        actor_values=tuple(ActorValueCount(f, strict_json.loads(v), n) for (f, v), n in actors[:TOP]),
        examples=tuple(examples),
        baseline_hash=baseline_hash,
        other_hashes=tuple(PolicyHashCount(h, n) for h, n in hashes),
        bad_records=tuple(summary.bad_records),
    )
