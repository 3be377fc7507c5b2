"""Exact analysis of compiled policies, the public entry points: rules that can never decide (`lint`),
inputs that make each rule decide (`deciding_inputs`), and what replacing one policy by another
changes (`diff`). The work is done in `_encoding`, `solver`, `_witness`, `_lint` and `_diff`.

Every input that the analysis claims something about is evaluated with the engine before it is
returned; one that does not reproduce the claim is an internal error, never a finding.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence

from tamsel_tools.analysis import solver
from tamsel_tools.analysis.diff import Change, Difference, compare
from tamsel_tools.analysis.lint import Finding, Reach, reach
from tamsel_tools.analysis.semantics import Input
from tamsel_tools.analysis.solver import INSTALL_HINT, AnalysisUnavailable, Budget, Undecided
from tamsel_tools.analysis.witness import AnalysisError, Decider
from tamsel_tools.base import strict_json
from tamsel_tools.model.rules import Rule

__all__ = [
    "INSTALL_HINT",
    "AnalysisError",
    "AnalysisUnavailable",
    "Budget",
    "Change",
    "Difference",
    "Decider",
    "Finding",
    "Input",
    "Reach",
    "Undecided",
    "deciding_inputs",
    "diff",
    "input_json",
    "lint",
    "lint_within",
    "diff_within",
    "solver_available",
]


def solver_available() -> bool:
    return solver.available()


def lint(rules: Sequence[Rule], engine: Any) -> List[Finding]:
    """Every rule that no input makes decide, in document order.

    `engine` is the `tamsel_tools.Policy` or the `tamsel.PyTamsel` built from the same documents (a
    `Policy` names the deciding rule by its place, a `PyTamsel` only by its id).
    """
    return _complete_lint(lint_within(rules, engine)).findings


def deciding_inputs(rules: Sequence[Rule], engine: Any) -> Dict[int, Input]:
    """For each rule that some input makes decide, by document index: such an input, 1-minimal and
    checked with the engine. The rules left out are those `lint` reports."""
    return _complete_lint(lint_within(rules, engine, witnesses=True)).inputs


def lint_within(rules: Sequence[Rule], engine: Any, budget: Optional[Budget] = None, witnesses: bool = False) -> Reach:
    """`lint` within a budget: what it proved, and the rules it left undecided."""
    solver.z3_module()
    with solver.collector_paused():
        return reach(rules, engine, budget, witnesses)


def diff(
    old_rules: Sequence[Rule], old_engine: Any, new_rules: Sequence[Rule], new_engine: Any, moves: bool = False
) -> List[Change]:
    """Every (old decider, new decider) pair of differing effects that some input of a group meets,
    once per group, each with a 1-minimal input evaluated with both engines (each a `Policy` or a
    `PyTamsel`, as for `lint`).

    Groups: one per action type under which either policy files rules, in order of first appearance
    (old policy first), then None for every other input. With `moves`, also the pairs of the same
    effect whose rules differ (by id; the default counts as a rule of its own), for which
    `same_effect` is true.
    """
    result = diff_within(old_rules, old_engine, new_rules, new_engine, moves)
    if result.undecided:
        raise Undecided(f"the solver left the groups {result.undecided} undecided within its memory cap")
    return result.changes


def diff_within(
    old_rules: Sequence[Rule], old_engine: Any, new_rules: Sequence[Rule], new_engine: Any,
    moves: bool = False, budget: Optional[Budget] = None,
) -> Difference:  # fmt: skip
    """`diff` within a budget: the changes it proved, and the groups it left undecided."""
    solver.z3_module()
    with solver.collector_paused():
        return compare(old_rules, old_engine, new_rules, new_engine, moves, budget)


def _complete_lint(result: Reach) -> Reach:
    if result.undecided:
        raise Undecided(f"the solver left the rules {result.undecided} undecided within its memory cap")
    return result


def input_json(value: Any) -> str:
    """An input (or any result) as one line of RFC 8259 JSON."""
    return strict_json.dumps(value, ensure_ascii=True)
