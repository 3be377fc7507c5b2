"""`tamsel diff`: which inputs change their effect when OLD is replaced by NEW."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Tuple

from tamsel_tools.analysis import api
from tamsel_tools.base import status as _status
from tamsel_tools.base.findings import CHECK_FORMATS, Reported
from tamsel_tools.cli.arguments import Documents, add_command, add_format, add_timeout, project_documents, statuses
from tamsel_tools.cli.commands.lint import solver_missing
from tamsel_tools.cli.progress import progress_on_stderr
from tamsel_tools.cli.signals import cancelled_on_signal
from tamsel_tools.diagnostics.documents import Allowance, load_policy
from tamsel_tools.render.analysis import diff_report
from tamsel_tools.render.output import print_findings


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "diff", run, HELP, DESCRIPTION)
    parser.usage = (
        "%(prog)s [-h] [--governance GOVERNANCE] [--json] [--moves] [--timeout SECONDS] [--format FORMAT] "
        "[SCHEMA] OLD NEW"
    )
    parser.add_argument("files", metavar="[SCHEMA] OLD NEW", nargs="*", help=argparse.SUPPRESS)
    parser.add_argument("--governance", "-g", metavar="GOVERNANCE", help="the governance document of both")
    parser.add_argument("--json", action="store_true", help='print {"changes": [...]} instead')
    parser.add_argument(
        "--moves",
        action="store_true",
        help="also list the pairs whose effect stays but whose deciding rule (by id) changes, marked "
        '"[same effect]" ("same_effect": true in JSON)',
    )
    add_timeout(parser)
    add_format(parser, CHECK_FORMATS, "documents that do not build: ")
    return parser


def _documents(arguments: argparse.Namespace) -> Tuple[Documents, str]:
    """The documents of OLD and the path of NEW: SCHEMA OLD NEW, or OLD NEW in a project."""
    files = arguments.files
    if len(files) > 3:
        arguments.parser.error(f"unrecognized arguments: {' '.join(files[3:])}")
    if len(files) < 2:
        arguments.parser.error(f"the following arguments are required: {', '.join(['OLD', 'NEW'][len(files) :])}")
    if len(files) == 3:
        return Documents(files[0], files[1], arguments.governance), files[2]
    project = project_documents(arguments, arguments.governance)
    return Documents(project.schema, files[0], project.governance), files[1]


def run(arguments: argparse.Namespace) -> int:
    old_documents, new_path = _documents(arguments)
    if solver_missing("diff"):
        return _status.UNUSABLE
    schema, governance = old_documents.schema, old_documents.governance
    try:
        # Both held at once: their documents share one allowance.
        allowance = Allowance(arguments.limits, "the documents of both policies")
        old = load_policy(schema, old_documents.policy, governance, allowance)
        new = load_policy(schema, new_path, governance, allowance)
    except Reported as error:
        print_findings(error.findings, arguments.format)
        return _status.UNUSABLE
    with progress_on_stderr("diff", "groups of inputs") as progress, cancelled_on_signal() as running:
        budget = api.Budget(arguments.timeout, progress, running)
        result = api.diff_within(old.rules, old, new.rules, new, arguments.moves, budget)
    status, text = diff_report(result.changes, arguments.json, result.undecided)
    sys.stdout.write(text)
    return status


# What `tamsel --help` and `tamsel diff --help` say of the command.
HELP = "tell which inputs change their effect when OLD is replaced by NEW"
DESCRIPTION = (
    "Lists, for each action type under which either policy files rules and for "
    "every other input, each pair of deciding rules (old, new; the default when none) whose "
    "effects differ for some input, with such an input, evaluated with both policies. "
    + statuses(
        "when no input changes its effect",
        "otherwise",
        "when a document does not build",
        "when some group is left undecided within --timeout",
    )
    + " Without SCHEMA, the project file's schema and governance. Needs z3 (tamsel[analysis])."
)
