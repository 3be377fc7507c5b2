"""A suite's properties in the editor: each refuted one a diagnostic on the property, its
refuting input and the decision in the message; each left undecided, a note.

The properties of a suite are proven when it is opened and again whenever the file changes
on disk (saved, or changed by another program): the solver reads the suite as saved, in a
process of its own (`property_worker`), ended by the next check of the same suite or with the
server. Places are 0-based lines and columns in characters, as the server's notes have them.
"""

from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from tamsel_tools.io.reading import SUITE_ENDINGS
from tamsel_tools.lsp import diagnostics as _diagnostics
from tamsel_tools.lsp.diagnostics import Note
from tamsel_tools.lsp.processes import GRACE, ask

CODES = {"refuted": "refuted_property", "undecided": "undecided_property"}
SEVERITIES = {"refuted": _diagnostics.ERROR, "undecided": _diagnostics.INFORMATION}


def is_suite(path: Path) -> bool:
    return path.name.endswith(SUITE_ENDINGS)


def _stamp(path: Path) -> Optional[Tuple[int, int]]:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_mtime_ns, status.st_size


def notes_of(reply: Dict[str, Any], text: str) -> List[Note]:
    """The worker's answer as notes on the suite's text: a refuted or undecided property at its
    place, a suite that does not load at its fault, the check that failed at the top."""
    if "error" in reply:
        return [Note(_diagnostics.place_at("policy", text, None, None), _diagnostics.INFORMATION,
                     "properties", f"properties not checked: {reply['error']}")]  # fmt: skip
    notes = []
    for each in reply.get("unloadable", []):
        place = _diagnostics.place_at("policy", text, each.get("line"), each.get("column"))
        notes.append(Note(place, _diagnostics.ERROR, "suite", str(each.get("message", ""))))
    for each in reply.get("properties", []):
        verdict = each.get("verdict")
        if verdict in CODES:
            place = _diagnostics.place_at("policy", text, each.get("line"), each.get("column"))
            notes.append(Note(place, SEVERITIES[verdict], CODES[verdict], str(each.get("message", ""))))
    return notes


@dataclass
class Checked:
    stamp: Optional[Tuple[int, int]]  # the file as it stood when checked
    notes: List[Note] = field(default_factory=list)
    task: Optional["asyncio.Task[None]"] = None


class SuiteProperties:
    """The last check of each suite's properties, by path."""

    def __init__(self, server: Any) -> None:
        self.server = server
        self.checked: Dict[str, Checked] = {}

    def notes(self, path: Path) -> List[Note]:
        checked = self.checked.get(str(path))
        return [] if checked is None else checked.notes

    def refresh(self, path: Path) -> None:
        """Checks the suite again when the file changed since its last check (or never was)."""
        if not is_suite(path):
            return
        stamp = _stamp(path)
        old = self.checked.get(str(path))
        if old is not None and old.stamp == stamp:
            return
        if old is not None and old.task is not None:
            old.task.cancel()
        checked = Checked(stamp, old.notes if old is not None else [])
        self.checked[str(path)] = checked
        if stamp is not None:
            checked.task = asyncio.ensure_future(self._check(path, checked))

    def forget(self, path: Path) -> None:
        old = self.checked.pop(str(path), None)
        if old is not None and old.task is not None:
            old.task.cancel()

    async def _check(self, path: Path, checked: Checked) -> None:
        server = self.server
        request = {
            "suite": str(path),
            "seconds": server.lint_seconds,
            "max_bytes": server.limits.max_bytes,
            "allow_outside": server.limits.allow_outside,
        }
        try:
            reply = await ask(
                "tamsel_tools.lsp.property_worker", request, server.lint_seconds + GRACE, server.processes
            )
        except asyncio.TimeoutError:
            reply = {"error": f"not finished within {server.lint_seconds:g} seconds"}
        except ValueError:
            reply = {"error": "the check gave no answer"}
        if self.checked.get(str(path)) is not checked:
            return
        text = server.store.text(path) or ""
        checked.notes = notes_of(reply, text)
        checked.task = None
        server.publish(path)
