"""The `tamsel` command line: the top parser, each command's under it, and the statuses table."""

from __future__ import annotations

import argparse
import textwrap
from typing import Any, Dict, Tuple

import tamsel
from tamsel_tools.base.status import epilog
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import add_reading
from tamsel_tools.cli.commands import check, diff, evaluate, explain, lint, lsp, replay, suggest, test

# In the order that `tamsel --help` lists them.
_COMMANDS = (check.add, evaluate.add, explain.add, test.add, suggest.add, lint.add, diff.add, replay.add, lsp.add)
_DESCRIPTION = (
    "Check tamsel policy documents, try inputs against them, run decision tests, find the rules "
    "that never decide and what an edit changes. Inside a project (a pyproject.toml with "
    "[tool.tamsel], or a tamsel.toml, here or in a folder above) the documents and suites need "
    "not be named."
)


class _Parser(argparse.ArgumentParser):
    """Usage and errors name what the user typed: made safe to print, line by line."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            message = "\n".join(printable(line) for line in message.split("\n"))
        super()._print_message(message, file)


def parsers() -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    """The top parser and each command's parser by its name."""
    top = _Parser(
        prog="tamsel",
        description=textwrap.fill(_DESCRIPTION, 80),
        epilog=epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"tamsel {tamsel.PyTamsel.compiler_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    added = [add(commands) for add in _COMMANDS]
    for parser in added:
        add_reading(parser)
    return top, {parser.prog.split()[-1]: parser for parser in added}
