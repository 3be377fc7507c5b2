"""What the commands share on their command lines: the documents (given, or the project's),
the output format, a percentage."""

from __future__ import annotations

import argparse
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

from tamsel_tools.base import status
from tamsel_tools.base.findings import FORMATS, Diagnostic
from tamsel_tools.io.project import Project, ProjectError, find_project, shown
from tamsel_tools.io.reading import DEFAULT_MAX_BYTES, Limits, parse_size, size_text
from tamsel_tools.model.policy import DEFAULT_TIMEOUT

NO_PROJECT = (
    "or a project file that names them: [tool.tamsel] in pyproject.toml, or tamsel.toml, in this folder or one "
    "above it within the repository, or --project FILE"
)


@dataclass(frozen=True)
class Documents:
    """The paths of the documents a command builds, as they are shown in its findings."""

    schema: str
    policy: str
    governance: Optional[str]

    @property
    def paths(self) -> Dict[str, Optional[str]]:
        """Each document's path by the name the engine gives it."""
        return {"schema": self.schema, "policy": self.policy, "governance": self.governance}


def statuses(good: str, negative: str, unusable: str, undecided: str) -> str:
    """What each status of the table means for a command, as its description says it."""
    return (
        f"Status {status.GOOD} {good}, {status.NEGATIVE} {negative}, {status.UNUSABLE} {unusable}, "
        f"{status.UNDECIDED} {undecided}."
    )


def add_command(
    commands: Any, name: str, run: Callable[[argparse.Namespace], int], help: str, description: str
) -> argparse.ArgumentParser:
    """The command's parser under the top one; the parsed arguments name `run` and the parser."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=help, description=description)
    parser.set_defaults(run=run, parser=parser)
    return parser


def project_finding(error: ProjectError) -> Diagnostic:
    return Diagnostic("error", shown(error.path), error.line, error.column, error.message, code="project_file")


def limits(arguments: argparse.Namespace) -> Limits:
    """How much the command reads, and from where, as its options say."""
    return Limits(
        arguments.max_bytes, arguments.allow_outside_paths, arguments.project, arguments.allow_invisible_breaks
    )


def project(arguments: argparse.Namespace, missing: str) -> Project:
    """The project of the working folder, or a usage error that names what is missing."""
    found = find_project(Path.cwd(), arguments.limits)
    if found is None:
        parser: argparse.ArgumentParser = arguments.parser
        parser.error(f"the following arguments are required: {missing} ({NO_PROJECT})")
    return found


def suites(arguments: argparse.Namespace) -> List[str]:
    """The suites given on the command line, or the project's."""
    if arguments.suites:
        return list(arguments.suites)
    listed = project(arguments, "SUITE").suites
    if not listed:
        arguments.parser.error("the project file lists no suites: give SUITE, or list them under 'suites'")
    return [shown(path) for path in listed]


def project_documents(arguments: argparse.Namespace, governance: Optional[str]) -> Documents:
    """The project's documents; a governance document given on the command line wins."""
    found = project(arguments, "SCHEMA, POLICY")
    if governance is None and found.governance is not None:
        governance = shown(found.governance)
    return Documents(shown(found.schema), shown(found.policy), governance)


def documents(arguments: argparse.Namespace) -> Documents:
    """SCHEMA POLICY [GOVERNANCE] as given, or the project's when none is given."""
    if arguments.schema is None:
        return project_documents(arguments, arguments.governance)
    if arguments.policy is None:
        arguments.parser.error("the following arguments are required: POLICY")
    return Documents(arguments.schema, arguments.policy, arguments.governance)


def add_documents(parser: argparse.ArgumentParser) -> None:
    """Optional SCHEMA POLICY [GOVERNANCE] positionals: without them, the project's."""
    parser.add_argument("schema", metavar="SCHEMA", nargs="?")
    parser.add_argument("policy", metavar="POLICY", nargs="?")
    parser.add_argument("governance", metavar="GOVERNANCE", nargs="?")


def add_format(command: argparse.ArgumentParser, choices: Sequence[str] = FORMATS, of: str = "") -> None:
    """--format, for the findings of the command (or, as `of` says, of some of them)."""
    json = '; json: {"diagnostics": [...]} on standard output' if "json" in choices else ""
    command.add_argument(
        "--format",
        choices=choices,
        default="text",
        help=f"{of}text: FILE:LINE:COLUMN: MESSAGE lines (the default); github: GitHub Actions "
        f"annotations on standard output{json}",
    )


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


_MAX_BYTES_HELP = (
    f"the largest suite, input file or line of standard input read, in bytes or with KiB, MiB or GiB (default "
    f"{size_text(DEFAULT_MAX_BYTES)}); a policy's documents together have a quarter of it, and every text one "
    "value for each 64 bytes of it"
)


def add_reading(parser: argparse.ArgumentParser) -> None:
    """How much a command reads, and from where: the same options for every command."""
    parser.add_argument("--max-bytes", metavar="SIZE", type=_size, default=DEFAULT_MAX_BYTES, help=_MAX_BYTES_HELP)
    parser.add_argument(
        "--project",
        metavar="FILE",
        help="the project file to use (a pyproject.toml with [tool.tamsel], or a tamsel.toml), trusted as "
        "named, instead of the one found from the working folder up to the repository's root "
        "(also TAMSEL_PROJECT)",
    )
    parser.add_argument(
        "--allow-invisible-breaks",
        action="store_true",
        help="accept in documents the line breaks that only the YAML reader sees (U+0085, U+2028, "
        "U+2029 outside quoted texts) and bidirectional controls",
    )
    parser.add_argument(
        "--allow-outside-paths",
        action="store_true",
        help="let suites and the project file name documents outside their folder",
    )


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not seconds > 0 or math.isinf(seconds):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


_TIMEOUT_HELP = (
    f"the solver's time for the whole command (default {DEFAULT_TIMEOUT:g}); what it leaves undecided is named, "
    f"claimed nowhere, and makes the status {status.UNDECIDED}"
)


def add_timeout(command: argparse.ArgumentParser) -> None:
    command.add_argument("--timeout", metavar="SECONDS", type=_seconds, default=DEFAULT_TIMEOUT, help=_TIMEOUT_HELP)


def percentage(text: str) -> float:
    try:
        percent = float(text)
    except ValueError:
        percent = math.nan
    if not 0 <= percent <= 100:
        raise argparse.ArgumentTypeError(f"expected a percentage from 0 to 100, got {text!r}")
    return percent
