"""The `properties` of a decision test suite: read, checked against the suite's policy and
compiled, every error located at its node in the suite file."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Protocol, Sequence, Tuple

from tamsel_tools.analysis import solver
from tamsel_tools.analysis.properties.condition import Condition, compile_conditions, declared_actions
from tamsel_tools.base import strict_json
from tamsel_tools.base.findings import Diagnostic, Format, finding
from tamsel_tools.base.nodes import Key, Node, TreeError, json_tree, yaml_tree
from tamsel_tools.diagnostics.help import Texts, help_lines
from tamsel_tools.model.policy import DEFAULT_TIMEOUT, Policy
from tamsel_tools.model.property import (
    Property,
    PropertyError,
    PropertyResult,
    check_rule_ids,
    read_property,
    render_path,
)


class PropertiesUnloadable(Exception):
    """A property is wrong; the finding says where in the suite file."""

    def __init__(self, finding: Diagnostic):
        super().__init__(finding.render())
        self.finding = finding


@dataclass(frozen=True)
class SuiteProperty:
    """A property of a suite, its condition compiled, and its place in the suite file."""

    property: Property
    when: Optional[Node]  # the condition's node; None without one
    action: Optional[Node]  # the action's node
    line: Optional[int]
    column: Optional[int]
    listed: bool  # whether `expect` gives its values as a list
    index: int  # its place in the suite's properties, from 0


@dataclass(frozen=True)
class Compiled:
    """A suite's property with its condition as the engine compiled it."""

    source: SuiteProperty
    condition: Condition


def _tree(path: str, text: str) -> Node:
    try:
        if path.endswith(".json"):
            return json_tree(text)
        return yaml_tree(importlib.import_module("yaml"), text)
    except TreeError as error:
        raise PropertiesUnloadable(
            Diagnostic("error", path, error.line, error.column, f"cannot read: {error}")
        ) from None


def _error(path: str, tree: Node, index: int, error: PropertyError) -> PropertiesUnloadable:
    """The error at the node it is about: a key for an unknown key, else the value."""
    where: Tuple[Key, ...] = ("properties", index, *error.path)
    node = tree.at(where)
    if node is not None and error.key is not None:
        node = node.key(error.key)
    node = node or tree.at(where[:2])
    line, column = (None, None) if node is None else (node.line, node.column)
    name = render_path((f"properties[{index}]", *error.path))
    return PropertiesUnloadable(Diagnostic("error", path, line, column, f"{name}: {error.message}"))


def read_properties(path: str, text: str, values: Any) -> List[SuiteProperty]:
    """The suite's properties, checked for form; PropertiesUnloadable, located, else."""
    tree = _tree(path, text)
    if not isinstance(values, list) or not values:
        node = tree.child("properties")
        line, column = (None, None) if node is None else (node.line, node.column)
        what = "expected a list" if not isinstance(values, list) else "expected at least one property"
        raise PropertiesUnloadable(Diagnostic("error", path, line, column, f"properties: {what}"))
    found = []
    for index, value in enumerate(values):
        try:
            property = read_property(value)
        except PropertyError as error:
            raise _error(path, tree, index, error) from None
        node = tree.at(("properties", index))
        line, column = (None, None) if node is None else (node.line, node.column)
        listed = isinstance(value["expect"][property.expect], list)
        when = None if "when" not in value else tree.at(("properties", index, "when"))
        action = tree.at(("properties", index, "action"))
        found.append(SuiteProperty(property, when, action, line, column, listed, index))
    return found


def compile_properties(path: str, text: str, found: List[SuiteProperty], policy: Policy) -> List[Compiled]:
    """Each property checked against the policy (its rule ids) and its condition compiled
    against the policy's schema as a rule's is, all in one policy; PropertiesUnloadable,
    located, for the first that is wrong."""
    items = [(each.property.action, each.when, each.action) for each in found]
    made = compile_conditions(policy.schema_yaml, items, declared_actions(policy.rules))
    compiled: List[Compiled] = []
    for each in found:
        try:
            check_rule_ids(each.property, policy.rules, each.listed)
        except PropertyError as error:
            raise _error(path, _tree(path, text), each.index, error) from None
        if len(compiled) == len(made.conditions):
            assert made.refused is not None
            node = made.refused.node
            line, column = (None, None) if node is None else (node.line, node.column)
            message = f"properties[{each.index}].{made.refused.message}"
            # The help that a rule's condition gets, for a property's is written as a rule's.
            refused = made.refused.refused
            help = (
                ()
                if refused is None
                else tuple(help_lines(refused, Texts(policy.schema_yaml, made.refused.policy_yaml)))
            )
            raise PropertiesUnloadable(Diagnostic("error", path, line, column, message, help)) from None
        compiled.append(Compiled(each, made.conditions[len(compiled)]))
    return compiled


@dataclass(frozen=True)
class PropertyOptions:
    """What `tamsel test` runs, and the solver's budget for all properties together."""

    cases: bool = True  # off with --properties-only
    properties: bool = True  # off with --no-properties
    timeout: float = DEFAULT_TIMEOUT


EVERYTHING = PropertyOptions()  # cases and properties, the default budget


def refuted_message(result: PropertyResult) -> str:
    """PROPERTY: refuted: INPUT is decided DECISION."""
    assert result.input is not None and result.decision is not None
    decision = {"effect": result.decision.effect, "matched_rule": result.decision.matched_rule}
    return (
        f"{result.property.name}: refuted: {strict_json.dumps(result.input)} is decided {strict_json.dumps(decision)}"
    )


UNDECIDED = "undecided: not settled within the solver's budget"


@dataclass(frozen=True)
class PlacedResult:
    """A property's result with the place of the property in its suite file."""

    result: PropertyResult
    line: Optional[int]
    column: Optional[int]

    def to_json(self) -> Dict[str, Any]:
        return {**self.result.to_json(), "line": self.line, "column": self.column}


def run_properties(
    path: str,
    properties: Sequence[Compiled],
    policy: Policy,
    budget: SharedBudget,
    format: Format,
    placed: Optional[List[PlacedResult]] = None,
) -> Tuple[List[Tuple[str, Optional[str]]], List[Tuple[str, str]]]:
    """Checks the suite's properties: each by name with its failure (None when it holds), and
    those left undecided; prints a line for each refuted or undecided one. With `placed`, each
    result is added to it with its place."""
    from tamsel_tools.analysis.properties import proof  # the solver's modules, only when a property is checked

    items = [(each.source.property, each.condition) for each in properties]
    results = proof.check(policy, items, budget.get())
    if budget.progress is not None:
        budget.progress.close()  # erased before the lines of the results
    ran: List[Tuple[str, Optional[str]]] = []
    undecided: List[Tuple[str, str]] = []
    for each, result in zip(properties, results):
        if placed is not None:
            placed.append(PlacedResult(result, each.source.line, each.source.column))
        # The text format names the suite alone, as for a case; an annotation goes on the property's line.
        line, column = (each.source.line, each.source.column) if format == "github" else (None, None)
        name = result.property.name
        if result.verdict == "holds":
            ran.append((name, None))
            continue
        if result.verdict == "refuted":
            message = refuted_message(result)
            ran.append((name, message[len(name) + 2 :]))
        else:
            message = f"{name}: {UNDECIDED}"
            undecided.append((name, UNDECIDED))
        print(finding("error", path, line, column, message, format))
    return ran, undecided


def solver_missing_message() -> Optional[str]:
    """None when the solver is installed, else how to install it."""
    if solver.available():
        return None
    return "its properties need the z3 solver; install it with: pip install 'tamsel[analysis]' (or run --no-properties)"


class ProgressLine(Protocol):
    """A line that counts the properties proven while they are, erased before their results print."""

    def show(self, done: int, total: int) -> None: ...

    def close(self) -> None: ...


class SharedBudget:
    """The solver's budget for every property of one command, started when first needed; with a
    progress line, each suite's properties counted on it."""

    def __init__(
        self, seconds: float, running: Optional[solver.Running] = None, progress: Optional[ProgressLine] = None
    ) -> None:
        self.seconds = seconds
        self.running = running
        self.progress = progress
        self._budget: Optional[solver.Budget] = None

    def get(self) -> solver.Budget:
        if self._budget is None:
            self._budget = solver.Budget(self.seconds, self.progress, running=self.running)
        return self._budget
