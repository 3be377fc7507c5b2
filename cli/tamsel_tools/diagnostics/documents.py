"""Building a policy from the three document files, with located errors."""

from __future__ import annotations

from typing import Optional, Tuple

from tamsel_tools import _inspect
from tamsel_tools.base.findings import Diagnostic, Reported
from tamsel_tools.diagnostics.errors import error_findings
from tamsel_tools.diagnostics.help import Texts
from tamsel_tools.diagnostics.invisible import invisible_findings
from tamsel_tools.io.files import NotText, Unreadable, read_document
from tamsel_tools.io.reading import Limits
from tamsel_tools.model.policy import Policy, PolicyError


class DocumentsUnreadable(Reported):
    """A document file could not be read at all."""


class DocumentsRejected(Reported):
    """The documents were read but the engine refused them (or one is not UTF-8 text)."""


class Allowance:
    """What the documents of a policy may still take, in bytes and in values: the engine holds
    them at several times their size, so they share one allowance (as do two policies that a
    command holds at once)."""

    def __init__(self, limits: Limits, documents: str = "a policy's documents") -> None:
        self.limits = limits
        self.documents = documents
        self.bytes = limits.documents_max_bytes
        self.values = limits.max_values

    def _too_large(self, left: int) -> str:
        return self.limits.documents_too_large(left, self.documents)

    def read(self, path: str) -> str:
        try:
            text = read_document(path, self.bytes, self._too_large)
        except Unreadable as error:
            raise DocumentsUnreadable(*error.findings) from None
        except NotText as error:
            raise DocumentsRejected(*error.findings) from None
        self.bytes -= len(text) if text.isascii() else len(text.encode("utf-8"))
        invisible = invisible_findings(path, text, self.limits.allow_invisible)
        if invisible:
            raise DocumentsRejected(*invisible)
        counted, past = _inspect.count_values(text, self.values)
        if past is not None:
            line, column = past
            message = self.limits.too_many_values(f" in {self.documents} together")
            raise DocumentsUnreadable(Diagnostic("error", path, line, column, message, code="unreadable"))
        self.values -= counted
        return text


def load_policy(schema_path: str, policy_path: str, governance_path: Optional[str], allowance: Allowance) -> Policy:
    """The policy of the three files, read within the allowance, or DocumentsUnreadable /
    DocumentsRejected with the findings to print: each error where it stands, with its help."""
    return load_policy_texts(schema_path, policy_path, governance_path, allowance)[0]


def load_policy_texts(
    schema_path: str, policy_path: str, governance_path: Optional[str], allowance: Allowance
) -> Tuple[Policy, Texts]:
    """`load_policy`, and the three texts it was built from (for a process that builds it again)."""
    schema = allowance.read(schema_path)
    policy = allowance.read(policy_path)
    governance = None if governance_path is None else allowance.read(governance_path)
    texts = Texts(schema, policy, governance)
    try:
        return Policy(schema, policy, governance), texts
    except PolicyError as error:
        paths = {"schema": schema_path, "policy": policy_path, "governance": governance_path}
        raise DocumentsRejected(*error_findings(error, paths, texts)) from None
