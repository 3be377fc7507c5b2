"""How far a long analysis is, on standard error while it runs."""

from __future__ import annotations

import contextlib
import sys
import time
from typing import IO, Iterator, Optional


class Progress:
    """`lint: 120 of 10000 rules` on standard error, past two seconds, when it is a terminal."""

    def __init__(self, what: str, unit: str = "rules", stream: Optional[IO[str]] = None, after: float = 2.0) -> None:
        self.what = what
        self.unit = unit
        # Standard error as it is when the line is made (a host may have replaced it since import).
        self.stream = sys.stderr if stream is None else stream
        self.start = time.monotonic()
        self.after = after
        self.last = 0.0
        self.shown = False
        self.enabled = self.stream.isatty()

    def show(self, done: int, total: int) -> None:
        now = time.monotonic()
        if not self.enabled or now - self.start < self.after or now - self.last < 0.2:
            return
        self.last = now
        self.shown = True
        self.stream.write(f"\r{self.what}: {done} of {total} {self.unit}")
        self.stream.flush()

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.shown = False


@contextlib.contextmanager
def progress_on_stderr(what: str, unit: str = "rules") -> Iterator[Progress]:
    """A progress line on standard error past two seconds, when it is a terminal; erased at the end."""
    progress = Progress(what, unit)
    try:
        yield progress
    finally:
        progress.close()
