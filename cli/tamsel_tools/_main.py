"""The `tamsel` command: argument parsing and the subcommands check, eval, explain, test, lint and diff."""

from __future__ import annotations

import argparse
import io
import math
import os
import sys
from typing import IO, Any, Callable, Dict, List, Optional

import tamsel

from tamsel_tools import _analysis, _evaluate, _explaining, _suites
from tamsel_tools._analysis_report import diff_report, lint_report
from tamsel_tools._annotations import FORMATS
from tamsel_tools._documents import DocumentsRejected, DocumentsUnreadable, load_policy
from tamsel_tools._policy import InternalError, Policy
from tamsel_tools._skipped import policy_skipped_keys, skipped_key_warnings
from tamsel_tools._suite_properties import PropertyOptions
from tamsel_tools._text import printable as one_line


class _Parser(argparse.ArgumentParser):
    """Usage and errors name what the user typed: made safe to print, line by line."""

    def _print_message(self, message: str, file: Any = None) -> None:
        if message:
            message = "\n".join(one_line(line) for line in message.split("\n"))
        super()._print_message(message, file)


def _findings_stream(arguments: argparse.Namespace) -> IO[str]:
    """Annotations go to standard output, where the CI runner reads workflow commands."""
    return sys.stdout if arguments.format == "github" else sys.stderr


def _check(arguments: argparse.Namespace) -> int:
    try:
        policy = load_policy(arguments.schema, arguments.policy, arguments.governance)
    except DocumentsUnreadable as error:
        print(error.finding.render(arguments.format), file=_findings_stream(arguments))
        return 2
    except DocumentsRejected as error:
        print(error.finding.render(arguments.format), file=_findings_stream(arguments))
        return 1
    paths = {"schema": arguments.schema, "policy": arguments.policy, "governance": arguments.governance}
    for warning in skipped_key_warnings(policy_skipped_keys(policy), paths):
        print(warning.render(arguments.format), file=_findings_stream(arguments))
    if arguments.canonical:
        # The exact bytes that the hash digests, then a line feed; never re-encoded by the locale.
        sys.stdout.flush()
        sys.stdout.buffer.write(policy.canonical_text.encode("utf-8") + b"\n")
    else:
        print(policy.policy_hash())
    return 0


def _with_inputs(arguments: argparse.Namespace) -> Optional[tuple[str, Policy, list[str]]]:
    """The policy path, the policy and the inputs of eval and explain; None, once said why,
    when the documents do not build."""
    if len(arguments.files) < 2:
        missing = ["SCHEMA", "POLICY"][len(arguments.files) :]
        arguments.parser.error(f"the following arguments are required: {', '.join(missing)}")
    schema, policy_path, *inputs = arguments.files
    try:
        policy = load_policy(schema, policy_path, arguments.governance)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        print(error, file=sys.stderr)
        return None
    return policy_path, policy, inputs


def _eval(arguments: argparse.Namespace) -> int:
    loaded = _with_inputs(arguments)
    if loaded is None:
        return 2
    _, policy, inputs = loaded
    return _evaluate.run_eval(policy, inputs)


def _explain(arguments: argparse.Namespace) -> int:
    loaded = _with_inputs(arguments)
    if loaded is None:
        return 2
    policy_path, policy, inputs = loaded
    return _explaining.run_explain(policy, policy_path, inputs, arguments.json)


def _solver_missing(command: str) -> bool:
    if _analysis.solver_available():
        return False
    print(f"tamsel {command}: {_analysis.INSTALL_HINT}", file=sys.stderr)
    return True


def _lint(arguments: argparse.Namespace) -> int:
    if _solver_missing("lint"):
        return 2
    stream = _findings_stream(arguments)
    try:
        policy = load_policy(arguments.schema, arguments.policy, arguments.governance)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        print(error.finding.render(arguments.format), file=stream)
        return 2
    paths = {"schema": arguments.schema, "policy": arguments.policy, "governance": arguments.governance}
    # JSON on standard output holds the rules' findings alone; these stay beside it.
    for warning in skipped_key_warnings(policy_skipped_keys(policy), paths):
        print(warning.render(arguments.format), file=sys.stderr if arguments.json else stream)
    with _analysis.progress_on_stderr("lint") as progress:
        reach = _analysis.lint_within(policy.rules, policy, _analysis.Budget(arguments.timeout, progress))
    status, text = lint_report(
        arguments.policy, reach.findings, policy.rules, arguments.json, arguments.format, reach.undecided
    )
    sys.stdout.write(text)
    return status


def _diff(arguments: argparse.Namespace) -> int:
    if _solver_missing("diff"):
        return 2
    try:
        old = load_policy(arguments.schema, arguments.old, arguments.governance)
        new = load_policy(arguments.schema, arguments.new, arguments.governance)
    except (DocumentsUnreadable, DocumentsRejected) as error:
        print(error, file=sys.stderr)
        return 2
    with _analysis.progress_on_stderr("diff", "groups of inputs") as progress:
        budget = _analysis.Budget(arguments.timeout, progress)
        result = _analysis.diff_within(old.rules, old, new.rules, new, arguments.moves, budget)
    status, text = diff_report(result.changes, arguments.json, result.undecided)
    sys.stdout.write(text)
    return status


def _test(arguments: argparse.Namespace) -> int:
    options = _suites.CoverageOptions(arguments.coverage, arguments.coverage_json, arguments.fail_under)
    selected = PropertyOptions(not arguments.properties_only, not arguments.no_properties, arguments.timeout)
    return _suites.run(arguments.suites, arguments.junit, options, arguments.format, selected)


def _format_option(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--format",
        choices=FORMATS,
        default="text",
        help="text: FILE:LINE:COLUMN: MESSAGE lines (the default); github: GitHub Actions "
        "annotations on standard output",
    )


def _percent(text: str) -> float:
    try:
        percent = float(text)
    except ValueError:
        percent = math.nan
    if not 0 <= percent <= 100:
        raise argparse.ArgumentTypeError(f"expected a percentage from 0 to 100, got {text!r}")
    return percent


def _inputs_parser(
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


def _parser() -> tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    top = _Parser(
        prog="tamsel",
        description="Check tamsel policy documents, try inputs against them, run decision tests, "
        "find the rules that never decide and what an edit changes.",
    )
    top.add_argument(
        "--version", action="version", version=f"tamsel {tamsel.PyTamsel.compiler_version()}"
    )
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    check = commands.add_parser(
        "check",
        help="build the engine from the documents and print the policy hash",
        description="Builds the engine and prints the policy hash, or with --canonical the "
        "canonical text that the hash digests (status 0). On a faulty "
        "document prints FILE:LINE:COLUMN: MESSAGE (status 1); a file that cannot be read "
        "gives status 2.",
    )
    check.add_argument("schema", metavar="SCHEMA")
    check.add_argument("policy", metavar="POLICY")
    check.add_argument("governance", metavar="GOVERNANCE", nargs="?")
    check.add_argument(
        "--canonical", action="store_true", help="print the canonical text that the hash digests instead"
    )
    _format_option(check)
    check.set_defaults(run=_check)

    evaluate = _inputs_parser(
        commands,
        "eval",
        _eval,
        help="print the decision for each JSON input",
        description="Prints one JSON decision for each input: each INPUT a JSON file, or JSON "
        "lines on standard input (also when INPUT is -). A bad input prints its error with its "
        "place and makes the status 1, after all inputs; documents that do not build give 2.",
    )

    explain = _inputs_parser(
        commands,
        "explain",
        _explain,
        help="show how the decision for each JSON input was reached",
        description="Reads inputs as eval does and shows, for each, the rule lists run, every rule "
        "visited with its place, every comparison made with its values and result, and the "
        "decision. Statuses as for eval.",
    )
    explain.usage = "%(prog)s [-h] [--governance GOVERNANCE] [--json] SCHEMA POLICY [INPUT ...]"
    explain.add_argument("--json", action="store_true", help="one JSON object an input, one a line")

    test = commands.add_parser(
        "test",
        help="run decision test suites",
        description="Runs decision test suites (JSON, or YAML with PyYAML installed); a directory "
        f"stands for the suites below it ({', '.join('*' + e for e in _suites.SUITE_ENDINGS)}). "
        "A suite's properties are proven for every input or refuted with one (they need z3, "
        "tamsel[analysis]). Status 0 when every case and property passes, 1 when any fails (or "
        "coverage is below --fail-under), 2 when a suite cannot be loaded or a report cannot be "
        "written, 3 when a property is left undecided within the solver's budget.",
    )
    test.add_argument("suites", metavar="SUITE", nargs="+")
    test.add_argument("--junit", metavar="FILE", help="also write a JUnit XML report to FILE")
    test.add_argument(
        "--coverage",
        action="store_true",
        help="after the results, print each policy's rule and comparison coverage and its gaps",
    )
    test.add_argument("--coverage-json", metavar="FILE", help="write the coverage counts to FILE as JSON")
    test.add_argument(
        "--fail-under",
        metavar="PERCENT",
        type=_percent,
        help="status 1 when a policy's rule or comparison coverage is below PERCENT",
    )
    which = test.add_mutually_exclusive_group()
    which.add_argument("--properties-only", action="store_true", help="run the suites' properties, not their cases")
    which.add_argument("--no-properties", action="store_true", help="run the suites' cases, not their properties")
    _analysis.timeout_option(test)
    _format_option(test)
    test.set_defaults(run=_test)

    lint = commands.add_parser(
        "lint",
        help="report the rules that no input can make decide",
        description="Reports every rule that can never decide, one a line as FILE:LINE:COLUMN: "
        "warning: ..., with its kind: actor_scoped, unsatisfiable (no input makes its condition "
        "true) or shadowed (earlier rules, named, decide every input that it matches). Every "
        "other rule was made to decide by an input checked with the engine. Status 0 without "
        "findings, 1 with, 2 when the documents do not build. Needs z3 (tamsel[analysis]).",
    )
    lint.add_argument("schema", metavar="SCHEMA")
    lint.add_argument("policy", metavar="POLICY")
    lint.add_argument("governance", metavar="GOVERNANCE", nargs="?")
    lint.add_argument("--json", action="store_true", help='print {"findings": [...]} instead')
    _analysis.timeout_option(lint)
    _format_option(lint)
    lint.set_defaults(run=_lint)

    diff = commands.add_parser(
        "diff",
        help="tell which inputs change their effect when OLD is replaced by NEW",
        description="Lists, for each action type under which either policy files rules and for "
        "every other input, each pair of deciding rules (old, new; the default when none) whose "
        "effects differ for some input, with such an input, evaluated with both policies. "
        "Status 0 when no input changes its effect, 1 otherwise, 2 when a document does not "
        "build. Needs z3 (tamsel[analysis]).",
    )
    diff.add_argument("schema", metavar="SCHEMA")
    diff.add_argument("old", metavar="OLD")
    diff.add_argument("new", metavar="NEW")
    diff.add_argument("--governance", "-g", metavar="GOVERNANCE", help="the governance document of both")
    diff.add_argument("--json", action="store_true", help='print {"changes": [...]} instead')
    diff.add_argument(
        "--moves",
        action="store_true",
        help='also list the pairs whose effect stays but whose deciding rule (by id) changes, marked '
        '"[same effect]" ("same_effect": true in JSON)',
    )
    _analysis.timeout_option(diff)
    diff.set_defaults(run=_diff)

    return top, {"check": check, "eval": evaluate, "explain": explain, "test": test, "lint": lint, "diff": diff}


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
    except InternalError as error:
        print(f"tamsel: internal error, please report it: {one_line(str(error))}", file=sys.stderr)
        return 70  # EX_SOFTWARE
    return status
