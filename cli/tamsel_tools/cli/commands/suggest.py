"""`tamsel suggest`: cases that close the gaps of the suites' coverage, written as a new suite."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, List, Optional, Tuple

from tamsel_tools.analysis import api
from tamsel_tools.base import status as _status
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import add_command, add_format, add_timeout, statuses, suites
from tamsel_tools.cli.commands.lint import solver_missing
from tamsel_tools.cli.progress import progress_on_stderr
from tamsel_tools.cli.signals import cancelled_on_signal
from tamsel_tools.io.reading import SUITE_ENDINGS
from tamsel_tools.render.output import findings_stream, print_findings
from tamsel_tools.render.suggest import left_open, suggestion_json, summary
from tamsel_tools.suggesting.suggestion import Suggestion, suggest_within
from tamsel_tools.suggesting.suites import (
    Covered,
    NotWritten,
    beside,
    covered,
    is_yaml,
    suite_data,
    suite_text,
    write_new,
)
from tamsel_tools.suites.discovery import suite_paths
from tamsel_tools.suites.loading import Loader


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "suggest", run, HELP, DESCRIPTION)
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
    return parser


def run(arguments: argparse.Namespace) -> int:
    paths = suites(arguments)
    if solver_missing("suggest"):
        return _status.UNUSABLE
    errors = findings_stream(arguments.format)
    found, skipped = suite_paths(paths)
    print_findings(skipped, arguments.format, errors)
    policies, unloadable = covered(found, Loader(arguments.limits))
    if unloadable:
        print_findings(unloadable, arguments.format, sys.stderr)
        return _status.UNUSABLE
    if len(policies) > 1 and (arguments.print or arguments.output is not None):
        names = ", ".join(printable(each.policy_path) for each in policies)
        print(
            f"tamsel suggest: --print and -o take the suites of one policy; these use {len(policies)} ({names})",
            file=sys.stderr,
        )
        return _status.UNUSABLE
    targets = [(each, None if arguments.print else arguments.output or beside(each.first.path)) for each in policies]
    for _, output in targets:
        if output is not None and os.path.lexists(output):
            # Said before the solver runs; writing refuses it again if it appears meanwhile.
            print(printable(NotWritten.exists(output)), file=sys.stderr)
            return _status.UNUSABLE
    with progress_on_stderr("suggest") as progress, cancelled_on_signal() as running:
        budget = api.Budget(arguments.timeout, progress, running)  # one budget for every policy
        suggestions = [suggest_within(each.policy, each.coverage, budget) for each, _ in targets]
    texts = [
        suite_text(suite_data(each.first, made.cases, output), is_yaml(arguments.output or each.first.path))
        for (each, output), made in zip(targets, suggestions)
    ]
    if not arguments.print and not _written(targets, suggestions, texts):
        return _status.UNUSABLE
    if arguments.json:
        sys.stdout.write(suggestion_json([(each.policy_path, made) for (each, _), made in zip(targets, suggestions)]))
    else:
        for (each, output), made, text in zip(targets, suggestions, texts):
            _report(arguments, each.policy_path, output, made, text)
    return _status.UNDECIDED if any(made.undecided for made in suggestions) else _status.GOOD


def _written(targets: List[Tuple[Covered, Optional[str]]], suggestions: List[Suggestion], texts: List[str]) -> bool:
    """Whether every new suite with cases was written; if one was not, says why and removes those
    written before it."""
    done: List[str] = []
    for (_, output), found, text in zip(targets, suggestions, texts):
        if output is None or not found.cases:
            continue
        try:
            write_new(output, text)
        except NotWritten as error:
            print(printable(str(error)), file=sys.stderr)
            for path in done:
                os.remove(path)
            return False
        done.append(output)
    return True


def _report(arguments: argparse.Namespace, path: str, output: Optional[str], found: Suggestion, text: str) -> None:
    lines = left_open(path, found, arguments.format)
    if arguments.print:
        sys.stdout.write(text)
    else:
        lines.insert(0, summary(found, output if found.cases and output is not None else "nothing written"))
    stream = sys.stderr if arguments.print else sys.stdout
    for line in lines:
        print(line, file=stream)


# What `tamsel --help` and `tamsel suggest --help` say of the command.
HELP = "write the cases that close the gaps of the suites' coverage"
DESCRIPTION = (
    "Finds the gaps of the suites' coverage (rules never decided; comparisons never true, never false or "
    "never made; comparisons not shown to decide alone) and, for each that an input can close, such an "
    "input, found with the solver and evaluated with the engine. They are written as the cases of a new "
    "suite beside the first suite of each policy (NAME.suggested.suite.json, or .yaml for a YAML suite; "
    "never over an existing file), each named after the gap it closes and expecting the decision the "
    "policy gives now: read and confirm each expectation. Each gap that no input closes is listed with "
    "the reason that proves it. Without SUITE, the suites of the project file "
    f"({', '.join('*' + e for e in SUITE_ENDINGS)} below a directory). "
    + statuses(
        "when the cases are written or printed (or nothing is left to close)",
        "is not used",
        "when a suite does not load or a file cannot be written",
        "when a gap is left undecided within --timeout",
    )
    + " Needs z3 (tamsel[analysis])."
)
