"""The project file: where a project's documents and suites are, so that commands need no paths.

`[tool.tamsel]` in `pyproject.toml`, or the top-level keys of `tamsel.toml`, in the folder
where a command runs or the nearest folder above it:

    [tool.tamsel]
    schema = "policies/schema.yaml"
    policy = "policies/policy.yaml"
    governance = "policies/governance.yaml"   # optional
    suites = ["policies/tests"]               # optional: files or folders

Paths are relative to the project file's folder.

The search starts from the real folder (links and `..` resolved) and ends at the
repository's root (the first folder upward holding `.git`) or at the user's home
folder, whichever comes first: a project file above a checkout is someone else's.
A project file owned by another user, or writable by group or others, is refused,
as anyone could have planted it; `--project FILE` or `TAMSEL_PROJECT` names the
one to use instead of searching, and is trusted as named.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, Optional, Tuple

from tamsel_tools.io.reading import FileRefused, Limits, not_regular, not_utf8_at, read_bytes, refused_path

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the interpreters before 3.11 read TOML with the package it came from
    import tomli as tomllib

PYPROJECT = "pyproject.toml"
TAMSEL_TOML = "tamsel.toml"
_DOCUMENT_KEYS = ("schema", "policy", "governance")
_KEYS = (*_DOCUMENT_KEYS, "suites")


@dataclass(frozen=True)
class Project:
    file: Path  # the pyproject.toml or tamsel.toml read
    root: Path  # its folder; every path below is resolved against it
    schema: Path
    policy: Path
    governance: Optional[Path]
    suites: Tuple[Path, ...]  # files or folders


class ProjectError(Exception):
    """The project file cannot be used: one error at its place in that file (1-based, or None)."""

    def __init__(self, path: Path, line: Optional[int], column: Optional[int], message: str):
        super().__init__(f"{path}: {message}")
        self.path = path
        self.line = line
        self.column = column
        self.message = message


def shown(path: Path) -> str:
    """A project's path as findings name it: relative to the working folder, as if typed."""
    try:
        return os.path.relpath(path)
    except ValueError:
        return str(path)


ENVIRONMENT = "TAMSEL_PROJECT"


def named_project(limits: Limits) -> Optional[str]:
    """The project file named by `--project`, else by TAMSEL_PROJECT; None when none is."""
    return limits.project if limits.project is not None else (os.environ.get(ENVIRONMENT) or None)


def find_project(start: Path, limits: Limits) -> Optional[Project]:
    """The project named by `--project` or TAMSEL_PROJECT, else the nearest project file in
    `start` or above, up to the repository's root or the home folder: `[tool.tamsel]` in
    pyproject.toml (a pyproject.toml without that table is passed over), else top-level keys
    of tamsel.toml; None when there is none. Raises ProjectError when the file found cannot
    be read, is not to be trusted or names a missing document."""
    named = named_project(limits)
    if named is not None:
        return load_project(Path(named), limits)
    for folder in search_folders(start):
        # A pyproject.toml is many tools' file, passed over when it is not one; whatever stands
        # as tamsel.toml is ours, said to be refused when it is not a regular file. Neither is
        # read through a symbolic link out of its folder.
        pyproject = folder / PYPROJECT
        if pyproject.is_file():
            text = read_project_file(pyproject, limits)
            tool = _table(_parse(pyproject, text).get("tool"))
            if tool is not None and "tamsel" in tool:
                _trusted(pyproject)
                return _project(pyproject, text, tool["tamsel"], ("tool", "tamsel"), limits)
        tamsel_toml = folder / TAMSEL_TOML
        if os.path.lexists(tamsel_toml):
            text = read_project_file(tamsel_toml, limits)
            _trusted(tamsel_toml)
            return _project(tamsel_toml, text, _parse(tamsel_toml, text), (), limits)
    return None


def _home() -> Optional[Path]:
    try:
        return Path(os.path.realpath(Path.home()))
    except (RuntimeError, KeyError, OSError):
        return None


def search_folders(start: Path) -> Iterator[Path]:
    """The folders searched from `start`: its real folder, then each above it, up to and with
    the first that holds `.git` or is the home folder."""
    home = _home()
    real = Path(os.path.realpath(start))
    for folder in (real, *real.parents):
        yield folder
        if folder == home or os.path.lexists(folder / ".git"):
            return


def load_project(path: Path, limits: Limits) -> Project:
    """The project file named by the user, trusted as it is: a pyproject.toml must hold
    `[tool.tamsel]`, any other file is read as tamsel.toml is."""
    path = Path(os.path.abspath(path))
    text = read_project_file(path, limits)
    parsed = _parse(path, text)
    if path.name != PYPROJECT:
        return _project(path, text, parsed, (), limits)
    tool = _table(parsed.get("tool"))
    if tool is None or "tamsel" not in tool:
        raise ProjectError(path, None, None, "holds no [tool.tamsel] table")
    return _project(path, text, tool["tamsel"], ("tool", "tamsel"), limits)


_WRITERS = {0o020: "its group", 0o002: "others", 0o022: "its group and others"}


def _trusted(path: Path) -> None:
    """ProjectError when the file found may have been planted: owned by another user than
    the one running the command, or writable by group or others."""
    try:
        found = os.stat(path)
    except OSError:
        return  # reading it said why already
    user = os.geteuid() if hasattr(os, "geteuid") else found.st_uid
    if found.st_uid != user:
        why = f"owned by another user (uid {found.st_uid}) than the one running tamsel (uid {user})"
    elif found.st_mode & 0o022:
        why = f"writable by {_WRITERS[found.st_mode & 0o022]} (mode {found.st_mode & 0o777:03o})"
    else:
        return
    raise ProjectError(
        path,
        None,
        None,
        f"project file refused: {why}, so anyone may have planted it; if you trust it, name it: "
        f"--project {shown(path)}, or {ENVIRONMENT}={shown(path)}",
    )


def read_project_file(path: Path, limits: Limits) -> str:
    """The project file's text; every project file is read here."""
    refused = refused_path(str(path.parent), str(path.parent), path.name, "its folder", limits.allow_outside)
    if refused is not None:
        raise ProjectError(path, None, None, refused)
    try:
        data = read_bytes(str(path), limits.max_bytes)
    except FileRefused as error:
        raise ProjectError(path, None, None, error.message) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line, column = not_utf8_at(data, error)
        raise ProjectError(path, line, column, "invalid UTF-8") from None


def _parse(path: Path, text: str) -> Dict[str, Any]:
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message, line, column = _decode_error(error)
        raise ProjectError(path, line, column, f"invalid TOML: {message}") from None


def _decode_error(error: Exception) -> Tuple[str, Optional[int], Optional[int]]:
    """The reader's message and position: its attributes where it has them (3.14 on),
    else the "(at line L, column C)" that ends its message."""
    text = str(error)
    line, column = getattr(error, "lineno", None), getattr(error, "colno", None)
    if isinstance(line, int) and isinstance(column, int):
        message = getattr(error, "msg", text)
        return str(message), line, column
    message, opening, place = text.rpartition(" (at line ")
    if opening:
        line_text, _, column_text = place.rstrip(")").partition(", column ")
        if line_text.isdigit() and column_text.isdigit():
            return message, int(line_text), int(column_text)
    return text.replace(" (at end of document)", ""), None, None


def _table(value: Any) -> Optional[Dict[str, Any]]:
    return value if isinstance(value, dict) else None


def _project(file: Path, text: str, value: Any, table: Tuple[str, ...], limits: Limits) -> Project:
    places = _Places(file, text, table)
    settings = _table(value)
    if settings is None:
        raise places.error(None, f"{places.name} must be a table")
    for key in settings:
        if key not in _KEYS:
            raise places.error(key, f"unknown key '{key}' in {places.name} (known: {', '.join(_KEYS)})")
    root = file.parent
    for key in ("schema", "policy"):
        if key not in settings:
            raise places.error(None, f"{places.name} has no '{key}': the path of the {key} document")
    outside = limits.allow_outside
    schema, policy = (_document(root, places, key, settings[key], outside) for key in ("schema", "policy"))
    governance = settings.get("governance")
    return Project(
        file,
        root,
        schema,
        policy,
        None if governance is None else _document(root, places, "governance", governance, outside),
        _suites(root, places, settings.get("suites", []), outside),
    )


def _document(root: Path, places: "_Places", key: str, value: Any, allow_outside: bool) -> Path:
    if not isinstance(value, str) or not value:
        raise places.error(key, f"'{key}' must be a path (a string)")
    _inside(root, places, key, value, allow_outside)
    path = root / value
    if not path.is_file():
        kind = not_regular(path.stat().st_mode) if path.exists() else None
        raise places.error(key, f"'{key}': {value}: {kind}" if kind else f"'{key}': no such file: {value}")
    return path


def _inside(root: Path, places: "_Places", key: str, value: str, allow_outside: bool) -> None:
    """A path of the project file leads nowhere outside the project's folder."""
    refused = refused_path(str(root), str(root), value, "the project's folder", allow_outside)
    if refused is not None:
        raise places.error(key, f"'{key}': {value}: {refused}")


def _suites(root: Path, places: "_Places", value: Any, allow_outside: bool) -> Tuple[Path, ...]:
    if not isinstance(value, list) or not all(isinstance(each, str) and each for each in value):
        raise places.error("suites", "'suites' must be a list of paths (strings), files or folders")
    for each in value:
        _inside(root, places, "suites", each, allow_outside)
        if not (root / each).exists():
            raise places.error("suites", f"'suites': no such file or folder: {each}")
    return tuple(root / each for each in value)


class _Places:
    """Where in the project file a key of the tamsel table is written, found line by line.

    The TOML reader keeps no positions; a plain scan finds the table's header and the line
    that assigns a key in it (`key = ...`, the key bare or quoted) or opens it as a table of
    its own, which is where an error about that key is shown. A key it cannot find (written
    inline or dotted) is shown at the table, or without a position."""

    def __init__(self, file: Path, text: str, table: Tuple[str, ...]):
        self.file = file
        self.name = f"[{'.'.join(table)}]" if table else file.name
        self._lines = text.splitlines()
        self._table = table

    def error(self, key: Optional[str], message: str) -> ProjectError:
        line, column = self._find(key)
        return ProjectError(self.file, line, column, message)

    def _find(self, key: Optional[str]) -> Tuple[Optional[int], Optional[int]]:
        header: Tuple[Optional[int], Optional[int]] = (None, None)
        inside = not self._table
        for number, line in enumerate(self._lines, start=1):
            stripped = line.strip()
            if stripped.startswith("["):
                name = _header(stripped)
                inside = name == self._table
                if inside or (key is not None and name == (*self._table, key)):
                    header = (number, len(line) - len(line.lstrip()) + 1)
                continue
            if inside and key is not None and _assigned(stripped) == key:
                equals = line.index("=")
                value = len(line) - len(line[equals + 1 :].lstrip()) + 1
                return number, value
        return header


def _header(line: str) -> Optional[Tuple[str, ...]]:
    """The dotted name of a `[table]` line, each part unquoted; None for an array of tables."""
    if line.startswith("[["):
        return None
    name = line[1:].split("]", 1)[0]
    return tuple(part.strip().strip("\"'") for part in name.split("."))


def _assigned(line: str) -> Optional[str]:
    """The key that a `key = value` line assigns, unquoted; None for other lines."""
    key, equals, _ = line.partition("=")
    if not equals or line.startswith("#"):
        return None
    key = key.strip()
    if len(key) >= 2 and key[0] == key[-1] and key[0] in "\"'":
        return key[1:-1]
    return key
