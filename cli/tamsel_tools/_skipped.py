"""Warnings for the keys that the readers skip.

The engine ignores keys it does not know, so a typo in an optional key
(`applies_to`, a second key in a scope) passes without a word. The readers
themselves report what they skipped, through the inspection module; the tools
only word it: FILE:LINE:COLUMN: warning: key 'efect' is not read here.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Iterable, List, Mapping, Optional

from tamsel_tools._annotations import Finding

if TYPE_CHECKING:
    from tamsel_tools._inspect import SkippedKey
    from tamsel_tools._policy import Policy


def skipped_key_warnings(skipped: Iterable["SkippedKey"], paths: Mapping[str, Optional[str]]) -> List[Finding]:
    """One warning a skipped key, in the file that paths names for its document."""
    warnings = []
    for key in skipped:
        path = paths.get(key["document"]) or key["document"]
        message = f"key '{key['key']}' is not read here"
        warnings.append(Finding("warning", path, key["line"], key["column"], message))
    return warnings


def inspection_module() -> Optional[Any]:
    """The private inspection module, or None in a build that does not have it."""
    try:
        return importlib.import_module("tamsel_tools._inspect")
    except ImportError:
        return None


def skipped_keys(schema: str, policy: str, governance: Optional[str]) -> Optional[List["SkippedKey"]]:
    """The keys the readers skip in documents that build; None when the inspection
    module is missing from this build or the documents do not build."""
    inspect = inspection_module()
    if inspect is None:
        return None
    compiled, error = inspect.load(schema, policy, governance)
    if compiled is None:
        return None
    found: List["SkippedKey"] = compiled.skipped_keys()
    return found


def policy_skipped_keys(policy: "Policy") -> List["SkippedKey"]:
    """The keys the readers skipped in the documents of the policy, from its compilation."""
    found: List["SkippedKey"] = policy._compiled.skipped_keys()
    return found
