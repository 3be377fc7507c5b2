"""Reading the three documents from files and building an engine from them.

When construction fails, the engine says what went wrong but not in which of
the three texts. That follows from the order in which construction reads them
(schema, policy, governance, then governance validation and compilation, both
of which speak about the policy), so it is found by building again over the
same texts with stand-ins whose own outcome is known.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import tamsel

from tamsel_tools._annotations import Finding, engine_finding
from tamsel_tools._help import Texts, help_lines
from tamsel_tools._text import printable

# Reads and compiles against every schema that reads: it has no rules.
_EMPTY_POLICY = "version: 1\nrules: []\n"
# Fails to read as governance, with an error under the key "governance", which
# the policy document does not have: a policy error can never read the same.
_UNREADABLE_GOVERNANCE = "version: 1\ngovernance: 0\n"
# How every governance violation begins; no reading error can begin so, since
# the root keys of a governance document are "version" and "governance".
_VIOLATION = "governance validation failed: "


class _Reported(Exception):
    """The argument is the line to print; finding holds it in parts, with help lines."""

    def __init__(self, finding: Finding):
        super().__init__(Finding(finding.kind, finding.file, finding.line, finding.column, finding.message).render())
        self.finding = finding


class DocumentsUnreadable(_Reported):
    """A document file could not be read at all."""


class DocumentsRejected(_Reported):
    """The documents were read but the engine refused them."""


@dataclass(frozen=True)
class Documents:
    """The document paths as the user named them, and their texts."""

    schema_path: str
    policy_path: str
    governance_path: Optional[str]
    schema: str
    policy: str
    governance: Optional[str]


def one_line(text: str) -> str:
    """The text made safe to print, so that a report stays one visible line a finding."""
    return printable(text)


def located(path: str, message: str) -> str:
    """FILE:LINE:COLUMN: MESSAGE when the message ends with its position, else FILE: MESSAGE."""
    return engine_finding(path, message).render()


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


def read_documents(schema_path: str, policy_path: str, governance_path: Optional[str]) -> Documents:
    schema = read_text(schema_path)
    policy = read_text(policy_path)
    governance = None if governance_path is None else read_text(governance_path)
    return Documents(schema_path, policy_path, governance_path, schema, policy, governance)


def _construction_error(schema: str, policy: str, governance: Optional[str] = None) -> Optional[str]:
    try:
        tamsel.PyTamsel(schema, policy, governance)
    except ValueError as error:
        return str(error)
    return None


def failing_document(schema: str, policy: str, governance: Optional[str], message: str) -> str:
    """Which text, "schema", "policy" or "governance", made construction fail with message."""
    if _construction_error(schema, _EMPTY_POLICY) is not None:
        return "schema"
    if governance is None:
        return "policy"
    # The governance text is read only once the policy has been: a stand-in
    # governance reports its own error exactly when the policy reads.
    probe = _construction_error(schema, _EMPTY_POLICY, _UNREADABLE_GOVERNANCE)
    if probe is None:
        raise RuntimeError("the engine accepted a governance document it must refuse")
    if _construction_error(schema, policy, _UNREADABLE_GOVERNANCE) != probe:
        return "policy"
    # The policy reads; what is left is the governance text's reading error, a
    # violation, or a compile error. A violation comes only after the
    # governance text has been read, and a compile error only after it passed.
    if message.startswith(_VIOLATION):
        return "policy"
    if _construction_error(schema, _EMPTY_POLICY, governance) == message:
        return "governance"
    return "policy"


def build(documents: Documents) -> tamsel.PyTamsel:
    """The engine for the documents, or DocumentsRejected with the located error."""
    try:
        return tamsel.PyTamsel(documents.schema, documents.policy, documents.governance)
    except ValueError as error:
        message = str(error)
    which = failing_document(documents.schema, documents.policy, documents.governance, message)
    path = {
        "schema": documents.schema_path,
        "policy": documents.policy_path,
        "governance": documents.governance_path,
    }[which]
    assert path is not None
    texts = Texts(documents.schema, documents.policy, documents.governance)
    raise DocumentsRejected(engine_finding(path, message, help_lines(message, which, texts)))


def load_engine(schema_path: str, policy_path: str, governance_path: Optional[str]) -> tamsel.PyTamsel:
    return build(read_documents(schema_path, policy_path, governance_path))
