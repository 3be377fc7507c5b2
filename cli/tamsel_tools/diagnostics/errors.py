"""The findings of documents that do not build: each error where it stands, with its help.

A compile error stands at the node at fault, a reading error at the place its
message gives; a governance failure is one finding for each violation, at the
policy rule that breaks it, or at the governance rule when no one rule does.
"""

from __future__ import annotations

from typing import List, Mapping, Optional

from tamsel_tools.base.echo import cut, quoted, without_long_values
from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.diagnostics.help import Texts, help_lines
from tamsel_tools.model.policy import PolicyError
from tamsel_tools.model.rules import Violation


def _violation(violation: Violation, paths: Mapping[str, Optional[str]]) -> Diagnostic:
    rule, said = quoted(violation.rule), cut(violation.message)
    if violation.document == "governance":
        message = f"governance rule {rule} is not met: {said}"
    else:
        message = f"breaks governance rule {rule}: {said}"
    path = paths.get(violation.document) or violation.document
    return Diagnostic("error", path, violation.line, violation.column, message, code="governance_violation")


def error_findings(error: PolicyError, paths: Mapping[str, Optional[str]], texts: Texts) -> List[Diagnostic]:
    """The findings to print for the error, in the files that paths names for the documents."""
    if error.violations:
        return [_violation(each, paths) for each in error.violations]
    path = paths.get(error.document) or error.document
    # The operands are the document's values that the message quotes.
    values = list(error.operands.values())
    help = tuple(without_long_values(line, values) for line in help_lines(error, texts))
    message = without_long_values(error.reason, values)
    return [Diagnostic("error", path, error.line, error.column, message, help, code=error.kind)]
