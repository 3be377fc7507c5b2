"""Running decision test suites: each case's outcome against its expectation, counted for coverage."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import IO, Any, Dict, List, Optional, Tuple, Union

from tamsel_tools.base.findings import Diagnostic, Format, finding
from tamsel_tools.model.coverage import Coverage
from tamsel_tools.model.inputs import BadInput, decision, explained
from tamsel_tools.model.policy import Policy
from tamsel_tools.suites.loading import Loader, Suite, SuiteUnloadable
from tamsel_tools.suites.properties import (
    EVERYTHING,
    PlacedResult,
    PropertyOptions,
    SharedBudget,
    run_properties,
    solver_missing_message,
)


@dataclass(frozen=True)
class CaseOutcome:
    name: str
    expect: Dict[str, Optional[str]]
    got: Dict[str, Any]
    failure: Optional[str]


@dataclass
class SuiteResult:
    path: str
    load_error: Tuple[Diagnostic, ...] = ()  # why the suite could not be loaded
    # Every case and property run, by name, with its failure or None.
    cases: List[Tuple[str, Optional[str]]] = field(default_factory=list)
    # The properties left undecided, by name, with what the report says of each.
    undecided: List[Tuple[str, str]] = field(default_factory=list)
    # What --json reports: each case with its expectation and outcome, each property's result.
    case_outcomes: List[CaseOutcome] = field(default_factory=list)
    property_results: List[PlacedResult] = field(default_factory=list)

    @property
    def failed(self) -> int:
        return sum(failure is not None for _, failure in self.cases)


@dataclass
class PolicyCoverage:
    """The coverage of one policy over every case of the suites that use it. The policy itself
    is not kept: the suites run one at a time, and each holds its own."""

    path: str
    coverage: Coverage


# Suites share a policy's coverage when they name the same file and it compiles to the same
# text: the same hash of it.
Covered = Dict[Tuple[str, str], PolicyCoverage]


def outcome(policy: Policy, value: Any, coverage: Optional[Coverage], case: Optional[str] = None) -> Dict[str, Any]:
    """The decision, or {"error": the engine's text} for input that it refuses; with a
    coverage collector, the steps that reached the decision are counted in it, as the case
    named `case`."""
    try:
        if coverage is None:
            return decision(policy, value)
        explanation = explained(policy, value)
    except BadInput as error:
        return {"error": error.message}
    coverage.add(explanation, case)
    return {"effect": explanation.decision.effect, "matched_rule": explanation.decision.matched_rule}


def case_name(path: str, name: str) -> str:
    """How coverage names a case of a suite: SUITE_FILE: CASE_NAME."""
    return f"{path}: {name}"


def load_suite(path: str, loader: Loader, selected: PropertyOptions = EVERYTHING) -> Union[Suite, SuiteUnloadable]:
    """The suite loaded, or why it cannot be. A suite whose properties are to run needs the
    solver."""
    try:
        suite = loader.load(path)
    except SuiteUnloadable as error:
        return error
    missing = solver_missing_message() if suite.properties and selected.properties else None
    return suite if missing is None else SuiteUnloadable(Diagnostic("error", path, None, None, missing))


def run_suite(
    path: str,
    suite: Union[Suite, SuiteUnloadable],
    covered: Optional[Covered],
    format: Format,
    errors: IO[str],
    selected: PropertyOptions = EVERYTHING,
    budget: Optional[SharedBudget] = None,
) -> SuiteResult:
    """Runs one loaded suite, its cases and properties as selected, printing why it could not be
    loaded on errors and a line a failing case or property on standard output; with covered,
    counts its cases in the coverage of their policy."""
    result = SuiteResult(path)
    if isinstance(suite, SuiteUnloadable):
        result.load_error = suite.findings
        for each in suite.findings:
            print(each.render(format), file=errors)
        return result
    coverage = None
    if covered is not None:
        policy_path = os.path.normpath(suite.policy_path)
        key = (policy_path, suite.policy.policy_hash())
        if key not in covered:
            covered[key] = PolicyCoverage(policy_path, suite.policy.coverage())
        coverage = covered[key].coverage
    for case in suite.cases if selected.cases else []:
        # A case that expects an error counts nothing toward coverage.
        counted = None if "error" in case.expect else coverage
        got = outcome(suite.policy, case.input, counted, case_name(path, case.name))
        failure = case.failure(got)
        result.cases.append((case.name, failure))
        result.case_outcomes.append(CaseOutcome(case.name, case.expect, got, failure))
        if failure is not None:
            print(finding("error", path, None, None, f"{case.name}: {failure}", format))
    if suite.properties and selected.properties:
        budget = budget or SharedBudget(selected.timeout)
        ran, result.undecided = run_properties(
            path, suite.properties, suite.policy, budget, format, result.property_results
        )
        result.cases += ran
    return result
