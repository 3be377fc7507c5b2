"""Which documents go together.

A policy goes with the schema and governance of the first that applies: the project file
found from its folder upward, a suite in the workspace that names it, or `schema.yaml`
and `governance.yaml` in its own folder. A schema or governance document goes with every
policy that pairs with it so.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from tamsel_tools.io.project import Project, ProjectError, find_project
from tamsel_tools.io.reading import SUITE_ENDINGS, Limits, document_path, walk
from tamsel_tools.lsp.store import Store, role_by_content, role_by_name

# Folders a workspace scan never enters: environments, builds and version control.
_SKIPPED = {"node_modules", "build", "dist", "__pycache__", "venv", "site-packages"}
_SCAN_FILES = 20_000
# Past this, reading the suites is given up: each of them pairs nothing.
_READING_SECONDS = 300.0


@dataclass(frozen=True)
class Pairing:
    policy: Path
    schema: Optional[Path]
    governance: Optional[Path]
    by: str  # what paired them, said in messages: "project file PATH", "suite PATH", "folder"


@dataclass(frozen=True)
class Problem:
    """A project file that cannot be used: shown on the documents it would pair."""

    path: Path
    line: Optional[int]
    column: Optional[int]
    message: str


@dataclass(frozen=True)
class SuiteNames:
    path: Path
    schema: Optional[Path]
    policy: Optional[Path]
    governance: Optional[Path]


def _same(a: Optional[Path], b: Path) -> bool:
    if a is None:
        return False
    try:
        return os.path.samefile(a, b) if a.exists() and b.exists() else a.resolve() == b.resolve()
    except OSError:
        return False


def project_of(path: Path, limits: Limits) -> Tuple[Optional[Project], Optional[Problem]]:
    try:
        return find_project(path.parent, limits), None
    except ProjectError as error:
        return None, Problem(error.path, error.line, error.column, error.message)
    except (OSError, ValueError, RecursionError) as error:
        return None, Problem(path.parent, None, None, f"the project file cannot be read: {error}")


def _project_root(suite: Path, limits: Limits) -> Optional[str]:
    project, _ = project_of(suite, limits)
    return None if project is None else str(project.root)


def _named(path: Path, keys: Dict[str, str], limits: Limits) -> SuiteNames:
    """The documents that the suite's keys name, those it may name: they stay in its folder
    or its project's."""
    root = _project_root(path, limits)

    def named(key: str) -> Optional[Path]:
        each = keys.get(key)
        if not isinstance(each, str) or not each:
            return None
        found, refused = document_path(str(path), each, root, limits.allow_outside)
        return None if refused is not None else Path(found)

    return SuiteNames(path, named("schema"), named("policy"), named("governance"))


# What a suite was read as: its text in the editor, or its file as it stood.
_Stamp = Tuple[Any, ...]


class Pairings:
    """Pairs documents. The suites of the workspace folders are found by a scan bounded by
    the files it looks at, and each is read once for each change of it, in a process of its
    own, as `tamsel test` reads it (`suite_reader`)."""

    def __init__(
        self,
        store: Store,
        folders: Sequence[Path] = (),
        limits: Optional[Limits] = None,
        processes: Optional[Dict[int, asyncio.subprocess.Process]] = None,
    ) -> None:
        self.store = store
        self.limits = limits or Limits()
        # The processes running, by id, which the server ends when it is ended; the reader's among them.
        self.processes: Dict[int, asyncio.subprocess.Process] = {} if processes is None else processes
        self.folders = list(folders)
        self._paths: Optional[List[Path]] = None  # the suites found; None: to be looked for
        self._read: Dict[Path, Tuple[_Stamp, Optional[SuiteNames]]] = {}
        # Made by the first `ready`, on the loop that runs it: before 3.10 a lock takes the loop
        # current when it is made, which need not be the server's.
        self._reading: Optional[asyncio.Lock] = None

    def suites(self) -> List[SuiteNames]:
        """The workspace's suites as last read; `ready` reads those that changed since."""
        return [names for _, names in self._read.values() if names is not None]

    def changed(self, path: Path) -> None:
        """A file was opened, changed, saved, made or deleted: a suite is read anew."""
        if path.name.endswith(SUITE_ENDINGS):
            self._paths = None

    def _stamp(self, path: Path) -> Optional[_Stamp]:
        text = self.store.open_text(path)
        if text is not None:
            return ("open", hash(text), len(text))
        try:
            found = os.stat(path)
        except OSError:
            return None
        return (found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns)

    async def ready(self) -> None:
        """Reads every suite not read as it stands now; the pairings that follow are made with
        all of them, however long reading takes."""
        if self._reading is None:
            self._reading = asyncio.Lock()
        async with self._reading:
            if self._paths is None:
                self._paths = list(self._suite_paths())
            stamps = {path: self._stamp(path) for path in self._paths}
            for gone in set(self._read) - {path for path, stamp in stamps.items() if stamp is not None}:
                del self._read[gone]
            stale = [
                path
                for path, stamp in stamps.items()
                if stamp is not None and self._read.get(path, (None,))[0] != stamp
            ]
            if not stale:
                return
            answers = await _read_suites(
                [(path, self.store.open_text(path)) for path in stale], self.limits, self.processes
            )
            for path, keys in zip(stale, answers):
                stamp = stamps[path]
                assert stamp is not None
                self._read[path] = (stamp, None if keys is None else _named(path, keys, self.limits))

    def _suite_paths(self) -> Iterable[Path]:
        seen = 0
        for folder in self.folders:
            for directory, subdirectories, files in walk(str(folder)):
                subdirectories[:] = sorted(
                    name for name in subdirectories if not name.startswith(".") and name not in _SKIPPED
                )
                for name in sorted(files):
                    if name.endswith(SUITE_ENDINGS):
                        yield Path(directory) / name
                seen += len(files)
                if seen > _SCAN_FILES:
                    return

    def project_problem(self, policy: Path) -> Optional[Problem]:
        """What stands in the way of the project file above the policy, if anything."""
        return project_of(policy, self.limits)[1]

    def pair(self, policy: Path) -> Tuple[Pairing, Optional[Problem]]:
        """The policy's pairing, and the project file's problem when one stood in the way."""
        project, problem = project_of(policy, self.limits)
        if project is not None:
            return Pairing(policy, project.schema, project.governance, f"project file {project.file}"), None
        for suite in self.suites():
            if _same(suite.policy, policy):
                return Pairing(policy, suite.schema, suite.governance, f"suite {suite.path}"), problem
        schema, governance = policy.parent / "schema.yaml", policy.parent / "governance.yaml"
        return (
            Pairing(
                policy,
                schema if schema.is_file() or self.store.is_open(schema) else None,
                governance if governance.is_file() or self.store.is_open(governance) else None,
                "folder",
            ),
            problem,
        )

    def role(self, path: Path, text: str) -> Optional[str]:
        """What the document is: by the project file or a suite that names it, by its file's
        name, else by its top-level keys."""
        project, _ = project_of(path, self.limits)
        named: List[Tuple[Optional[Path], str]] = []
        if project is not None:
            named += [(project.schema, "schema"), (project.policy, "policy"), (project.governance, "governance")]
        for suite in self.suites():
            named += [(suite.schema, "schema"), (suite.policy, "policy"), (suite.governance, "governance")]
        for each, role in named:
            if _same(each, path):
                return role
        return role_by_name(path) or role_by_content(text)

    def policies_of(self, path: Path, role: str) -> List[Pairing]:
        """The pairings of every policy that goes with this schema or governance document."""
        candidates: Dict[str, Path] = {}
        project, _ = project_of(path, self.limits)
        if project is not None:
            candidates[str(project.policy)] = project.policy
        for suite in self.suites():
            if suite.policy is not None:
                candidates[str(suite.policy)] = suite.policy
        for each in self.store.open_paths():
            candidates[str(each)] = each
        if path.name == f"{role}.yaml":
            for each in sorted(path.parent.glob("*.y*ml")):
                candidates[str(each)] = each
        found = []
        for candidate in candidates.values():
            if _same(candidate, path):
                continue
            text = self.store.text(candidate)
            if text is None or self.role(candidate, text) != "policy":
                continue
            pairing, _ = self.pair(candidate)
            if _same(getattr(pairing, role), path):
                found.append(pairing)
        return found


async def _read_suites(
    suites: List[Tuple[Path, Optional[str]]], limits: Limits, processes: Dict[int, asyncio.subprocess.Process]
) -> List[Optional[Dict[str, str]]]:
    """Each suite's document keys, read by `suite_reader` in a process of its own (kept in
    `processes` while it runs); None for each when that process fails."""
    request = json.dumps(
        {"max_bytes": limits.max_bytes, "suites": [{"path": str(path), "text": text} for path, text in suites]}
    )
    process = await asyncio.create_subprocess_exec(
        sys.executable,
        "-m",
        "tamsel_tools.lsp.suite_reader",
        stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.DEVNULL,
    )
    processes[process.pid] = process
    try:
        output, _ = await asyncio.wait_for(process.communicate(request.encode("utf-8")), _READING_SECONDS)
        answers = json.loads(output.decode("utf-8"))
    except (asyncio.TimeoutError, ValueError):
        answers = None
    finally:
        processes.pop(process.pid, None)
        if process.returncode is None:
            process.kill()
            await process.wait()
    if not isinstance(answers, list) or len(answers) != len(suites):
        return [None] * len(suites)
    return [each if isinstance(each, dict) else None for each in answers]
