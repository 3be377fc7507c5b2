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

import tamsel

from tamsel_tools._annotations import Finding, Format, finding, located_finding
from tamsel_tools._documents import (
    DocumentsRejected,
    DocumentsUnreadable,
    load_engine,
    one_line,
    read_text,
)
from tamsel_tools._text import printable
from tamsel_tools._evaluate import BadInput, evaluate, parse_json

# The names by which a suite is found in a directory.
SUITE_ENDINGS = (".suite.json", ".suite.yaml", ".suite.yml")

_SUITE_KEYS = (("schema", "policy", "cases"), ("governance",))
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
    engine: tamsel.PyTamsel
    cases: List[Case]


@dataclass
class SuiteResult:
    path: str
    load_error: Optional[str] = None
    load_finding: Optional[Finding] = None
    # Every case run, by name, with its failure or None.
    cases: List[tuple[str, Optional[str]]] = field(default_factory=list)

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
        suite = _record(path, "", _parse(path, read_text(path)), _SUITE_KEYS)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        raise SuiteUnloadable(str(error)) from None
    base = os.path.dirname(path)

    def document(key: str) -> str:
        return os.path.join(base, _text(path, key, suite[key], "a path"))

    schema, policy = document("schema"), document("policy")
    governance = None if suite.get("governance") is None else document("governance")
    if not isinstance(suite["cases"], list):
        raise SuiteUnloadable(f"{path}: cases: expected a list")
    cases = []
    for index, value in enumerate(suite["cases"]):
        where = f"cases[{index}]"
        case = _record(path, where, value, _CASE_KEYS)
        cases.append(
            Case(
                _text(path, f"{where}.name", case["name"]),
                case["input"],
                _expectation(path, f"{where}.expect", case["expect"]),
            )
        )
    try:
        engine = load_engine(schema, policy, governance)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        raise SuiteUnloadable(str(error), error.finding) from None
    return Suite(path, engine, cases)


def outcome(engine: tamsel.PyTamsel, value: Any) -> Dict[str, Any]:
    """The decision, or {"error": the engine's text} for input that it refuses."""
    try:
        return evaluate(engine, value)
    except BadInput as error:
        return {"error": error.message}


def run_suite(path: str, format: Format = "text") -> SuiteResult:
    result = SuiteResult(path)
    try:
        suite = load(path)
    except SuiteUnloadable as error:
        result.load_error = str(error)
        result.load_finding = error.finding or located_finding(path, result.load_error)
        # Annotations go where the CI runner reads workflow commands.
        print(result.load_finding.render(format), file=sys.stdout if format == "github" else sys.stderr)
        return result
    for case in suite.cases:
        failure = case.failure(outcome(suite.engine, case.input))
        result.cases.append((case.name, failure))
        if failure is not None:
            print(finding("error", path, None, None, f"{case.name}: {failure}", format))
    return result


# Characters that XML 1.0 cannot hold, not even as references.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml_text(text: str) -> str:
    return _NOT_XML.sub(lambda found: f"\\u{ord(found[0]):04x}", printable(text))


def _counts(results: List[SuiteResult]) -> Dict[str, str]:
    return {
        "tests": str(sum(len(r.cases) + (r.load_error is not None) for r in results)),
        "failures": str(sum(r.failed for r in results)),
        "errors": str(sum(r.load_error is not None for r in results)),
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
    ElementTree.indent(root)
    report: bytes = ElementTree.tostring(root, encoding="utf-8", xml_declaration=True)
    return report + b"\n"


def run(arguments: List[str], junit_path: Optional[str], format: Format = "text") -> int:
    """0 when every case passed, 1 when any failed, 2 when a suite (or the report) failed."""
    results = [run_suite(path, format) for path in suite_paths(arguments)]
    failed = sum(result.failed for result in results)
    passed = sum(len(result.cases) for result in results) - failed
    status = 2 if any(result.load_error is not None for result in results) else int(failed > 0)
    if junit_path is not None:
        try:
            with open(junit_path, "wb") as report:
                report.write(junit(results))
        except OSError as error:
            print(printable(f"{junit_path}: cannot write: {error.strerror or error}"), file=sys.stderr)
            status = 2
    print(f"{passed} passed, {failed} failed")
    return status
