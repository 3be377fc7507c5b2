"""What `eval` and `explain` share: their command line, SCHEMA POLICY [INPUT ...], and the
policy built from it."""

from __future__ import annotations

import argparse
import sys
from typing import Any, Callable, List, Optional, Tuple

from tamsel_tools.base.findings import Reported
from tamsel_tools.cli.arguments import Documents, project_documents
from tamsel_tools.diagnostics.documents import load_policy
from tamsel_tools.model.policy import Policy
from tamsel_tools.render.output import print_findings


def add_inputs_parser(
    commands: Any, name: str, run: Callable[[argparse.Namespace], int], **texts: str
) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(name, **texts)
    # One list for SCHEMA, POLICY and the inputs: argparse misreports an
    # optional list after required positionals as required when it parses
    # options between them.
    parser.usage = "%(prog)s [-h] [--governance GOVERNANCE] SCHEMA POLICY [INPUT ...]"
    parser.add_argument("--governance", "-g", metavar="GOVERNANCE")
    parser.add_argument("files", metavar="SCHEMA POLICY [INPUT", nargs="*", help=argparse.SUPPRESS)
    parser.set_defaults(run=run, parser=parser)
    return parser


def _documents(arguments: argparse.Namespace) -> Tuple[Documents, List[str]]:
    """The documents and the inputs. Without any file, the project's documents and the inputs
    on standard input: a file list cannot tell an input from a document."""
    if not arguments.files:
        return project_documents(arguments.parser, arguments.governance), []
    if len(arguments.files) < 2:
        arguments.parser.error("the following arguments are required: POLICY")
    schema, policy, *inputs = arguments.files
    return Documents(schema, policy, arguments.governance), inputs


def with_inputs(arguments: argparse.Namespace) -> Optional[Tuple[str, Policy, List[str]]]:
    """The policy path, the policy and the inputs; None, once said why, when the documents
    do not build."""
    given, inputs = _documents(arguments)
    try:
        policy = load_policy(given.schema, given.policy, given.governance)
    except Reported as error:
        print_findings(error.findings, "text", sys.stderr)
        return None
    return given.policy, policy, inputs
