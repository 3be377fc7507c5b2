"""`tamsel lint`: the rules that no input can make decide."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from tamsel_tools.analysis import api
from tamsel_tools.base import status as _status
from tamsel_tools.base.findings import Reported
from tamsel_tools.cli.arguments import add_command, add_documents, add_format, add_timeout, documents, statuses
from tamsel_tools.cli.progress import progress_on_stderr
from tamsel_tools.cli.signals import cancelled_on_signal
from tamsel_tools.diagnostics.documents import Allowance, load_policy
from tamsel_tools.render.analysis import lint_report
from tamsel_tools.render.output import findings_stream, print_findings, warn_skipped_keys


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "lint", run, HELP, DESCRIPTION)
    add_documents(parser)
    parser.add_argument("--json", action="store_true", help='print {"findings": [...]} instead')
    add_timeout(parser)
    add_format(parser)
    return parser


def solver_missing(command: str) -> bool:
    """Whether the analysis cannot run here, once said why."""
    if api.solver_available():
        return False
    print(f"tamsel {command}: {api.INSTALL_HINT}", file=sys.stderr)
    return True


def run(arguments: argparse.Namespace) -> int:
    given = documents(arguments)
    if solver_missing("lint"):
        return _status.UNUSABLE
    try:
        policy = load_policy(given.schema, given.policy, given.governance, Allowance(arguments.limits))
    except Reported as error:
        print_findings(error.findings, arguments.format)
        return _status.UNUSABLE
    # JSON on standard output holds the rules' findings alone; these stay beside it.
    warnings = sys.stderr if arguments.json else findings_stream(arguments.format)
    warn_skipped_keys(policy, given.paths, arguments.format, warnings)
    with progress_on_stderr("lint") as progress, cancelled_on_signal() as running:
        reach = api.lint_within(policy.rules, policy, api.Budget(arguments.timeout, progress, running))
    status, text = lint_report(
        given.policy, reach.findings, policy.rules, arguments.json, arguments.format, reach.undecided
    )
    sys.stdout.write(text)
    return status


# What `tamsel --help` and `tamsel lint --help` say of the command.
HELP = "report the rules that no input can make decide"
DESCRIPTION = (
    "Reports every rule that can never decide, one a line as FILE:LINE:COLUMN: "
    "warning: ..., with its kind: actor_scoped, unsatisfiable (no input makes its condition "
    "true) or shadowed (earlier rules, named, decide every input that it matches). Every "
    "other rule was made to decide by an input checked with the engine. "
    + statuses(
        "without findings",
        "with",
        "when the documents do not build",
        "when some rule is left undecided within --timeout",
    )
    + " Without SCHEMA and POLICY, the project file's documents. Needs z3 (tamsel[analysis])."
)
