"""`tamsel test`: decision test suites, their loading, running and JUnit report."""

from __future__ import annotations

import importlib
import json
import os
import re
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional

from tamsel_tools import _json, _status
from tamsel_tools._annotations import Finding, Format, finding, located_finding
from tamsel_tools._coverage import Coverage, Share
from tamsel_tools._documents import (
    DocumentsRejected,
    DocumentsUnreadable,
    load_policy,
    one_line,
    read_text,
)
from tamsel_tools._evaluate import BadInput, decision, parse_json
from tamsel_tools._explaining import explained
from tamsel_tools._policy import Policy
from tamsel_tools._suite_properties import (
    Compiled,
    PropertiesUnloadable,
    PropertyOptions,
    compile_properties,
    read_properties,
    run_properties,
    SharedBudget,
    solver_missing,
)
from tamsel_tools._text import printable

# The names by which a suite is found in a directory.
SUITE_ENDINGS = (".suite.json", ".suite.yaml", ".suite.yml")

_SUITE_KEYS = (("schema", "policy"), ("cases", "properties", "governance"))
_CASE_KEYS = (("name", "input", "expect"), ())
_EXPECT_KEYS = ((), ("effect", "matched_rule", "error"))


class SuiteUnloadable(Exception):
    """The suite cannot be run; the argument is the line to print, finding the same
    in parts when it is about a document."""

    def __init__(self, line: str, finding: Optional[Finding] = None):
        super().__init__(line)
        self.finding = finding


@dataclass(frozen=True)
class Case:
    name: str
    input: Any
    # What is checked of the outcome: "effect" and maybe "matched_rule", or "error".
    expect: Dict[str, Optional[str]]

    def failure(self, got: Dict[str, Any]) -> Optional[str]:
        """None when the outcome meets the expectation, else what differs."""
        if all(key in got and got[key] == value for key, value in self.expect.items()):
            return None
        return f"expected {json.dumps(self.expect)}, got {json.dumps(got)}"


@dataclass(frozen=True)
class Suite:
    path: str
    policy_path: str
    policy: Policy
    cases: List[Case]
    properties: List[Compiled] = field(default_factory=list)


@dataclass
class SuiteResult:
    path: str
    load_error: Optional[str] = None
    load_finding: Optional[Finding] = None
    # Every case and property run, by name, with its failure or None.
    cases: List[tuple[str, Optional[str]]] = field(default_factory=list)
    # The properties left undecided, by name, with what the report says of each.
    undecided: List[tuple[str, str]] = field(default_factory=list)

    @property
    def failed(self) -> int:
        return sum(failure is not None for _, failure in self.cases)


def suite_paths(arguments: List[str]) -> Iterator[str]:
    """Each argument that is not a directory, and the suites found below each directory."""
    for argument in arguments:
        if not os.path.isdir(argument):
            yield argument
            continue
        found = []
        for directory, subdirectories, files in os.walk(argument):
            subdirectories[:] = [name for name in subdirectories if not name.startswith(".")]
            found += [os.path.join(directory, name) for name in files if name.endswith(SUITE_ENDINGS)]
        if not found:
            yield argument  # reported when loading: no suite there
        yield from sorted(found)


def _parse(path: str, text: str) -> Any:
    if path.endswith(".json"):
        try:
            return parse_json(text)
        except BadInput as error:
            where = "" if error.line is None else f":{error.line}:{error.column}"
            raise SuiteUnloadable(f"{path}{where}: {error.message}") from None
    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        raise SuiteUnloadable(
            f"{path}: reading a YAML suite needs PyYAML: pip install 'tamsel[yaml]', "
            "or write the suite as JSON"
        ) from None
    try:
        return yaml.safe_load(text)
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark or error.context_mark
        where = "" if mark is None else f":{mark.line + 1}:{mark.column + 1}"
        what = ", ".join(part for part in (error.context, error.problem) if part) or str(error)
        raise SuiteUnloadable(f"{path}{where}: {one_line(what)}") from None
    except yaml.YAMLError as error:
        raise SuiteUnloadable(f"{path}: {one_line(str(error))}") from None
    except RecursionError:
        raise SuiteUnloadable(f"{path}: nested too deeply") from None


def _record(path: str, where: str, value: Any, keys: tuple[tuple[str, ...], tuple[str, ...]]) -> Dict[str, Any]:
    """The mapping value, checked to hold every required key and no key but the known ones."""
    required, optional = keys
    prefix = f"{path}: {where}: " if where else f"{path}: "
    if not isinstance(value, dict):
        raise SuiteUnloadable(f"{prefix}expected a mapping with keys {', '.join(required + optional)}")
    for key in value:
        if key not in required + optional:
            raise SuiteUnloadable(f"{prefix}unknown key {one_line(repr(key))}")
    for key in required:
        if key not in value:
            raise SuiteUnloadable(f"{prefix}missing key '{key}'")
    return value


def _text(path: str, where: str, value: Any, what: str = "a string") -> str:
    if not isinstance(value, str):
        raise SuiteUnloadable(f"{path}: {where}: expected {what}")
    return value


def _expectation(path: str, where: str, value: Any) -> Dict[str, Optional[str]]:
    expect = _record(path, where, value, _EXPECT_KEYS)
    if "matched_rule" in expect and "effect" not in expect:
        raise SuiteUnloadable(f"{path}: {where}: 'matched_rule' goes with 'effect'")
    if ("effect" in expect) == ("error" in expect):
        raise SuiteUnloadable(f"{path}: {where}: expected either 'effect' or 'error'")
    if "error" in expect:
        return {"error": _text(path, f"{where}.error", expect["error"])}
    checked: Dict[str, Optional[str]] = {"effect": _text(path, f"{where}.effect", expect["effect"])}
    if "matched_rule" in expect:
        rule = expect["matched_rule"]
        where += ".matched_rule"
        checked["matched_rule"] = None if rule is None else _text(path, where, rule, "a string or null")
    return checked


def load(path: str) -> Suite:
    if os.path.isdir(path):
        raise SuiteUnloadable(f"{path}: no suite files ({', '.join('*' + e for e in SUITE_ENDINGS)})")
    try:
        text = read_text(path)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        raise SuiteUnloadable(str(error)) from None
    suite = _record(path, "", _parse(path, text), _SUITE_KEYS)
    if "cases" not in suite and "properties" not in suite:
        raise SuiteUnloadable(f"{path}: missing key 'cases'")
    base = os.path.dirname(path)

    def document(key: str) -> str:
        return os.path.join(base, _text(path, key, suite[key], "a path"))

    schema, policy = document("schema"), document("policy")
    governance = None if suite.get("governance") is None else document("governance")
    if not isinstance(suite.get("cases", []), list):
        raise SuiteUnloadable(f"{path}: cases: expected a list")
    cases = []
    for index, value in enumerate(suite.get("cases", [])):
        where = f"cases[{index}]"
        case = _record(path, where, value, _CASE_KEYS)
        cases.append(
            Case(
                _text(path, f"{where}.name", case["name"]),
                _json.decode(case["input"]),  # a YAML suite's special-number objects too
                _expectation(path, f"{where}.expect", case["expect"]),
            )
        )
    try:
        found = read_properties(path, text, suite["properties"]) if "properties" in suite else []
        loaded = load_policy(schema, policy, governance)
        properties = compile_properties(path, text, found, loaded)
    except (DocumentsUnreadable, DocumentsRejected, PropertiesUnloadable) as error:
        raise SuiteUnloadable(str(error), error.finding) from None
    return Suite(path, policy, loaded, cases, properties)


def outcome(policy: Policy, value: Any, coverage: Optional[Coverage]) -> Dict[str, Any]:
    """The decision, or {"error": the engine's text} for input that it refuses; with a
    coverage collector, the steps that reached the decision are counted in it."""
    try:
        if coverage is None:
            return decision(policy, value)
        explanation = explained(policy, value)
    except BadInput as error:
        return {"error": error.message}
    coverage.add(explanation)
    return {"effect": explanation.decision.effect, "matched_rule": explanation.decision.matched_rule}


@dataclass
class PolicyCoverage:
    """The coverage of one policy over every case of the suites that use it."""

    path: str
    policy: Policy
    coverage: Coverage


def _stream(format: Format) -> Any:
    """Where errors go: annotations where the CI runner reads workflow commands."""
    return sys.stdout if format == "github" else sys.stderr


def run_suite(
    path: str,
    covered: Optional[Dict[Any, PolicyCoverage]] = None,
    format: Format = "text",
    selected: PropertyOptions = PropertyOptions(),
    budget: Optional[SharedBudget] = None,
) -> SuiteResult:
    """Runs one suite, its cases and properties as selected; with covered, counts its cases in
    the coverage of their policy."""
    result = SuiteResult(path)
    try:
        suite = load(path)
        if suite.properties and selected.properties and solver_missing():
            raise SuiteUnloadable(f"{path}: {solver_missing()}")
    except SuiteUnloadable as error:
        result.load_error = str(error)
        result.load_finding = error.finding or located_finding(path, result.load_error)
        print(result.load_finding.render(format), file=_stream(format))
        return result
    coverage = None
    if covered is not None:
        # Suites share a policy when they name the same file and it compiles to the same text.
        policy_path = os.path.normpath(suite.policy_path)
        key = (policy_path, suite.policy.canonical_text)
        if key not in covered:
            covered[key] = PolicyCoverage(policy_path, suite.policy, suite.policy.coverage())
        coverage = covered[key].coverage
    for case in suite.cases if selected.cases else []:
        # A case that expects an error counts nothing toward coverage.
        counted = None if "error" in case.expect else coverage
        failure = case.failure(outcome(suite.policy, case.input, counted))
        result.cases.append((case.name, failure))
        if failure is not None:
            print(finding("error", path, None, None, f"{case.name}: {failure}", format))
    if suite.properties and selected.properties:
        budget = budget or SharedBudget(selected.timeout)
        ran, result.undecided = run_properties(path, suite.properties, suite.policy, budget, format)
        result.cases += ran
    return result


# Characters that XML 1.0 cannot hold, not even as references.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml_text(text: str) -> str:
    return _NOT_XML.sub(lambda found: f"\\u{ord(found[0]):04x}", printable(text))


def _counts(results: List[SuiteResult]) -> Dict[str, str]:
    return {
        "tests": str(sum(len(r.cases) + len(r.undecided) + (r.load_error is not None) for r in results)),
        "failures": str(sum(r.failed for r in results)),
        "errors": str(sum(len(r.undecided) + (r.load_error is not None) for r in results)),
    }


def junit(results: List[SuiteResult]) -> bytes:
    """The JUnit XML report: a testsuite a suite, a testcase a case; a suite that
    could not be loaded is one test case in error."""
    root = ElementTree.Element("testsuites", {"name": "tamsel", **_counts(results)})
    for result in results:
        name = _xml_text(result.path)
        suite = ElementTree.SubElement(root, "testsuite", {"name": name, **_counts([result])})
        if result.load_error is not None:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name="loading the suite")
            ElementTree.SubElement(case, "error", message=_xml_text(result.load_error))
        for case_name, failure in result.cases:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name=_xml_text(case_name))
            if failure is not None:
                ElementTree.SubElement(case, "failure", message=_xml_text(failure))
        for case_name, why in result.undecided:
            case = ElementTree.SubElement(suite, "testcase", classname=name, name=_xml_text(case_name))
            ElementTree.SubElement(case, "error", message=_xml_text(why))
    ElementTree.indent(root)
    report: bytes = ElementTree.tostring(root, encoding="utf-8", xml_declaration=True)
    return report + b"\n"


def _percent(share: Share) -> str:
    # In tenths, rounded down, so that a share short of complete never reads 100.0%.
    tenths = 1000 if share.total == 0 else share.covered * 1000 // share.total
    return f"{tenths // 10}.{tenths % 10}%"


def coverage_lines(covered: PolicyCoverage, format: Format = "text") -> List[str]:
    """The policy's two shares, its actor-scoped rules, then one line a gap, rules in document
    order; in the GitHub format each rule and gap is a warning on its line."""
    path, coverage = one_line(covered.path), covered.coverage

    def gap(line: int, column: int, message: str) -> str:
        if format == "github":
            return finding("warning", covered.path, line, column, message, format)
        return f"{path}:{line}:{column}: {message}"

    rules, comparisons = coverage.rule_share, coverage.comparison_share
    lines = [
        f"{path}: {rules.covered} of {rules.total} rules decided ({_percent(rules)}), {comparisons.covered} "
        f"of {comparisons.total} comparisons both true and false ({_percent(comparisons)})"
    ]
    for each in coverage.rules:
        rule = each.rule
        if not rule.can_decide:
            lines.append(gap(rule.line, rule.column, f"rule '{one_line(rule.id)}' is scoped to an actor: unable to decide"))
    for each in coverage.rules:
        rule = each.rule
        if not rule.can_decide:
            continue
        name = f"rule '{one_line(rule.id)}'"
        if each.decided == 0:
            lines.append(gap(rule.line, rule.column, f"{name} never decided"))
        for made in each.comparisons:
            if made.gap is not None:
                where = made.comparison
                lines.append(gap(where.line, where.column, f"comparison {where.member} of {name} {made.gap}"))
    return lines


def coverage_json(covered: List[PolicyCoverage]) -> str:
    policies = [{"policy": each.path, "rules": each.coverage.to_json()} for each in covered]
    return _json.dumps({"policies": policies}) + "\n"


def _write(path: str, data: bytes) -> bool:
    """Whether the file was written; if not, says why on stderr."""
    try:
        with open(path, "wb") as report:
            report.write(data)
    except OSError as error:
        print(printable(f"{path}: cannot write: {error.strerror or error}"), file=sys.stderr)
        return False
    return True


@dataclass(frozen=True)
class CoverageOptions:
    show: bool = False  # --coverage
    json_path: Optional[str] = None  # --coverage-json FILE
    fail_under: Optional[float] = None  # --fail-under PERCENT

    @property
    def wanted(self) -> bool:
        return self.show or self.json_path is not None or self.fail_under is not None


def _below(covered: List[PolicyCoverage], percent: float, format: Format = "text") -> List[str]:
    lines = []
    for each in covered:
        rules, comparisons = each.coverage.rule_share, each.coverage.comparison_share
        if rules.below(percent) or comparisons.below(percent):
            message = f"coverage below {percent:g}%: rules {_percent(rules)}, comparisons {_percent(comparisons)}"
            lines.append(finding("error", each.path, None, None, message, format))
    return lines


def run(
    arguments: List[str],
    junit_path: Optional[str],
    options: CoverageOptions = CoverageOptions(),
    format: Format = "text",
    selected: PropertyOptions = PropertyOptions(),
) -> int:
    """0 when every case and property passed, 1 when any failed or coverage is below the bar,
    2 when a suite (or a report) failed, 3 when a property was left undecided and none failed."""
    covered: Optional[Dict[Any, PolicyCoverage]] = {} if options.wanted else None
    budget = SharedBudget(selected.timeout)
    results = [run_suite(path, covered, format, selected, budget) for path in suite_paths(arguments)]
    failed = sum(result.failed for result in results)
    passed = sum(len(result.cases) for result in results) - failed
    undecided = sum(len(result.undecided) for result in results)
    status = 2 if any(result.load_error is not None for result in results) else int(failed > 0)
    if status == _status.GOOD and undecided:
        status = _status.UNDECIDED
    if junit_path is not None and not _write(junit_path, junit(results)):
        status = 2
    print(f"{passed} passed, {failed} failed" + (f", {undecided} undecided" if undecided else ""))
    policies = list((covered or {}).values())
    if options.show:
        for each in policies:
            print("\n".join(coverage_lines(each, format)))
    if options.json_path is not None and not _write(options.json_path, coverage_json(policies).encode()):
        status = 2
    if options.fail_under is not None:
        below = _below(policies, options.fail_under, format)
        for line in below:
            print(line, file=_stream(format))
        if below:
            status = max(status, 1)
    return status
