"""Building a policy from the three document files, with located errors."""

from __future__ import annotations

from typing import Optional, Sequence

from tamsel_tools._annotations import Finding, Reported
from tamsel_tools._files import NotText, Unreadable, read_document
from tamsel_tools._help import Texts, help_lines
from tamsel_tools._policy import Policy, PolicyError


class DocumentsUnreadable(Reported):
    """A document file could not be read at all."""


class DocumentsRejected(Reported):
    """The documents were read but the engine refused them (or one is not UTF-8 text)."""


def error_finding(path: str, error: PolicyError, help: Sequence[str] = ()) -> Finding:
    """The engine's error about the file, at the position the engine gives it."""
    if error.line is None:
        return Finding("error", path, None, None, error.message, tuple(help))
    return Finding("error", path, error.line, error.column, error.reason, tuple(help))


def _read(path: str) -> str:
    try:
        return read_document(path)
    except Unreadable as error:
        raise DocumentsUnreadable(*error.findings) from None
    except NotText as error:
        raise DocumentsRejected(*error.findings) from None


def load_policy(schema_path: str, policy_path: str, governance_path: Optional[str]) -> Policy:
    """The policy of the three files, or DocumentsUnreadable / DocumentsRejected with the
    finding to print, the engine's message followed by its help lines."""
    schema = _read(schema_path)
    policy = _read(policy_path)
    governance = None if governance_path is None else _read(governance_path)
    try:
        return Policy(schema, policy, governance)
    except PolicyError as error:
        path = {"schema": schema_path, "policy": policy_path, "governance": governance_path}[error.document]
        help = help_lines(error.message, error.document, Texts(schema, policy, governance))
        raise DocumentsRejected(error_finding(path or policy_path, error, help)) from None
