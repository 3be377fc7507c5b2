"""Reading the three documents from files and building a policy from them, with located errors."""

from __future__ import annotations

from pathlib import Path
from typing import Optional

from tamsel_tools._policy import Policy, PolicyError
from tamsel_tools._text import printable


class DocumentsUnreadable(Exception):
    """A document file could not be read at all; the argument is the line to print."""


class DocumentsRejected(Exception):
    """The documents were read but the engine refused them; the argument is the line to print."""


def one_line(text: str) -> str:
    """The text made safe to print, so that a report stays one visible line a finding."""
    return printable(text)


def located(path: str, error: PolicyError) -> str:
    """FILE:LINE:COLUMN: MESSAGE when the error has its position, else FILE: MESSAGE."""
    if error.line is None:
        return f"{path}: {one_line(error.message)}"
    return f"{path}:{error.line}:{error.column}: {one_line(error.reason)}"


def read_text(path: str) -> str:
    """The file's text, decoded as UTF-8 from its bytes so that positions are the engine's own."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise DocumentsUnreadable(f"{path}: cannot read: {error.strerror or error}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line_start = data.rfind(b"\n", 0, error.start) + 1
        line = data.count(b"\n", 0, error.start) + 1
        column = len(data[line_start : error.start].decode("utf-8", "replace")) + 1
        raise DocumentsRejected(f"{path}:{line}:{column}: invalid UTF-8") from None


def load_policy(schema_path: str, policy_path: str, governance_path: Optional[str]) -> Policy:
    """The policy of the three files, or DocumentsUnreadable / DocumentsRejected with the line to print."""
    schema = read_text(schema_path)
    policy = read_text(policy_path)
    governance = None if governance_path is None else read_text(governance_path)
    try:
        return Policy(schema, policy, governance)
    except PolicyError as error:
        path = {"schema": schema_path, "policy": policy_path, "governance": governance_path}[error.document]
        raise DocumentsRejected(located(path or policy_path, error)) from None
