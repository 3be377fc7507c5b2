"""Where the commands print their findings, and the warnings that every command that builds
documents prints the same way."""

from __future__ import annotations

import sys
from typing import IO, Iterable, Mapping, Optional

from tamsel_tools._annotations import Finding, Format
from tamsel_tools._policy import Policy
from tamsel_tools._skipped import policy_skipped_keys, skipped_key_warnings


def findings_stream(format: Format) -> IO[str]:
    """Annotations go to standard output, where the CI runner reads workflow commands; findings
    in text to standard error, beside what the command answers."""
    return sys.stdout if format == "github" else sys.stderr


def print_findings(findings: Iterable[Finding], format: Format, stream: Optional[IO[str]] = None) -> None:
    for each in findings:
        print(each.render(format), file=stream or findings_stream(format))


def warn_skipped_keys(
    policy: Policy, paths: Mapping[str, Optional[str]], format: Format, stream: Optional[IO[str]] = None
) -> None:
    """A warning for each key that the readers skipped in the documents, at its place."""
    print_findings(skipped_key_warnings(policy_skipped_keys(policy), paths), format, stream)
