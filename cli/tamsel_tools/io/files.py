"""Every file that a command reads or writes, one function for each kind of file.

Documents, suites and inputs are read as UTF-8 from their bytes, so that the
positions reported in them are the engine's own; what refuses a file says so
here, once for every command. Only regular files are read, up to the cap of
`--max-bytes` (see _reading); reports never replace an input (see reports).
"""

from __future__ import annotations

import os
from typing import Callable, Sequence, Tuple

from tamsel_tools.base.findings import Diagnostic, Reported
from tamsel_tools.base.text import printable
from tamsel_tools.io import reports
from tamsel_tools.io.reading import FileRefused, Limits, not_utf8_at, read_bytes, too_large, too_wide


class Unreadable(Reported):
    """The file could not be read at all."""


class NotText(Reported):
    """The file was read but is not UTF-8 text; the finding is at the first bad byte."""


class Unwritable(Exception):
    """A report could not be written; the argument is the line that says why."""


def _utf8(path: str, limit: int, refusal: Callable[[int], str] = too_large) -> str:
    try:
        data = read_bytes(path, limit, refusal)
    except FileRefused as error:
        raise Unreadable(Diagnostic("error", path, None, None, error.message, code="unreadable")) from None
    wide = too_wide(data, limit)
    if wide is not None:
        raise Unreadable(Diagnostic("error", path, None, None, wide, code="unreadable"))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line, column = not_utf8_at(data, error)
        raise NotText(Diagnostic("error", path, line, column, "invalid UTF-8", code="invalid_utf8")) from None


def read_document(path: str, limit: int, refusal: Callable[[int], str]) -> str:
    """A schema, policy or governance document's text, of at most `limit` bytes."""
    return _utf8(path, limit, refusal)


def read_suite(path: str, limits: Limits) -> str:
    """A decision test suite's text."""
    return _utf8(path, limits.max_bytes)


def read_input(path: str, limits: Limits) -> str:
    """The text of one input file of `eval` or `explain`."""
    return _utf8(path, limits.max_bytes)


def write_report(path: str, data: bytes) -> None:
    """Writes a report that the user named (JUnit, coverage), whole or not at all; Unwritable
    when it cannot."""
    try:
        reports.write(path, data)
    except OSError as error:
        raise Unwritable(printable(f"{path}: cannot write: {error.strerror or error}")) from None


def write_pages(folder: str, pages: Sequence[Tuple[str, str]], inputs: Sequence[str]) -> None:
    """Writes the pages of a report folder that the user named (--coverage-html), making the
    folder when it is not there; each page whole, and none over an input or a file that is not
    a page of such a report. Unwritable when one cannot be written."""
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise Unwritable(printable(f"{folder}: cannot make the folder: {error.strerror or error}")) from None
    for name, text in pages:
        path = os.path.join(folder, name)
        try:
            reports.check_target(path, "coverage_html", inputs)
        except reports.ReportRefused as refused:
            raise Unwritable(printable(str(refused))) from None
        write_report(path, text.encode("utf-8"))
