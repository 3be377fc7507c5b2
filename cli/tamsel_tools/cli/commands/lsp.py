"""`tamsel lsp`: the language server for editors, on standard input and output."""

from __future__ import annotations

import argparse
from typing import Any

from tamsel_tools.base import status
from tamsel_tools.cli.arguments import add_command


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "lsp", run, HELP, DESCRIPTION)
    return parser


def run(arguments: argparse.Namespace) -> int:
    from tamsel_tools.lsp import run as serve

    return serve(arguments.limits)


# What `tamsel --help` and `tamsel lsp --help` say of the command.
HELP = "run the language server for editors, on standard input and output"
DESCRIPTION = (
    "A Language Server Protocol server over standard input and output: diagnostics, "
    "completion, hover, definitions and document symbols for the policy, schema and governance "
    "documents, paired by the project file, a suite or their folder. Runs until the editor "
    f"ends it (status {status.GOOD}); without pygls and PyYAML, status {status.UNUSABLE}. "
    "Needs tamsel[lsp], which also brings z3 for lint's findings."
)
