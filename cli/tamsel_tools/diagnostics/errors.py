"""The findings of documents that do not build: each error where it stands, with its help.

A compile error stands at the node at fault, a reading error at the place its
message gives; a governance failure is one finding for each violation, at the
policy rule that breaks it, or at the governance rule when no one rule does.
"""

from __future__ import annotations

import re
from typing import List, Mapping, Optional, Tuple

from tamsel_tools.base.echo import cut, quoted, without_long_values
from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.base.lines import Positions
from tamsel_tools.diagnostics.duplicates import second_key
from tamsel_tools.diagnostics.help import Texts, help_lines
from tamsel_tools.model.policy import PolicyError
from tamsel_tools.model.rules import Violation

# The records that a whole document is read as.
_ROOTS = {"struct SchemaAst": "schema", "struct PolicyAst": "policy", "struct GovernanceAst": "governance"}
_QUOTE = re.compile(r" [`\"']")


def _not_a_mapping(error: PolicyError, texts: Texts) -> Optional[str]:
    """What a document that is not a mapping at all is, by its kind and size: such a file is
    rarely a document (a key file, a credentials file), and its text is never echoed."""
    expected = error.operands.get("expected")
    if error.kind != "invalid_type" or "path" in error.operands or expected not in _ROOTS:
        return None
    kind = _QUOTE.split(error.operands.get("found", ""), 1)[0] or "value"
    text = getattr(texts, error.document) or ""
    size = len(text.encode("utf-8", "surrogatepass"))
    return f"the {_ROOTS[expected]} document is not a mapping: its text is one {kind} of {size} bytes, not shown"


def _editor(
    texts: Texts, document: str, line: Optional[int], column: Optional[int]
) -> Tuple[Optional[int], Optional[int]]:
    """The reader's position in the document, as an editor counts lines."""
    text = getattr(texts, document, None)
    return (line, column) if text is None else Positions(text).editor(line, column)


def _violation(violation: Violation, paths: Mapping[str, Optional[str]], texts: Texts) -> Diagnostic:
    rule, said = quoted(violation.rule), cut(violation.message)
    if violation.document == "governance":
        message = f"governance rule {rule} is not met: {said}"
    else:
        message = f"breaks governance rule {rule}: {said}"
    path = paths.get(violation.document) or violation.document
    line, column = _editor(texts, violation.document, violation.line, violation.column)
    return Diagnostic("error", path, line, column, message, code="governance_violation")


def error_findings(error: PolicyError, paths: Mapping[str, Optional[str]], texts: Texts) -> List[Diagnostic]:
    """The findings to print for the error, in the files that paths names for the documents."""
    if error.violations:
        return [_violation(each, paths, texts) for each in error.violations]
    path = paths.get(error.document) or error.document
    line, column = _editor(texts, error.document, error.line, error.column)
    if error.kind == "duplicate_field" and line is None:
        # A key of the whole document: the engine gives no place, the second key is it.
        line, column = second_key(getattr(texts, error.document) or "", error.operands.get("key", ""))
    # The operands are the document's values that the message quotes.
    values = list(error.operands.values())
    help = tuple(without_long_values(line, values) for line in help_lines(error, texts))
    message = _not_a_mapping(error, texts) or without_long_values(error.reason, values)
    return [Diagnostic("error", path, line, column, message, help, code=error.kind)]
