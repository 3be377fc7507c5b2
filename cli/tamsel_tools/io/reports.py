"""The report files of `tamsel test` (`--junit`, `--coverage-json`, the pages of
`--coverage-html`): never in place of an input.

An option's value is easily taken from the next argument: `--junit a.suite.json
b.suite.json` once replaced the suite with XML. A report may therefore only
replace a file that is a report of the same kind, never a suite or a document
of the run, and it is written beside its place and renamed into it, so that an
interrupted run leaves the old report or the new one, never half of one.
"""

from __future__ import annotations

import os
import re
import stat
import tempfile
from typing import Iterable, List, Literal, Optional, Sequence, Tuple

from tamsel_tools.io.reading import SUITE_ENDINGS, not_regular

ReportKind = Literal["junit", "coverage", "coverage_html"]

OPTIONS = {"junit": "--junit", "coverage": "--coverage-json", "coverage_html": "--coverage-html"}
# How each report that the tools write begins.
_BEGINNINGS = {
    "junit": re.compile(rb"<\?xml version=.1\.0. encoding=.utf-8.\?>\s*<testsuites name=\"tamsel\""),
    "coverage": re.compile(rb"\{\s*\"policies\"\s*:"),
    "coverage_html": re.compile(rb"<!DOCTYPE html>\n<!-- tamsel coverage report -->\n"),
}
# The page of a --coverage-html folder that tells it is a report's.
FOLDER_INDEX = "index.html"
_LOOKED_AT = 256  # bytes: enough to see the beginning


class ReportRefused(Exception):
    """The report's file is refused before anything runs; the message says why."""


def _same_file(path: str, other: str) -> bool:
    try:
        return os.path.samefile(path, other)
    except OSError:
        return os.path.normpath(os.path.abspath(path)) == os.path.normpath(os.path.abspath(other))


def _beginning(path: str) -> bytes:
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        return os.read(descriptor, _LOOKED_AT)
    finally:
        os.close(descriptor)


def _folder_refusal(path: str, inputs: Iterable[str]) -> Optional[str]:
    """Why the folder of --coverage-html may not take its pages: it is a file, or its index is
    not a page of a report (the other pages are checked as they are written)."""
    if path.endswith(SUITE_ENDINGS):
        return f"a suite's name; the option takes the report's folder first: {OPTIONS['coverage_html']} DIR SUITE ..."
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return None
    except OSError as error:
        return f"cannot look at it: {error.strerror or error}"
    if not stat.S_ISDIR(mode):
        return "it exists and is not a folder"
    refused = _refusal(os.path.join(path, FOLDER_INDEX), "coverage_html", inputs)
    return None if refused is None else f"its {FOLDER_INDEX}: {refused}"


def _unwritable(path: str) -> Optional[str]:
    """Why no report can be made at path, looked at before anything runs; None when it can."""
    if not path:
        return "an empty path, which names no file"
    if "\0" in path:
        return "not a path: it holds a NUL character"
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        return "its folder does not exist"
    if not os.access(folder, os.W_OK | os.X_OK):
        return "its folder is not writable"
    return None


def _refusal(path: str, kind: ReportKind, inputs: Iterable[str]) -> Optional[str]:
    if path.endswith(SUITE_ENDINGS):
        return f"a suite's name; the option takes the report's file first: {OPTIONS[kind]} FILE SUITE ..."
    for each in inputs:
        if _same_file(path, each):
            return "it is an input of this run"
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return None
    except OSError as error:
        return f"cannot look at it: {error.strerror or error}"
    refused = not_regular(mode)
    if refused is not None:
        return refused
    try:
        beginning = _beginning(path)
    except OSError as error:
        return f"cannot look at it: {error.strerror or error}"
    if _BEGINNINGS[kind].match(beginning) is None:
        return "the file exists and is not a report that tamsel wrote"
    return None


def refusals(targets: Sequence[Tuple[Optional[str], ReportKind]], inputs: Sequence[str]) -> List[str]:
    """Why each report's file asked for (None: not asked for) is refused, one line each: one of
    the inputs, a file that is not a report of its kind, or the file of an earlier report."""
    lines: List[str] = []
    asked: List[str] = []
    for path, kind in targets:
        if path is None:
            continue
        try:
            if any(_same_file(path, other) for other in asked):
                raise ReportRefused(f"{OPTIONS[kind]} {path}: refused: another report is written there")
            unwritable = _unwritable(path)
            if unwritable is not None:
                raise ReportRefused(f"{OPTIONS[kind]} {path}: refused: {unwritable}")
            if kind == "coverage_html":
                check_folder(path, inputs)
            else:
                check_target(path, kind, inputs)
        except ReportRefused as error:
            lines.append(str(error))
        asked.append(path)
    return lines


def check_target(path: str, kind: ReportKind, inputs: Iterable[str]) -> None:
    """ReportRefused when the report may not be written at path: a suite or a document of the
    run (`inputs`), or an existing file that is not a report of this kind from the tools."""
    refused = _refusal(path, kind, inputs)
    if refused is not None:
        raise ReportRefused(f"{OPTIONS[kind]} {path}: refused: {refused}")


def check_folder(path: str, inputs: Iterable[str]) -> None:
    """ReportRefused when the pages of --coverage-html may not be written into the folder."""
    refused = _folder_refusal(path, inputs)
    if refused is not None:
        raise ReportRefused(f"{OPTIONS['coverage_html']} {path}: refused: {refused}")


def _mode(path: str) -> int:
    """The existing report's permissions, or those a new file gets."""
    try:
        return os.stat(path).st_mode & 0o777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def write(path: str, data: bytes) -> None:
    """Writes the report to a new file beside path and renames it into place; OSError when that
    fails, with nothing left behind."""
    folder = os.path.dirname(path) or "."
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".partial")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.chmod(temporary, _mode(path))
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
