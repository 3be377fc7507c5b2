"""`tamsel test --json`: every suite's cases and properties with their verdicts, as one JSON
document (RFC 8259, special numbers as the tools write them everywhere)."""

from __future__ import annotations

from typing import Any, Dict, List, Optional

from tamsel_tools.base import strict_json
from tamsel_tools.suites.running import SuiteResult


def _suite(result: SuiteResult) -> Dict[str, Any]:
    return {
        "suite": result.path,
        "diagnostics": [each.to_json() for each in result.load_error],
        "cases": [
            {
                "name": case.name,
                "verdict": "failed" if case.failure is not None else "passed",
                "expect": case.expect,
                "got": case.got,
            }
            for case in result.case_outcomes
        ],
        "properties": [placed.to_json() for placed in result.property_results],
    }


def test_json(results: List[SuiteResult], coverage: Optional[List[Dict[str, Any]]] = None) -> str:
    """The document: the suites in the order run, then the counts the summary line gives; with
    `coverage`, the policies' counts as --coverage-json writes them."""
    failed = sum(result.failed for result in results)
    document: Dict[str, Any] = {
        "suites": [_suite(result) for result in results],
        "passed": sum(len(result.cases) for result in results) - failed,
        "failed": failed,
        "undecided": sum(len(result.undecided) for result in results),
    }
    if coverage is not None:
        document["coverage"] = coverage
    return strict_json.dumps(document, ensure_ascii=True) + "\n"
