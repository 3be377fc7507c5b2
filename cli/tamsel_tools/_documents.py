"""Building a policy from the three document files, with located errors."""

from __future__ import annotations

from typing import Optional

from tamsel_tools._annotations import Reported
from tamsel_tools._errors import error_findings
from tamsel_tools._files import NotText, Unreadable, read_document
from tamsel_tools._help import Texts
from tamsel_tools._policy import Policy, PolicyError


class DocumentsUnreadable(Reported):
    """A document file could not be read at all."""


class DocumentsRejected(Reported):
    """The documents were read but the engine refused them (or one is not UTF-8 text)."""


def _read(path: str) -> str:
    try:
        return read_document(path)
    except Unreadable as error:
        raise DocumentsUnreadable(*error.findings) from None
    except NotText as error:
        raise DocumentsRejected(*error.findings) from None


def load_policy(schema_path: str, policy_path: str, governance_path: Optional[str]) -> Policy:
    """The policy of the three files, or DocumentsUnreadable / DocumentsRejected with the
    findings to print: each error where it stands, with its help."""
    schema = _read(schema_path)
    policy = _read(policy_path)
    governance = None if governance_path is None else _read(governance_path)
    try:
        return Policy(schema, policy, governance)
    except PolicyError as error:
        paths = {"schema": schema_path, "policy": policy_path, "governance": governance_path}
        raise DocumentsRejected(*error_findings(error, paths, Texts(schema, policy, governance))) from None
