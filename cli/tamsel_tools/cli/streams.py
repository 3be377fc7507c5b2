"""The command's process: its output streams failing, and the signals that end it.

A full disk, a closed standard output or a reader that went away must not end
in a traceback, nor in status 1, which CI reads as "rejected". Ctrl-C and
SIGTERM end the command at once, but through the code's own exits, so that a
report being written is removed rather than left half done.
"""

from __future__ import annotations

import io
import os
import signal
import sys
import threading
import time
from contextlib import contextmanager
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, Optional, TextIO, Union

from tamsel_tools.base.status import BROKEN_PIPE, INTERRUPTED, OUTPUT_FAILED, TERMINATED

_Handler = Union[Callable[[int, Optional[FrameType]], Any], int, signal.Handlers, None]


class OutputFailed(Exception):
    """Writing to standard output or standard error failed."""

    def __init__(self, name: str, descriptor: int, error: OSError):
        super().__init__(f"{name}: {error.strerror or error}")
        self.name = name
        self.descriptor = descriptor
        self.error = error


class Terminated(BaseException):
    """SIGTERM, raised where the code stands, as Ctrl-C raises KeyboardInterrupt."""


class _Raw(io.FileIO):
    """A standard stream's descriptor, whose write errors are told apart from every other."""

    def __init__(self, descriptor: int, name: str):
        super().__init__(descriptor, "w", closefd=False)
        self.stream_name = name

    def write(self, data: Any) -> int:
        try:
            written = super().write(data)
        except OSError as error:
            raise OutputFailed(self.stream_name, self.fileno(), error) from None
        return 0 if written is None else written


def _occupy(descriptor: int) -> None:
    """Keeps a closed standard descriptor taken, by a file that cannot be written, so that no file
    opened later gets its number and every write to it fails."""
    try:
        os.fstat(descriptor)
    except OSError:
        taken = os.open(os.devnull, os.O_RDONLY)
        if taken != descriptor:
            os.dup2(taken, descriptor)
            os.close(taken)


def _checked(descriptor: int, name: str, original: Optional[TextIO]) -> TextIO:
    line_buffering = True if original is None else bool(original.line_buffering)
    encoding = "utf-8" if original is None else original.encoding
    buffered = io.BufferedWriter(_Raw(descriptor, name))
    # Names from documents may hold any character; a report must not fail on one.
    return io.TextIOWrapper(buffered, encoding=encoding, errors="backslashreplace", line_buffering=line_buffering)


def _silence(descriptor: int) -> None:
    """Points the descriptor at /dev/null, so that what is still buffered for it goes nowhere
    instead of failing again when the interpreter exits."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, descriptor)
        os.close(null)
    except OSError:
        pass


def _say(line: str) -> None:
    """One line on standard error, if it can be written at all."""
    try:
        os.write(2, (line + "\n").encode("utf-8", "backslashreplace"))
    except OSError:
        pass


def _is_real(stream: Optional[TextIO], descriptor: int) -> bool:
    """Whether the stream is the process's own (not one put in its place, as tests do)."""
    if stream is None:
        return True
    try:
        return stream.fileno() == descriptor
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return False


@contextmanager
def _checked_streams() -> Iterator[None]:
    """Standard output and error replaced, for the block, by streams whose write errors raise
    OutputFailed; streams that are not the process's own are left as they are."""
    names: List[str] = []
    saved: Dict[str, Optional[TextIO]] = {"stdout": sys.stdout, "stderr": sys.stderr}
    for name, descriptor in (("stdout", 1), ("stderr", 2)):
        stream = saved[name]
        if not _is_real(stream, descriptor):
            continue
        if stream is not None:
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        _occupy(descriptor)
        setattr(sys, name, _checked(descriptor, f"standard {'output' if descriptor == 1 else 'error'}", stream))
        names.append(name)
    try:
        yield
    finally:
        for name in names:
            replaced = getattr(sys, name)
            setattr(sys, name, saved[name])
            try:
                replaced.flush()
            except (OutputFailed, OSError, ValueError):
                pass


class _Signals:
    """SIGINT and SIGTERM, for the run of one command: the first one raises where the code
    stands; any later one is ignored, so that the way out is not itself cut short.

    Python drops what a finalizer (`__del__`) raises, so a signal that comes while one runs is
    taken again once it has returned; and once a signal has come, what the objects it cut short
    raise as they are finalized is not printed."""

    def __init__(self) -> None:
        self.taken: Optional[int] = None
        self.previous: Dict[int, _Handler] = {}
        self.previous_hook = sys.unraisablehook

    def _raise(self, signum: int, frame: Optional[FrameType]) -> None:
        if _in_finalizer(frame):
            threading.Thread(target=_signal_again, args=(signum,), daemon=True).start()
            return
        for each in self.previous:
            signal.signal(each, signal.SIG_IGN)
        self.taken = signum
        raise KeyboardInterrupt if signum == signal.SIGINT else Terminated

    def _unraisable(self, unraisable: Any) -> None:
        if self.taken is None:
            self.previous_hook(unraisable)

    def install(self) -> None:
        if threading.current_thread() is not threading.main_thread():
            return
        for signum in (signal.SIGINT, signal.SIGTERM):
            self.previous[signum] = signal.getsignal(signum)
            signal.signal(signum, self._raise)
        sys.unraisablehook = self._unraisable

    def restore(self) -> None:
        """The handlers as they were, unless a signal came: then they stay ignored until exit."""
        if self.taken is not None or not self.previous:
            return
        sys.unraisablehook = self.previous_hook
        mask = set(self.previous)
        signal.pthread_sigmask(signal.SIG_BLOCK, mask)
        try:
            for signum, handler in self.previous.items():
                signal.signal(signum, handler)
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, mask)


def _in_finalizer(frame: Optional[FrameType]) -> bool:
    while frame is not None:
        if frame.f_code.co_name == "__del__":
            return True
        frame = frame.f_back
    return False


def _signal_again(signum: int) -> None:
    # Soon enough to be at once for a person, late enough for the finalizer to have returned;
    # should it not have, the handler defers it again.
    time.sleep(0.005)
    os.kill(os.getpid(), signum)


def _flush() -> None:
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()


def _failed(error: OutputFailed) -> int:
    _silence(error.descriptor)
    if error.descriptor == 1 and isinstance(error.error, BrokenPipeError):
        return BROKEN_PIPE  # the reader went away (`| head`): quietly, as other tools
    if error.descriptor == 1:
        _say(f"tamsel: cannot write {error}")
    return OUTPUT_FAILED


def run_guarded(command: Callable[[], int]) -> int:
    """Runs the command, flushes its output and gives its status, or the status of what ended it:
    74 when an output stream failed, 141 when standard output's reader went away, 130 on Ctrl-C,
    143 on SIGTERM; at most one line on standard error for any of them, never a traceback."""
    signals = _Signals()
    try:
        signals.install()
        with _checked_streams():
            try:
                status = command()
                _flush()
            except OutputFailed as error:
                status = _failed(error)
    except (KeyboardInterrupt, Terminated, Exception) as error:
        # What a signal's exception became on its way out (ctypes wraps what is raised while
        # it converts an argument) ends the command as the signal does.
        if signals.taken is None and not isinstance(error, (KeyboardInterrupt, Terminated)):
            raise
        interrupted = isinstance(error, KeyboardInterrupt) or signals.taken == signal.SIGINT
        status = INTERRUPTED if interrupted else TERMINATED
        _say("tamsel: interrupted" if interrupted else "tamsel: terminated")
    finally:
        signals.restore()
    return status
