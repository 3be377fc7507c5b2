"""The `tamsel` command's exit statuses: one table, written once, shown in `tamsel --help`."""

from __future__ import annotations

from typing import Tuple

GOOD = 0
# The command's negative answer: `check` rejected the documents, `test` had a
# failing case or property, `lint`, `diff` and `replay` found something.
NEGATIVE = 1
# The command could not do its job: an unreadable or refused file, documents that
# do not build for a command that needs them built, a suite that does not load.
UNUSABLE = 2
# A proof was not finished within the solver's budget: what was proven is printed,
# what was not is named as undecided and claimed nowhere.
UNDECIDED = 3
INTERNAL = 70  # EX_SOFTWARE: a disagreement with the engine or a fault of the tool
OUTPUT_FAILED = 74  # EX_IOERR: standard output or standard error could not be written
INTERRUPTED = 130  # 128 + SIGINT
BROKEN_PIPE = 141  # 128 + SIGPIPE: the reader of standard output went away
TERMINATED = 143  # 128 + SIGTERM

TABLE: Tuple[Tuple[int, str], ...] = (
    (GOOD, "success: the documents build, every test passed, nothing found"),
    (
        NEGATIVE,
        "the command's negative answer: rejected (check), a failed test, findings (lint), changes (diff, replay)",
    ),
    (UNUSABLE, "the command could not do its job: a file unreadable or refused, documents that do not build"),
    (UNDECIDED, "some question was left undecided within the solver's budget (--timeout)"),
    (INTERNAL, "internal error: please report it"),
    (OUTPUT_FAILED, "standard output or standard error could not be written"),
    (INTERRUPTED, "interrupted (Ctrl-C)"),
    (BROKEN_PIPE, "the reader of standard output went away"),
    (TERMINATED, "terminated (SIGTERM)"),
)


def epilog() -> str:
    """The table as `tamsel --help` ends with it."""
    rows = "\n".join(f"  {status:>3}  {meaning}" for status, meaning in TABLE)
    return f"exit statuses:\n{rows}"
