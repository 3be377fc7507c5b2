"""The `tamsel` command line: the top parser, each command's under it, and the statuses table."""

from __future__ import annotations

import argparse
import importlib
import textwrap
from typing import Any, Dict, Optional, Tuple

import tamsel
from tamsel_tools.base.status import epilog
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import add_reading

# Each command's name and the module under `commands` that adds it, in the order that
# `tamsel --help` lists them. A module is imported only when its command is wanted, so a
# command starts without loading what the others need (the solver, the replay).
COMMANDS = (
    ("check", "check"),
    ("eval", "evaluate"),
    ("explain", "explain"),
    ("test", "test"),
    ("suggest", "suggest"),
    ("lint", "lint"),
    ("diff", "diff"),
    ("replay", "replay"),
    ("lsp", "lsp"),
)
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


def parsers(only: Optional[str] = None) -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    """The top parser and each command's parser by its name (only the command `only`'s when
    it is given)."""
    top = _Parser(
        prog="tamsel",
        description=textwrap.fill(_DESCRIPTION, 80),
        epilog=epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"tamsel {tamsel.PyTamsel.compiler_version()}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    added = [
        importlib.import_module(f"tamsel_tools.cli.commands.{module}").add(commands)
        for name, module in COMMANDS
        if only is None or name == only
    ]
    for parser in added:
        add_reading(parser)
    return top, {parser.prog.split()[-1]: parser for parser in added}
