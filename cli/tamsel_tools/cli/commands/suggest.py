"""`tamsel suggest`: cases that close the gaps of the suites' coverage, written as a new suite."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, List, Optional

from tamsel_tools.analysis import api
from tamsel_tools.base import status as _status
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import add_format, add_timeout, project
from tamsel_tools.cli.commands.lint import solver_missing
from tamsel_tools.cli.progress import progress_on_stderr
from tamsel_tools.io.project import shown
from tamsel_tools.render.output import findings_stream, print_findings
from tamsel_tools.render.suggest import left_open, suggestion_json, summary
from tamsel_tools.suggest.suggestion import suggest_within
from tamsel_tools.suggest.suites import NotWritten, beside, covered, is_yaml, suite_data, suite_text, write_new
from tamsel_tools.suites.discovery import SUITE_ENDINGS, suite_paths
from tamsel_tools.suites.loading import Loader


def add(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "suggest",
        help="write the cases that close the gaps of the suites' coverage",
        description="Finds the gaps of the suites' coverage (rules never decided; comparisons never "
        "true, never false or never made; comparisons not shown to decide alone) and, for each that "
        "an input can close, such an input, found with the solver and evaluated with the engine. They "
        "are written as the cases of a new suite beside the first suite (NAME.suggested.suite.json, or "
        ".yaml for a YAML suite; never over an existing file), each named after the gap it closes and "
        "expecting the decision the policy gives now: read and confirm each expectation. Each gap that "
        "no input closes is listed with the reason that proves it. Without SUITE, the suites of the "
        f"project file ({', '.join('*' + e for e in SUITE_ENDINGS)} below a directory). "
        f"Status {_status.GOOD} when the cases are written or printed (or nothing is left to close), "
        f"{_status.UNUSABLE} when a suite does not load or the file cannot be written, "
        f"{_status.UNDECIDED} when a gap is left undecided within --timeout. Needs z3 (tamsel[analysis]).",
    )
    parser.add_argument("suites", metavar="SUITE", nargs="*")
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="write the new suite to FILE (a file that does not exist)"
    )
    parser.add_argument("--print", action="store_true", help="print the new suite on standard output instead")
    parser.add_argument(
        "--json",
        action="store_true",
        help='print {"cases": [...], "impossible": [...]} instead of the summary (with --print, write nothing)',
    )
    add_timeout(parser)
    add_format(parser)
    parser.set_defaults(run=run, parser=parser)
    return parser


def _suites(arguments: argparse.Namespace) -> List[str]:
    if arguments.suites:
        return list(arguments.suites)
    suites = project(arguments.parser, "SUITE").suites
    if not suites:
        arguments.parser.error("the project file lists no suites: give SUITE, or list them under 'suites'")
    return [shown(path) for path in suites]


def run(arguments: argparse.Namespace) -> int:
    paths = _suites(arguments)
    if solver_missing("suggest"):
        return _status.UNUSABLE
    if arguments.output is not None and not arguments.print and os.path.lexists(arguments.output):
        # Said before the solver runs; writing refuses it again if it appears meanwhile.
        print(printable(NotWritten.exists(arguments.output)), file=sys.stderr)
        return _status.UNUSABLE
    errors = findings_stream(arguments.format)
    found, skipped = suite_paths(paths)
    print_findings(skipped, arguments.format, errors)
    policies, unloadable = covered(found, Loader(arguments.limits))
    if unloadable:
        print_findings(unloadable, arguments.format, sys.stderr)
        return _status.UNUSABLE
    if len(policies) != 1:
        names = ", ".join(printable(each.policy_path) for each in policies)
        print(
            f"tamsel suggest: the suites use {len(policies)} policies ({names}): give the suites of one",
            file=sys.stderr,
        )
        return _status.UNUSABLE
    (one,) = policies
    if arguments.output is None and not arguments.print and os.path.lexists(beside(one.first.path)):
        print(printable(NotWritten.exists(beside(one.first.path))), file=sys.stderr)
        return _status.UNUSABLE
    with progress_on_stderr("suggest") as progress:
        suggestion = suggest_within(one.policy, one.coverage, api.Budget(arguments.timeout, progress))
    output: Optional[str] = arguments.output or (None if arguments.print else beside(one.first.path))
    text = suite_text(suite_data(one.first, suggestion.cases, output), is_yaml(output or one.first.path))
    if not arguments.print and suggestion.cases:
        assert output is not None
        try:
            write_new(output, text)
        except NotWritten as error:
            print(printable(str(error)), file=sys.stderr)
            return _status.UNUSABLE
    if arguments.json:
        sys.stdout.write(suggestion_json(one.policy_path, suggestion))
    else:
        lines = left_open(one.policy_path, suggestion, arguments.format)
        if arguments.print:
            sys.stdout.write(text)
        else:
            written = output if suggestion.cases else "nothing written"
            lines.insert(0, summary(suggestion, written or ""))
        stream = sys.stderr if arguments.print else sys.stdout
        for line in lines:
            print(line, file=stream)
    return _status.UNDECIDED if suggestion.undecided else _status.GOOD
