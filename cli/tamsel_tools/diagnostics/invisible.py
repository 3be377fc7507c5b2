"""Characters that make a document read one way to people and another to the engine.

The YAML reader ends a line at U+0085, U+2028 and U+2029; editors, terminals and
review pages do not. A line that every viewer shows as a comment can so hold a
rule that the engine reads. Bidirectional controls reorder what a viewer shows
without changing what is read. Both are refused where they change what is
read: the line breaks outside quoted texts (inside one they are a character of
the text), the bidirectional controls anywhere. `--allow-invisible-breaks`
accepts them.
"""

from __future__ import annotations

import importlib
import re
import unicodedata
from typing import Any, List, Optional, Tuple

from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.base.lines import READER_ONLY_BREAKS, Positions

BIDI_CONTROLS = "\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
_FOUND = re.compile(f"[{READER_ONLY_BREAKS}{BIDI_CONTROLS}]")
# Past this many in one document, one more finding says how many were left out.
SHOWN = 20
OPTION = "--allow-invisible-breaks"


def _name(character: str) -> str:
    return f"U+{ord(character):04X} ({unicodedata.name(character, 'NEXT LINE')})"


def _quoted_spans(text: str) -> List[Tuple[int, int]]:
    """The character spans of the quoted scalars of the text, as the YAML reader finds them;
    none without PyYAML (every break is then refused), none past a syntax error."""
    try:
        yaml: Any = importlib.import_module("yaml")
    except ImportError:
        return []
    spans: List[Tuple[int, int]] = []
    try:
        # Both readers' marks count characters, as the text's offsets do.
        for event in yaml.parse(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)):
            if isinstance(event, yaml.ScalarEvent) and event.style in ("'", '"'):
                spans.append((event.start_mark.index, event.end_mark.index))
    except (yaml.YAMLError, RecursionError):
        pass
    return spans


def _inside(spans: List[Tuple[int, int]], offset: int) -> bool:
    return any(start < offset < end for start, end in spans)


def _finding(path: str, positions: Positions, offset: int, character: str) -> Diagnostic:
    line, column = positions.at(offset)
    if character in BIDI_CONTROLS:
        message = f"bidirectional control {_name(character)}: it reorders what a viewer shows, not what is read"
    else:
        message = (
            f"invisible line break {_name(character)}: the YAML reader ends the line here, "
            "editors and review pages do not"
        )
    help = (
        f"remove it, or write it as the escape \\u{ord(character):04x} in a double-quoted text; {OPTION} accepts it",
    )
    return Diagnostic("error", path, line, column, message, help, code="invisible_character")


def invisible_findings(path: str, text: str, allowed: bool = False) -> List[Diagnostic]:
    """An error at each character of the text that reads differently to people and to the
    engine; none when they are allowed (`--allow-invisible-breaks`). At most SHOWN, then one
    that counts the rest."""
    if allowed or _FOUND.search(text) is None:
        return []
    positions = Positions(text)
    spans: Optional[List[Tuple[int, int]]] = None
    findings: List[Diagnostic] = []
    left_out = 0
    for found in _FOUND.finditer(text):
        character = found.group()
        if character in READER_ONLY_BREAKS:
            spans = _quoted_spans(text) if spans is None else spans
            if _inside(spans, found.start()):
                continue
        if len(findings) < SHOWN:
            findings.append(_finding(path, positions, found.start(), character))
        else:
            left_out += 1
    if left_out:
        last = findings[-1]
        message = f"{left_out} more such characters in this document, not shown"
        findings.append(Diagnostic("error", path, last.line, last.column, message, code="invisible_character"))
    return findings
