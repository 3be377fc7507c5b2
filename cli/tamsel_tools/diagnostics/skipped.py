"""Warnings for the keys that the readers skip.

The engine ignores keys it does not know, so a typo in an optional key
(`applies_to`, a second key in a scope) passes without a word. The readers
themselves report what they skipped, through the inspection module; the tools
only word it: FILE:LINE:COLUMN: warning: key 'efect' is not read here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, List, Mapping, Optional

from tamsel_tools import _inspect
from tamsel_tools.base.echo import quoted
from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.diagnostics.duplicates import replaced_declarations

if TYPE_CHECKING:
    from tamsel_tools.model.policy import Policy


def skipped_key_warnings(
    skipped: Iterable[_inspect.SkippedKey], paths: Mapping[str, Optional[str]]
) -> List[Diagnostic]:
    """One warning a skipped key, in the file that paths names for its document."""
    warnings = []
    for key in skipped:
        path = paths.get(key["document"]) or key["document"]
        message = f"key {quoted(key['key'])} is not read here"
        warnings.append(Diagnostic("warning", path, key["line"], key["column"], message, code="skipped_key"))
    return warnings


def skipped_keys(schema: str, policy: str, governance: Optional[str]) -> Optional[List[_inspect.SkippedKey]]:
    """The keys the readers skip in the three texts; None when they do not build."""
    compiled, _ = _inspect.load(schema, policy, governance)
    return None if compiled is None else compiled.skipped_keys()


def document_warnings(policy: "Policy", paths: Mapping[str, Optional[str]]) -> List[Diagnostic]:
    """Every warning about how the documents are written: the keys skipped, then the
    declarations of the schema that replace an earlier one."""
    schema = paths.get("schema") or "schema"
    return skipped_key_warnings(policy_skipped_keys(policy), paths) + replaced_declarations(schema, policy.schema_yaml)


def policy_skipped_keys(policy: "Policy") -> List[_inspect.SkippedKey]:
    """The keys the readers skipped in the documents of the policy, from its compilation, at
    their places as an editor counts lines."""
    return policy.skipped_keys()
