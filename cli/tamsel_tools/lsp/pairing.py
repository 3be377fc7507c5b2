"""Which documents go together.

A policy goes with the schema and governance of the first that applies: the project file
found from its folder upward, a suite in the workspace that names it, or `schema.yaml`
and `governance.yaml` in its own folder. A schema or governance document goes with every
policy that pairs with it so.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from tamsel_tools.io.project import Project, ProjectError, find_project
from tamsel_tools.io.reading import SUITE_ENDINGS, Limits, document_path, walk
from tamsel_tools.lsp.store import Store, role_by_content
from tamsel_tools.suites.loading import SuiteUnloadable, parse_suite

# Folders a workspace scan never enters: environments, builds and version control.
_SKIPPED = {"node_modules", "build", "dist", "__pycache__", "venv", "site-packages"}
_SCAN_FILES = 20_000
_SCAN_SECONDS = 0.5


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


def _suite(path: Path, text: str, limits: Limits) -> Optional[SuiteNames]:
    try:
        value = parse_suite(str(path), text, limits)
    except SuiteUnloadable:  # a suite that cannot be read names nothing
        return None
    if not isinstance(value, dict):
        return None

    root = _project_root(path, limits)

    def named(key: str) -> Optional[Path]:
        # Only what the suite may name: its documents stay in its folder or its project's.
        each = value.get(key)
        if not isinstance(each, str) or not each:
            return None
        found, refused = document_path(str(path), each, root, limits.allow_outside)
        return None if refused is not None else Path(found)

    return SuiteNames(path, named("schema"), named("policy"), named("governance"))


class Pairings:
    """Pairs documents; the suites of the workspace folders are found by a bounded scan."""

    def __init__(self, store: Store, folders: Sequence[Path] = (), limits: Optional[Limits] = None) -> None:
        self.store = store
        self.limits = limits or Limits()
        self.folders = list(folders)
        self._suites: Optional[List[SuiteNames]] = None

    def suites(self) -> List[SuiteNames]:
        """The workspace's suites, looked for once and again after `changed` names a suite."""
        if self._suites is None:
            self._suites = [suite for suite in map(self._read_suite, self._suite_paths()) if suite is not None]
        return self._suites

    def changed(self, path: Path) -> None:
        """A file was opened, changed, saved, made or deleted: a suite's names are read anew."""
        if path.name.endswith(SUITE_ENDINGS):
            self._suites = None

    def _read_suite(self, path: Path) -> Optional[SuiteNames]:
        text = self.store.text(path)
        return None if text is None else _suite(path, text, self.limits)

    def _suite_paths(self) -> Iterable[Path]:
        seen = 0
        deadline = time.monotonic() + _SCAN_SECONDS
        for folder in self.folders:
            for directory, subdirectories, files in walk(str(folder)):
                subdirectories[:] = sorted(
                    name for name in subdirectories if not name.startswith(".") and name not in _SKIPPED
                )
                for name in sorted(files):
                    if name.endswith(SUITE_ENDINGS):
                        yield Path(directory) / name
                seen += len(files)
                if seen > _SCAN_FILES or time.monotonic() > deadline:
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
        """What the document is: by the project file or a suite that names it, else by its content."""
        project, _ = project_of(path, self.limits)
        named: List[Tuple[Optional[Path], str]] = []
        if project is not None:
            named += [(project.schema, "schema"), (project.policy, "policy"), (project.governance, "governance")]
        for suite in self.suites():
            named += [(suite.schema, "schema"), (suite.policy, "policy"), (suite.governance, "governance")]
        for each, role in named:
            if _same(each, path):
                return role
        return role_by_content(text)

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
