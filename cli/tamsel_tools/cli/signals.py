"""The solver's checks cancelled by Ctrl-C and SIGTERM while a command runs.

A signal sets a flag that Python's handler reads between bytecodes, never during
the solver's call; but the interpreter's own handler also writes the signal's
number to the wakeup descriptor at once. A thread reading it cancels the checks
running on the main thread, which return "unknown", and the handler then raises
where the code stands.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
from typing import FrozenSet, Iterator, Optional

from tamsel_tools.analysis.solver import Running

_ENDING: FrozenSet[int] = frozenset({int(signal.SIGINT), int(signal.SIGTERM)})


@contextlib.contextmanager
def cancelled_on_signal() -> Iterator[Optional[Running]]:
    """The checks that a signal cancels while the block runs; None where the wakeup descriptor
    cannot be the command's: off the main thread, or taken by someone else (an event loop)."""
    if threading.current_thread() is not threading.main_thread():
        yield None
        return
    read, write = os.pipe()
    os.set_blocking(write, False)  # a signal handler must never wait on it
    try:
        previous = signal.set_wakeup_fd(write, warn_on_full_buffer=False)
    except ValueError:
        previous = None
    if previous != -1:
        if previous is not None:
            signal.set_wakeup_fd(previous)
        os.close(read)
        os.close(write)
        yield None
        return
    running = Running()
    watcher = threading.Thread(
        target=_cancel_on_signal, args=(running, read), name="tamsel-solver-signals", daemon=True
    )
    watcher.start()
    try:
        yield running
    finally:
        signal.set_wakeup_fd(-1)
        os.close(write)  # the thread reads the end of the pipe, and ends
        watcher.join()
        os.close(read)


def _cancel_on_signal(running: Running, read: int) -> None:
    while True:
        try:
            numbers = os.read(read, 64)
        except OSError:
            return
        if not numbers:
            return
        if not _ENDING.isdisjoint(numbers):
            running.cancel()
