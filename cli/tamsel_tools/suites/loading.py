"""A decision test suite read and checked: its documents built, its cases validated."""

from __future__ import annotations

import importlib
import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from tamsel_tools import _inspect
from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import cut, represented
from tamsel_tools.base.findings import Diagnostic, Reported
from tamsel_tools.base.lines import Positions
from tamsel_tools.base.nodes import Key, TreeError, json_tree, yaml_tree
from tamsel_tools.diagnostics.documents import Allowance, load_policy
from tamsel_tools.io.files import read_suite
from tamsel_tools.io.project import Project, ProjectError, find_project, shown
from tamsel_tools.io.reading import MIB, SUITE_ENDINGS, Limits, document_path, size_text
from tamsel_tools.model.inputs import BadInput, parse_json
from tamsel_tools.model.policy import Policy
from tamsel_tools.model.property import render_path
from tamsel_tools.suites.properties import Compiled, PropertiesUnloadable, compile_properties, read_properties

# Each record's required keys, then its optional ones.
_Keys = Tuple[Tuple[str, ...], Tuple[str, ...]]
Where = Tuple[Key, ...]  # the keys and indexes that lead to a value of the suite
_SUITE_KEYS: _Keys = ((), ("cases", "properties", "schema", "policy", "governance"))
_CASE_KEYS: _Keys = (("name", "input", "expect"), ())
_EXPECT_KEYS: _Keys = ((), ("effect", "matched_rule", "error"))


class SuiteUnloadable(Reported):
    """The suite cannot be run: the finding says why, in the suite or in one of its documents."""


def _unloadable(path: str, message: str, line: Optional[int] = None, column: Optional[int] = None) -> SuiteUnloadable:
    return SuiteUnloadable(Diagnostic("error", path, line, column, message))


class _Wrong(Exception):
    """A fault in the suite's own form: at the value that `where` leads to, or at its key `key`."""

    def __init__(self, where: Where, message: str, key: Optional[str] = None) -> None:
        super().__init__(message)
        self.where = where
        self.message = message
        self.key = key


# Positions are found by reading the text again, in Python: a suite larger than
# this has its faults named without them.
_LOCATED_UP_TO = 8 * MIB


def _located(path: str, text: str, wrong: _Wrong) -> SuiteUnloadable:
    """The fault as a finding at its line and column, where the suite's text shows them."""
    name = render_path(wrong.where)
    message = f"{name}: {wrong.message}" if name else wrong.message
    node = None
    if len(text) <= _LOCATED_UP_TO:
        try:
            tree = json_tree(text) if path.endswith(".json") else yaml_tree(importlib.import_module("yaml"), text)
        except TreeError:
            tree = None
        node = None if tree is None else tree.at(wrong.where)
        if node is not None and wrong.key is not None:
            node = node.key(wrong.key)
    return _unloadable(path, message, *((None, None) if node is None else (node.line, node.column)))


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
    documents: Tuple[str, ...]  # the paths of the documents read, for reports never to replace
    properties: List[Compiled] = field(default_factory=list)
    names_documents: bool = True  # False: it takes the documents of its project


def parse_suite(path: str, text: str, limits: Limits) -> Any:
    """What a suite's text holds, JSON or (with PyYAML) YAML by its name, read within the limits;
    SuiteUnloadable, located, when it cannot be. Every reader of suites reads them here."""
    if path.endswith(".json"):
        try:
            return parse_json(text, limits)
        except BadInput as error:
            raise _unloadable(path, error.message, error.line, error.column) from None
    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        raise _unloadable(
            path, "reading a YAML suite needs PyYAML: pip install 'tamsel[yaml]', or write the suite as JSON"
        ) from None
    # libyaml's reader where PyYAML was built with it: the pure-Python one takes a second a megabyte.
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    try:
        # Counted first: PyYAML holds a node of every value, many times its size, before it
        # makes any value.
        _, past = _inspect.count_values(text, limits.max_values)
        if past is not None:
            raise _unloadable(path, limits.too_many_values(), *Positions(text).editor(*past))
        loaded = yaml.load(text, Loader=loader)
    except yaml.MarkedYAMLError as error:
        mark = error.problem_mark or error.context_mark
        what = ", ".join(part for part in (error.context, error.problem) if part) or str(error)
        if mark is None:
            raise _unloadable(path, what) from None
        raise _unloadable(path, what, *Positions(text).editor(mark.line + 1, mark.column + 1)) from None
    except yaml.YAMLError as error:
        raise _unloadable(path, str(error)) from None
    except RecursionError:
        raise _unloadable(path, "nested too deeply") from None
    too_much = _too_much_expanded(loaded, limits)
    if too_much is not None:
        raise _unloadable(path, too_much)
    return loaded


def _too_much_expanded(value: Any, limits: Limits) -> Optional[str]:
    """Why the value, its aliases expanded, holds too much, or None: PyYAML puts one object
    wherever an alias of it stands, so a few lines can stand for billions of values or bytes
    of text (or for a value that holds itself), and whatever reads the suite reads them all."""
    limit, text_limit = limits.max_values, limits.max_bytes
    stack, seen, text = [value], 0, 0
    while stack:
        item = stack.pop()
        seen += 1
        if seen + len(stack) > limit:
            return limits.too_many_values(" once its aliases are expanded")
        if isinstance(item, str):
            text += len(item)
            if text > text_limit:
                return (
                    f"its texts are larger than the limit of {size_text(text_limit)} once its aliases are "
                    "expanded (--max-bytes raises it)"
                )
        elif isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return None


def _record(where: Where, value: Any, keys: _Keys) -> Dict[str, Any]:
    """The mapping value, checked to hold every required key and no key but the known ones."""
    required, optional = keys
    if not isinstance(value, dict):
        raise _Wrong(where, f"expected a mapping with keys {', '.join(required + optional)}")
    for key in value:
        if key not in required + optional:
            raise _Wrong(where, f"unknown key {represented(key)}", key=str(key))
    for key in required:
        if key not in value:
            raise _Wrong(where, f"missing key '{key}'")
    return value


def _text(where: Where, value: Any, what: str = "a string") -> str:
    if not isinstance(value, str):
        raise _Wrong(where, f"expected {what}")
    return value


def _expectation(where: Where, value: Any) -> Dict[str, Optional[str]]:
    expect = _record(where, value, _EXPECT_KEYS)
    if "matched_rule" in expect and "effect" not in expect:
        raise _Wrong(where, "'matched_rule' goes with 'effect'")
    if ("effect" in expect) == ("error" in expect):
        raise _Wrong(where, "expected either 'effect' or 'error'")
    if "error" in expect:
        return {"error": _text((*where, "error"), expect["error"])}
    checked: Dict[str, Optional[str]] = {"effect": _text((*where, "effect"), expect["effect"])}
    if "matched_rule" in expect:
        rule = expect["matched_rule"]
        checked["matched_rule"] = None if rule is None else _text((*where, "matched_rule"), rule, "a string or null")
    return checked


def _cases(value: Any, from_yaml: bool) -> List[Case]:
    if not isinstance(value, list):
        raise _Wrong(("cases",), "expected a list")
    cases = []
    for index, each in enumerate(value):
        where: Where = ("cases", index)
        case = _record(where, each, _CASE_KEYS)
        name = _text((*where, "name"), case["name"])
        # A JSON suite's special-number objects were read as floats already; a YAML suite's not.
        given = strict_json.decode(case["input"]) if from_yaml else case["input"]
        cases.append(Case(name, given, _expectation((*where, "expect"), case["expect"])))
    return cases


def _documents(path: str, suite: Dict[str, Any], limits: Limits) -> Tuple[str, str, Optional[str]]:
    """The suite's documents, relative to it; a suite that names neither schema nor policy
    takes the documents of the project that holds it."""
    if "schema" not in suite and "policy" not in suite:
        return _project_documents(path, limits)
    for key in ("schema", "policy"):
        if key not in suite:
            raise _Wrong((), f"missing key '{key}'")
    root = _project_root(path, limits)

    def document(key: str) -> str:
        name = _text((key,), suite[key], "a path")
        found, refused = document_path(path, name, root, limits.allow_outside)
        if refused is not None:
            raise _Wrong((key,), f"{cut(name)}: {refused}")
        return found

    governance = None if suite.get("governance") is None else document("governance")
    return document("schema"), document("policy"), governance


def _project(path: str, limits: Limits) -> Optional[Project]:
    """The project that holds the suite, if any; SuiteUnloadable when its file is at fault."""
    try:
        return find_project(Path(path).parent, limits)
    except ProjectError as error:
        raise _unloadable(shown(error.path), error.message, error.line, error.column) from None


def _project_root(path: str, limits: Limits) -> Optional[str]:
    """The folder of the project that holds the suite, where its documents must stay; None
    without a project file, when they must stay in the suite's own folder."""
    project = _project(path, limits)
    return None if project is None else str(project.root)


def _project_documents(path: str, limits: Limits) -> Tuple[str, str, Optional[str]]:
    project = _project(path, limits)
    if project is None:
        raise _unloadable(path, "missing keys 'schema' and 'policy', and no project file names them")
    governance = None if project.governance is None else shown(project.governance)
    return shown(project.schema), shown(project.policy), governance


def _read(path: str, limits: Limits) -> Tuple[str, Any]:
    """The suite's text and what it parses to."""
    if os.path.isdir(path):
        raise _unloadable(path, f"no suite files ({', '.join('*' + e for e in SUITE_ENDINGS)})")
    try:
        text = read_suite(path, limits)
        return text, parse_suite(path, text, limits)
    except Reported as error:
        raise SuiteUnloadable(*error.findings) from None


def suite_documents(path: str, limits: Limits) -> Tuple[str, ...]:
    """The documents that the suite names, read without building them; none when the suite
    cannot be read (loading it says why)."""
    try:
        _, parsed = _read(path, limits)
        return tuple(each for each in _documents(path, _record((), parsed, _SUITE_KEYS), limits) if each)
    except (SuiteUnloadable, _Wrong):
        return ()


_Identity = Tuple[Tuple[str, int, int, int, int], ...]


def _identity(paths: Tuple[str, ...]) -> Optional[_Identity]:
    try:
        stats = [(os.path.realpath(path), os.stat(path)) for path in paths]
    except (OSError, ValueError):
        return None
    return tuple((real, st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns) for real, st in stats)


class Loader:
    """What loads the suites of one command: within its limits, and with the policy built last,
    by the files it was built from as they stood: the suites of a folder mostly name the same
    documents, and building them again would cost each suite the time of the first."""

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self._last: Optional[Tuple[_Identity, Policy]] = None

    def policy_of(self, schema: str, policy: str, governance: Optional[str]) -> Policy:
        identity = _identity((schema, policy) + (() if governance is None else (governance,)))
        if identity is not None and self._last is not None and self._last[0] == identity:
            return self._last[1]
        self._last = None  # the one it replaces is not kept meanwhile
        built = load_policy(schema, policy, governance, Allowance(self.limits))
        if identity is not None:
            self._last = (identity, built)
        return built

    def load(self, path: str) -> Suite:
        return load(path, self)


def load(path: str, loader: Loader) -> Suite:
    """The suite in the file, its documents built; SuiteUnloadable when it cannot be run."""
    limits = loader.limits
    text, parsed = _read(path, limits)
    try:
        suite = _record((), parsed, _SUITE_KEYS)
        if "cases" not in suite and "properties" not in suite:
            raise _Wrong((), "missing key 'cases'")
        schema, policy, governance = _documents(path, suite, limits)
        cases = _cases(suite.get("cases", []), from_yaml=not path.endswith(".json"))
    except _Wrong as wrong:
        raise _located(path, text, wrong) from None
    try:
        found = read_properties(path, text, suite["properties"]) if "properties" in suite else []
        loaded = loader.policy_of(schema, policy, governance)
        properties = compile_properties(path, text, found, loaded)
    except Reported as error:
        raise SuiteUnloadable(*error.findings) from None
    except PropertiesUnloadable as error:
        raise SuiteUnloadable(error.finding) from None
    documents = tuple(each for each in (schema, policy, governance) if each)
    names = "schema" in suite or "policy" in suite
    return Suite(path, policy, loaded, cases, documents, properties, names)
