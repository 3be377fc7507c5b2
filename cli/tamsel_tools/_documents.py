"""Reading the three documents from files and building a policy from them, with located errors."""

from __future__ import annotations

from pathlib import Path
from typing import Optional, Sequence

from tamsel_tools._annotations import Finding
from tamsel_tools._help import Texts, help_lines
from tamsel_tools._policy import Policy, PolicyError
from tamsel_tools._text import printable


class _Reported(Exception):
    """The argument is the line to print; finding holds it in parts, with help lines."""

    def __init__(self, finding: Finding):
        super().__init__(Finding(finding.kind, finding.file, finding.line, finding.column, finding.message).render())
        self.finding = finding


class DocumentsUnreadable(_Reported):
    """A document file could not be read at all."""


class DocumentsRejected(_Reported):
    """The documents were read but the engine refused them."""


def one_line(text: str) -> str:
    """The text made safe to print, so that a report stays one visible line a finding."""
    return printable(text)


def error_finding(path: str, error: PolicyError, help: Sequence[str] = ()) -> Finding:
    """The engine's error about the file, at the position the engine gives it."""
    if error.line is None:
        return Finding("error", path, None, None, error.message, tuple(help))
    return Finding("error", path, error.line, error.column, error.reason, tuple(help))


def located(path: str, error: PolicyError) -> str:
    """FILE:LINE:COLUMN: MESSAGE when the error has its position, else FILE: MESSAGE."""
    return error_finding(path, error).render()


def read_text(path: str) -> str:
    """The file's text, decoded as UTF-8 from its bytes so that positions are the engine's own."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise DocumentsUnreadable(
            Finding("error", path, None, None, f"cannot read: {error.strerror or error}")
        ) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line_start = data.rfind(b"\n", 0, error.start) + 1
        line = data.count(b"\n", 0, error.start) + 1
        column = len(data[line_start : error.start].decode("utf-8", "replace")) + 1
        raise DocumentsRejected(Finding("error", path, line, column, "invalid UTF-8")) from None


def load_policy(schema_path: str, policy_path: str, governance_path: Optional[str]) -> Policy:
    """The policy of the three files, or DocumentsUnreadable / DocumentsRejected with the
    finding to print, the engine's message followed by its help lines."""
    schema = read_text(schema_path)
    policy = read_text(policy_path)
    governance = None if governance_path is None else read_text(governance_path)
    try:
        return Policy(schema, policy, governance)
    except PolicyError as error:
        path = {"schema": schema_path, "policy": policy_path, "governance": governance_path}[error.document]
        help = help_lines(error.message, error.document, Texts(schema, policy, governance))
        raise DocumentsRejected(error_finding(path or policy_path, error, help)) from None
