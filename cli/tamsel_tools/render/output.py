"""Where the commands print their findings, and the warnings that every command that builds
documents prints the same way."""

from __future__ import annotations

import sys
from typing import IO, Any, Dict, Iterable, Mapping, Optional

from tamsel_tools.base import strict_json
from tamsel_tools.base.findings import CheckFormat, Diagnostic, Format
from tamsel_tools.diagnostics.skipped import document_warnings
from tamsel_tools.model.policy import Policy


def findings_stream(format: CheckFormat) -> IO[str]:
    """Annotations go to standard output, where the CI runner reads workflow commands; findings
    in text to standard error, beside what the command answers."""
    return sys.stderr if format == "text" else sys.stdout


def print_findings(findings: Iterable[Diagnostic], format: CheckFormat, stream: Optional[IO[str]] = None) -> None:
    """Each finding in the format: lines, annotations, or one JSON document on standard output."""
    if format == "json":
        print_json(findings)
        return
    for each in findings:
        print(each.render(format), file=stream or findings_stream(format))


def print_json(findings: Iterable[Diagnostic], **more: str) -> None:
    """{"diagnostics": [...], ...more} on one line of standard output, as RFC 8259 JSON."""
    document: Dict[str, Any] = {"diagnostics": [each.to_json() for each in findings], **more}
    print(strict_json.dumps(document))


def warn_skipped_keys(
    policy: Policy, paths: Mapping[str, Optional[str]], format: Format, stream: Optional[IO[str]] = None
) -> None:
    """A warning for each key that the readers skipped in the documents, and for each declaration
    of the schema that replaces an earlier one, at its place."""
    print_findings(document_warnings(policy, paths), format, stream)
