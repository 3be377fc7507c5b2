"""The `tamsel` command: one command run, every way it can end turned into an exit status."""

from __future__ import annotations

import argparse
import io
import sys
from typing import Callable, List, Optional

from tamsel_tools.base import status
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import limits, project_finding
from tamsel_tools.cli.parser import COMMANDS, parsers
from tamsel_tools.cli.streams import run_guarded
from tamsel_tools.io.project import ProjectError
from tamsel_tools.model.policy import InternalError
from tamsel_tools.render.output import print_findings


def _parse(arguments: List[str]) -> argparse.Namespace:
    named = arguments[0] if arguments and arguments[0] in dict(COMMANDS) else None
    top, commands = parsers(only=named)
    # Each command parses its own arguments, so options may stand between the
    # positional ones (eval's --governance after its inputs).
    if arguments and arguments[0] in commands:
        command, rest = commands[arguments[0]], arguments[1:]
        # After "--" every argument is a name, even one that starts with a dash; intermixed
        # parsing does not keep to that, and options then stand before it anyway.
        return command.parse_args(rest) if "--" in rest else command.parse_intermixed_args(rest)
    return top.parse_args(arguments)


def _run(arguments: List[str]) -> int:
    for stream in (sys.stdout, sys.stderr):
        # Names from documents may hold any character; a report must not fail on one.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    try:
        namespace = _parse(arguments)
    except SystemExit as exit:  # usage, --help, --version
        return exit.code if isinstance(exit.code, int) else status.UNUSABLE
    namespace.limits = limits(namespace)
    run: Callable[[argparse.Namespace], int] = namespace.run
    try:
        return run(namespace)
    except SystemExit as exit:  # a usage error found by the command (no documents, no project)
        return exit.code if isinstance(exit.code, int) else status.UNUSABLE
    except ProjectError as error:
        print_findings([project_finding(error)], getattr(namespace, "format", "text"))
        return status.UNUSABLE
    except InternalError as error:
        print(f"tamsel: internal error, please report it: {printable(str(error))}", file=sys.stderr)
        return status.INTERNAL


def main(argv: Optional[List[str]] = None) -> int:
    """Runs one command; the result is the process's exit status: the command's own, or what
    ended it (an output stream that failed, Ctrl-C, SIGTERM)."""
    arguments = sys.argv[1:] if argv is None else argv
    return run_guarded(lambda: _run(arguments))
