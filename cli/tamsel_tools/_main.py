"""The `tamsel` command: argument parsing and the three subcommands."""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import IO, Any, Callable, Dict, List, Optional

import tamsel

from tamsel_tools import _evaluate, _suites
from tamsel_tools._annotations import FORMATS
from tamsel_tools._documents import DocumentsRejected, DocumentsUnreadable, build, load_engine, read_documents
from tamsel_tools._skipped import skipped_key_warnings, skipped_keys
from tamsel_tools._text import printable


class _Parser(argparse.ArgumentParser):
    """Usage and errors name what the user typed: made safe to print, line by line."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            message = "\n".join(printable(line) for line in message.split("\n"))
        super()._print_message(message, file)


def _findings_stream(arguments: argparse.Namespace) -> IO[str]:
    """Annotations go to standard output, where the CI runner reads workflow commands."""
    return sys.stdout if arguments.format == "github" else sys.stderr


def _check(arguments: argparse.Namespace) -> int:
    try:
        documents = read_documents(arguments.schema, arguments.policy, arguments.governance)
        engine = build(documents)
    except DocumentsUnreadable as error:
        print(error.finding.render(arguments.format), file=_findings_stream(arguments))
        return 2
    except DocumentsRejected as error:
        print(error.finding.render(arguments.format), file=_findings_stream(arguments))
        return 1
    skipped = skipped_keys(documents.schema, documents.policy, documents.governance) or []
    paths = {"schema": arguments.schema, "policy": arguments.policy, "governance": arguments.governance}
    for warning in skipped_key_warnings(skipped, paths):
        print(warning.render(arguments.format), file=_findings_stream(arguments))
    print(engine.policy_hash())
    return 0


def _eval(arguments: argparse.Namespace) -> int:
    if len(arguments.files) < 2:
        missing = ["SCHEMA", "POLICY"][len(arguments.files) :]
        arguments.parser.error(f"the following arguments are required: {', '.join(missing)}")
    schema, policy, *inputs = arguments.files
    try:
        engine = load_engine(schema, policy, arguments.governance)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        print(error, file=sys.stderr)
        return 2
    return _evaluate.run(engine, inputs)


def _test(arguments: argparse.Namespace) -> int:
    return _suites.run(arguments.suites, arguments.junit, arguments.format)


def _format_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--format",
        choices=FORMATS,
        default="text",
        help="text: FILE:LINE:COLUMN: MESSAGE lines (the default); github: GitHub Actions "
        "annotations on standard output",
    )


def _parser() -> tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    top = _Parser(
        prog="tamsel",
        description="Check tamsel policy documents, try inputs against them, run decision tests.",
    )
    top.add_argument(
        "--version", action="version", version=f"tamsel {tamsel.PyTamsel.compiler_version()}"
    )
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    check = commands.add_parser(
        "check",
        help="build the engine from the documents and print the policy hash",
        description="Builds the engine and prints the policy hash (status 0). On a faulty "
        "document prints FILE:LINE:COLUMN: MESSAGE (status 1); a file that cannot be read "
        "gives status 2.",
    )
    check.add_argument("schema", metavar="SCHEMA")
    check.add_argument("policy", metavar="POLICY")
    check.add_argument("governance", metavar="GOVERNANCE", nargs="?")
    _format_option(check)
    check.set_defaults(run=_check)

    evaluate = commands.add_parser(
        "eval",
        help="print the decision for each JSON input",
        description="Prints one JSON decision for each input: each INPUT a JSON file, or JSON "
        "lines on standard input (also when INPUT is -). A bad input prints its error with its "
        "place and makes the status 1, after all inputs; documents that do not build give 2.",
    )
    # One list for SCHEMA, POLICY and the inputs: argparse misreports an
    # optional list after required positionals as required when it parses
    # options between them.
    evaluate.usage = "%(prog)s [-h] [--governance GOVERNANCE] SCHEMA POLICY [INPUT ...]"
    evaluate.add_argument("--governance", "-g", metavar="GOVERNANCE")
    evaluate.add_argument("files", metavar="SCHEMA POLICY [INPUT", nargs="*", help=argparse.SUPPRESS)
    evaluate.set_defaults(run=_eval, parser=evaluate)

    test = commands.add_parser(
        "test",
        help="run decision test suites",
        description="Runs decision test suites (JSON, or YAML with PyYAML installed); a directory "
        f"stands for the suites below it ({', '.join('*' + e for e in _suites.SUITE_ENDINGS)}). "
        "Status 0 when every case passes, 1 when any fails, 2 when a suite cannot be loaded.",
    )
    test.add_argument("suites", metavar="SUITE", nargs="+")
    test.add_argument("--junit", metavar="FILE", help="also write a JUnit XML report to FILE")
    _format_option(test)
    test.set_defaults(run=_test)

    return top, {"check": check, "eval": evaluate, "test": test}


def main(argv: Optional[List[str]] = None) -> int:
    """Runs one command; the result is the process's exit status."""
    arguments = sys.argv[1:] if argv is None else argv
    for stream in (sys.stdout, sys.stderr):
        # Names from documents may hold any character; a report must not fail on one.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    top, commands = _parser()
    # Each command parses its own arguments, so options may stand between the
    # positional ones (eval's --governance after its inputs).
    if arguments and arguments[0] in commands:
        namespace = commands[arguments[0]].parse_intermixed_args(arguments[1:])
    else:
        namespace = top.parse_args(arguments)
    run: Callable[[argparse.Namespace], int] = namespace.run
    try:
        status = run(namespace)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return status
