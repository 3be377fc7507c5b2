"""What `eval` and `explain` share: their command line, SCHEMA POLICY [INPUT ...], the policy
built from it, and the inputs read as JSON files or as JSON lines, each answered in turn."""

from __future__ import annotations

import argparse
import errno
import os
import sys
from typing import Any, Callable, Iterator, List, Optional, Tuple, Union

from tamsel_tools.base import status as _status
from tamsel_tools.base.echo import bounded
from tamsel_tools.base.findings import CHECK_FORMATS, Diagnostic, Reported
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import Documents, add_command, add_format, project_documents
from tamsel_tools.diagnostics.documents import Allowance, load_policy
from tamsel_tools.io.files import Unreadable, read_input
from tamsel_tools.io.reading import Limits, LineTooLong, lines, too_wide
from tamsel_tools.model.inputs import BadInput, parse_json
from tamsel_tools.model.policy import Policy
from tamsel_tools.render.output import print_findings

STDIN = "-"


def add_inputs_parser(
    commands: Any, name: str, run: Callable[[argparse.Namespace], int], help: str, description: str
) -> argparse.ArgumentParser:
    parser = add_command(commands, name, run, help, description)
    # One list for SCHEMA, POLICY and the inputs: argparse misreports an
    # optional list after required positionals as required when it parses
    # options between them.
    parser.usage = "%(prog)s [-h] [--governance GOVERNANCE] [--format FORMAT] SCHEMA POLICY [INPUT ...]"
    parser.add_argument("--governance", "-g", metavar="GOVERNANCE")
    add_format(parser, CHECK_FORMATS, "documents that do not build: ")
    parser.add_argument("files", metavar="SCHEMA POLICY [INPUT", nargs="*", help=argparse.SUPPRESS)
    return parser


def _documents(arguments: argparse.Namespace) -> Tuple[Documents, List[str]]:
    """The documents and the inputs. Without any file, the project's documents and the inputs
    on standard input: a file list cannot tell an input from a document."""
    if not arguments.files:
        return project_documents(arguments, arguments.governance), []
    if len(arguments.files) < 2:
        arguments.parser.error("the following arguments are required: POLICY")
    schema, policy, *inputs = arguments.files
    return Documents(schema, policy, arguments.governance), inputs


def with_inputs(arguments: argparse.Namespace) -> Optional[Tuple[str, Policy, List[str]]]:
    """The policy path, the policy and the inputs; None, once said why, when the documents
    do not build."""
    given, inputs = _documents(arguments)
    try:
        policy = load_policy(given.schema, given.policy, given.governance, Allowance(arguments.limits))
    except Reported as error:
        print_findings(error.findings, arguments.format)
        return None
    return given.policy, policy, inputs


# One input: where it came from (a file, or a line of standard input) and its
# JSON text, or the line that reports why it could not be read.
_Source = Tuple[str, Optional[int], Union[str, Exception]]


def _sources(inputs: List[str], limits: Limits) -> Iterator[_Source]:
    for name in inputs or [STDIN]:
        if name != STDIN:
            try:
                yield name, None, read_input(name, limits)
            except Reported as error:
                yield name, None, error
            continue
        yield from _stdin(limits.max_bytes)


def _stdin(limit: int) -> Iterator[_Source]:
    number = 0
    try:
        if sys.stdin is None:  # closed when the command started
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        for number, raw in enumerate(lines(sys.stdin.buffer, limit), start=1):
            yield from _stdin_line(number, raw, limit)
    except LineTooLong as error:
        yield "<stdin>", number + 1, error
    except OSError as error:
        message = f"cannot read: {error.strerror or error}"
        yield "<stdin>", None, Unreadable(Diagnostic("error", "<stdin>", None, None, message, code="unreadable"))


def _stdin_line(number: int, raw: bytes, limit: int) -> Iterator[_Source]:
    wide = too_wide(raw, limit)
    if wide is not None:
        yield "<stdin>", number, BadInput(wide)
        return
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError:
        yield "<stdin>", number, BadInput("invalid UTF-8")
        return
    line = line.rstrip("\r\n")
    if line.strip():  # blank lines carry no input
        yield "<stdin>", number, line


def _report(name: str, line: Optional[int], error: BadInput) -> str:
    """NAME[:LINE[:COLUMN]]: MESSAGE, the line counted in the file or in standard input."""
    where = name
    if line is not None:
        where += f":{line}"
    elif error.line is not None:
        where += f":{error.line}"
    if error.column is not None:
        where += f":{error.column}"
    message = error.message if error.detail is None else f"{error.message}; {error.detail}"
    return f"{printable(where)}: {printable(bounded(message))}"


def run_inputs(inputs: List[str], answer: Callable[[str, Any], str], limits: Limits) -> int:
    """Prints the answer to each good input (given where it came from, NAME or <stdin>:LINE,
    and its value) on stdout, one error line a bad one on stderr;
    answer raises BadInput for an input that it refuses.

    Every input is tried; the status is 1 when any of them was bad, 2 when a file could not be
    read at all (or standard input had a line past the cap, after which it is not read).
    """
    status = _status.GOOD
    for name, line, item in _sources(inputs, limits):
        bad = _status.NEGATIVE
        try:
            if isinstance(item, Exception):
                raise item
            where = name if line is None else f"{name}:{line}"
            print(answer(where, parse_json(item, limits)))
            continue
        except Reported as error:
            report = str(error)  # already located in the file
            bad = _status.UNUSABLE if isinstance(error, Unreadable) else bad
        except BadInput as error:
            report = _report(name, line, error)
        except LineTooLong as error:
            # What follows the line is not read: the command could not do its job.
            print(f"<stdin>:{line}: {error}", file=sys.stderr)
            return _status.UNUSABLE
        status = max(status, bad)
        print(report, file=sys.stderr)
    return status
