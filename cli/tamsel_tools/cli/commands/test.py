"""`tamsel test`: run decision test suites, with their JUnit and coverage reports."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any, Iterator, List, Optional, Tuple

from tamsel_tools.analysis.solver import Budget, collector_paused
from tamsel_tools.analysis.solver import available as solver_available
from tamsel_tools.base import status as _status
from tamsel_tools.base import strict_json
from tamsel_tools.base.findings import Format, Reported
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import add_command, add_format, add_timeout, percentage, statuses, suites
from tamsel_tools.cli.progress import Progress, progress_on_stderr
from tamsel_tools.cli.signals import cancelled_on_signal
from tamsel_tools.io.files import Unwritable, read_document, write_pages, write_report
from tamsel_tools.io.reading import SUITE_ENDINGS, Limits, too_large
from tamsel_tools.io.reports import ReportKind, refusals
from tamsel_tools.render.coverage import CoverageOptions, below_bar, below_mcdc_bar, coverage_json, coverage_lines
from tamsel_tools.render.coverage_html import Suggested, site, suggested_of
from tamsel_tools.render.junit import junit
from tamsel_tools.render.output import findings_stream, print_findings
from tamsel_tools.render.test_json import test_json
from tamsel_tools.suggesting.suggestion import suggest_within
from tamsel_tools.suggesting.suites import covered as suggest_covered
from tamsel_tools.suites.discovery import suite_paths
from tamsel_tools.suites.loading import Loader, suite_documents
from tamsel_tools.suites.properties import EVERYTHING, PropertyOptions, SharedBudget
from tamsel_tools.suites.running import Covered, SuiteResult, load_suite, run_suite


def _add_bar(parser: argparse.ArgumentParser, option: str, share: str) -> None:
    help = f"status {_status.NEGATIVE} when a policy's {share} is below PERCENT"
    parser.add_argument(option, metavar="PERCENT", type=percentage, help=help)


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "test", run, HELP, DESCRIPTION)
    parser.add_argument("suites", metavar="SUITE", nargs="*")
    parser.add_argument("--junit", metavar="FILE", help="also write a JUnit XML report to FILE")
    parser.add_argument("--coverage", action="store_true", help=_COVERAGE_HELP)
    parser.add_argument("--coverage-json", metavar="FILE", help="write the coverage counts to FILE as JSON")
    parser.add_argument("--coverage-html", metavar="DIR", help=_COVERAGE_HTML_HELP)
    _add_bar(parser, "--fail-under", "rule or comparison coverage")
    _add_bar(parser, "--fail-under-mcdc", "share of comparisons shown to decide alone")
    parser.add_argument("--json", action="store_true", help=_JSON_HELP)
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--properties-only", action="store_true", help="run the suites' properties, not their cases")
    which.add_argument("--no-properties", action="store_true", help="run the suites' cases, not their properties")
    add_timeout(parser)
    add_format(parser)
    return parser


def _written(path: str, data: bytes) -> bool:
    """Whether the report was written; if not, says why."""
    try:
        write_report(path, data)
    except Unwritable as error:
        print(error, file=sys.stderr)
        return False
    return True


def _site_written(
    folder: str, covered: Covered, inputs: List[str], limits: Limits, suites: List[str], seconds: float
) -> bool:
    """Whether the --coverage-html pages were written; if not, says why."""
    policies = list(covered.values())
    texts: List[Optional[str]] = []
    for each in policies:
        try:
            texts.append(read_document(each.path, limits.documents_max_bytes, too_large))
        except Reported:
            texts.append(None)  # the page says so, and lists its marks by line
    try:
        write_pages(folder, site(policies, texts, _suggested(covered, suites, limits, seconds)), inputs)
    except Unwritable as error:
        print(error, file=sys.stderr)
        return False
    return True


def _suggested(
    covered: Covered, suites: List[str], limits: Limits, seconds: float
) -> Optional[List[Optional[Suggested]]]:
    """What suggest says of each policy's gaps, within the solver's time; None without the solver."""
    if not solver_available() or not covered:
        return None
    loaded, _ = suggest_covered(suites, Loader(limits))
    by_key = {(each.policy_path, each.policy.policy_hash()): each for each in loaded}
    said: List[Optional[Suggested]] = []
    with cancelled_on_signal() as running:
        budget = Budget(seconds, running=running)
        for key in covered:
            found = by_key.get(key)
            said.append(None if found is None else suggested_of(suggest_within(found.policy, found.coverage, budget)))
    return said


def run(arguments: argparse.Namespace) -> int:
    options = CoverageOptions(
        arguments.coverage, arguments.coverage_json, arguments.fail_under, arguments.fail_under_mcdc
    )
    selected = PropertyOptions(not arguments.properties_only, not arguments.no_properties, arguments.timeout)
    with progress_on_stderr("test", "suites") as progress:
        return run_suites(
            suites(arguments), arguments.junit, options, arguments.format, arguments.limits, selected, arguments.json,
            progress, arguments.coverage_html,
        )  # fmt: skip


@contextlib.contextmanager
def _aside(json: bool) -> Iterator[None]:
    """With --json, standard output holds the document alone: the lines of failures go nowhere."""
    if not json:
        yield
        return
    with open(os.devnull, "w", encoding="utf-8") as sink, contextlib.redirect_stdout(sink):
        yield


def run_suites(
    paths: List[str],
    junit_path: Optional[str],
    options: CoverageOptions,
    format: Format,
    limits: Limits,
    selected: PropertyOptions = EVERYTHING,
    as_json: bool = False,
    progress: Optional[Progress] = None,
    html_path: Optional[str] = None,
) -> int:
    """Loads the suites, refuses a report's file that is one of them or of their documents, runs
    them, prints the results (or, as_json, one JSON document) and writes the reports asked for;
    the status."""
    covered: Optional[Covered] = {} if options.wanted or html_path is not None else None
    errors = sys.stderr if as_json else findings_stream(format)
    found, skipped = suite_paths(paths)
    print_findings(skipped, format, errors)
    reports: List[Tuple[Optional[str], ReportKind]] = [
        (junit_path, "junit"), (options.json_path, "coverage"), (html_path, "coverage_html")
    ]  # fmt: skip
    inputs: List[str] = []
    if any(path is not None for path, _ in reports):
        # Before anything runs; the suites are read again as they run, one at a time, so
        # that a run holds one suite and its policy at most.
        inputs = found + [each for path in found for each in suite_documents(path, limits)]
        refused = refusals(reports, inputs)
        for line in refused:
            print(printable(line), file=errors)
        if refused:
            return _status.UNUSABLE
    loader = Loader(limits)
    results: List[SuiteResult] = []
    # The collector's full passes over a suite of many properties cost more than the run itself.
    with cancelled_on_signal() as running, _aside(as_json), collector_paused():
        budget = SharedBudget(selected.timeout, running, progress)
        for number, path in enumerate(found):
            if progress is not None:
                progress.what, progress.unit = "test", "suites"
                progress.show(number, len(found))
                progress.what, progress.unit = f"test: {printable(path)}", "properties"
            results.append(
                run_suite(path, load_suite(path, loader, selected), covered, format, errors, selected, budget)
            )
    failed = sum(result.failed for result in results)
    passed = sum(len(result.cases) for result in results) - failed
    undecided = sum(len(result.undecided) for result in results)
    status = _status.NEGATIVE if failed else _status.UNDECIDED if undecided else _status.GOOD
    if any(result.load_error for result in results):
        status = _status.UNUSABLE
    if junit_path is not None and not _written(junit_path, junit(results)):
        status = _status.UNUSABLE
    if progress is not None:
        progress.close()  # erased before the results
    policies = list((covered or {}).values())
    if as_json:
        coverage = strict_json.loads(coverage_json(policies))["policies"] if options.show else None
        print(test_json(results, coverage), end="")
    else:
        print(f"{passed} passed, {failed} failed" + (f", {undecided} undecided" if undecided else ""))
    if options.show and not as_json:
        for each in policies:
            print("\n".join(coverage_lines(each, format)))
    if options.json_path is not None and not _written(options.json_path, coverage_json(policies).encode()):
        status = _status.UNUSABLE
    if html_path is not None and not _site_written(html_path, covered or {}, inputs, limits, found, selected.timeout):
        status = _status.UNUSABLE
    below = below_bar(policies, options.fail_under, format) if options.fail_under is not None else []
    if options.fail_under_mcdc is not None:
        below += below_mcdc_bar(policies, options.fail_under_mcdc, format)
    for line in below:
        print(line, file=errors)
    if below and status == _status.GOOD:
        status = _status.NEGATIVE
    return status


# What `tamsel --help` and `tamsel test --help` say of the command and its longer options.
HELP = "run decision test suites"
DESCRIPTION = (
    "Runs decision test suites (JSON, or YAML with PyYAML installed); a directory "
    f"stands for the suites below it ({', '.join('*' + e for e in SUITE_ENDINGS)}). Without "
    f"SUITE, the suites of the project file. A suite's properties are proven for every input or "
    "refuted with one (they need z3, tamsel[analysis]). "
    + statuses(
        "when every case and property passes",
        "when any fails (or coverage is below --fail-under)",
        "when a suite cannot be loaded or a report cannot be written",
        "when a property is left undecided within the solver's budget",
    )
)
_COVERAGE_HELP = (
    "after the results, print each policy's rule and comparison coverage, its share of "
    "comparisons shown to decide alone, and its gaps"
)
_COVERAGE_HTML_HELP = (
    "write the coverage as a static site into DIR: an index of the policies, a page a policy with "
    "its text and every rule and comparison marked, each gap saying why"
)
_JSON_HELP = (
    'print {"suites": [...], "passed", "failed", "undecided"} instead: each case and property with '
    "its verdict, a refuted property with its input and decision (and with --coverage, the counts)"
)
