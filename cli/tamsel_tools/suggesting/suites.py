"""The suites of a policy as `suggest` reads them, and the new suite that it writes."""

from __future__ import annotations

import importlib
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tamsel_tools.base import strict_json
from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.io.reading import SUITE_ENDINGS
from tamsel_tools.model.coverage import Coverage
from tamsel_tools.model.policy import Policy
from tamsel_tools.suggesting.suggestion import SuggestedCase
from tamsel_tools.suites.loading import Loader, Suite, SuiteUnloadable
from tamsel_tools.suites.running import case_name, outcome


@dataclass
class Covered:
    """One policy, its coverage over every case of its suites that expects a decision, and the
    first of those suites (the new one goes beside it, naming the same documents)."""

    policy: Policy
    policy_path: str
    coverage: Coverage
    first: Suite


def covered(paths: Sequence[str], loader: Loader) -> Tuple[List[Covered], List[Diagnostic]]:
    """Each policy that the suites use, with the coverage of their cases; the findings of the
    suites that do not load. Suites share a policy as `tamsel test` counts them: the same file,
    compiled to the same text."""
    found: Dict[Tuple[str, str], Covered] = {}
    errors: List[Diagnostic] = []
    for path in paths:
        try:
            suite = loader.load(path)
        except SuiteUnloadable as error:
            errors += error.findings
            continue
        policy_path = os.path.normpath(suite.policy_path)
        key = (policy_path, suite.policy.policy_hash())
        if key not in found:
            found[key] = Covered(suite.policy, policy_path, suite.policy.coverage(), suite)
        for case in suite.cases:
            if "error" not in case.expect:
                outcome(suite.policy, case.input, found[key].coverage, case_name(path, case.name))
    return list(found.values()), errors


def beside(path: str) -> str:
    """The new suite's default name: `NAME.suggested.suite.json` beside `NAME.suite.json`."""
    for ending in SUITE_ENDINGS:
        if path.endswith(ending):
            return path[: -len(ending)] + ".suggested" + ending
    return path + ".suggested.suite.json"


def is_yaml(path: str) -> bool:
    return path.endswith((".yaml", ".yml"))


def suite_data(first: Suite, cases: Sequence[SuggestedCase], output: Optional[str]) -> Dict[str, Any]:
    """The new suite: the documents of the first suite, named from the new file's folder (none
    when the first takes its project's), and the cases with the decisions the policy gives now."""
    data: Dict[str, Any] = {}
    if first.names_documents:
        folder = os.path.dirname(os.path.abspath(output if output is not None else first.path))
        keys = ("schema", "policy", "governance")
        for key, document in zip(keys, first.documents):
            data[key] = os.path.relpath(os.path.abspath(document), folder).replace(os.sep, "/")
    data["cases"] = [{"name": case.name, "input": case.input, "expect": case.expect} for case in cases]
    return data


def suite_text(data: Dict[str, Any], yaml: bool) -> str:
    """JSON, or YAML when asked and PyYAML is there (JSON is YAML too, without it); special
    numbers as the suites write them."""
    encoded = strict_json.encode(data)
    if yaml:
        try:
            module: Any = importlib.import_module("yaml")
        except ImportError:
            module = None
        if module is not None:
            text: str = module.safe_dump(encoded, sort_keys=False, allow_unicode=True, default_flow_style=False)
            return text
    return strict_json.dumps(encoded, indent=2, ensure_ascii=False) + "\n"


class NotWritten(Exception):
    """The new suite was not written: the message says why."""

    @staticmethod
    def exists(path: str) -> str:
        return f"{path}: exists; suggest writes over no file: name a new one with -o FILE"


def write_new(path: str, text: str) -> None:
    """Writes the text to a file that does not exist yet; never over one that does."""
    try:
        file = open(path, "x", encoding="utf-8")
    except FileExistsError:
        raise NotWritten(NotWritten.exists(path)) from None
    except OSError as error:
        raise NotWritten(f"{path}: cannot write: {error.strerror}") from None
    try:
        with file:
            file.write(text)
    except OSError as error:
        os.remove(path)  # what was written of it is no suite
        raise NotWritten(f"{path}: cannot write: {error.strerror}") from None
