"""The solver, bounded: one budget of seconds a command, a memory cap, Ctrl-C honoured.

A question that the solver does not settle within what is left of the budget
is "unknown"; the analysis names what it leaves undecided and claims nothing
about it. z3 answers Ctrl-C during a check by cancelling it; that is turned
back into the KeyboardInterrupt that the user asked for. SIGTERM reaches
Python's handler only once the call returns, so a thread cancels the call.
"""

from __future__ import annotations

import contextlib
import gc
import math
import os
import signal
import threading
import time
from typing import Any, FrozenSet, Iterator, List, Literal, Optional, Protocol, Sequence

INSTALL_HINT = "the analysis needs the z3 solver; install it with: pip install 'tamsel[analysis]'"
MEMORY_CAP_MB = int(os.environ.get("TAMSEL_SOLVER_MEMORY_MB", "2048"))
Result = Literal["sat", "unsat", "unknown"]


class AnalysisUnavailable(Exception):
    """The solver is not installed; the message says how to install it."""


_capped: List[bool] = []


def z3_module() -> Any:
    try:
        import z3  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise AnalysisUnavailable(INSTALL_HINT) from None
    if not _capped:
        z3.set_param("memory_max_size", MEMORY_CAP_MB)
        _capped.append(True)
    return z3


def available() -> bool:
    try:
        z3_module()
    except AnalysisUnavailable:
        return False
    return True


class Progress(Protocol):
    """Told how far the analysis is, as it goes."""

    def show(self, done: int, total: int) -> None: ...


class Budget:
    """Seconds for every solver question of one command together; None: no limit."""

    def __init__(self, seconds: Optional[float] = None, progress: Optional[Progress] = None) -> None:
        self.seconds = seconds
        self.start = time.monotonic()
        self.spent: List[float] = []  # each question's share, in order
        self.progress = progress

    def remaining(self) -> float:
        if self.seconds is None:
            return math.inf
        return self.seconds - (time.monotonic() - self.start)

    def expired(self) -> bool:
        return self.remaining() <= 0

    def report(self, done: int, total: int) -> None:
        if self.progress is not None:
            self.progress.show(done, total)


def check(solver: Any, *assumptions: Any, budget: Optional[Budget] = None) -> Result:
    """The solver's answer with the assumptions, within what is left of the budget."""
    z3 = z3_module()
    left = math.inf if budget is None else budget.remaining()
    if left <= 0:
        return "unknown"
    if left != math.inf:
        solver.set("timeout", max(1, int(left * 1000)))
    started = time.monotonic()
    result = _check(z3, solver, assumptions)
    if budget is not None:
        budget.spent.append(time.monotonic() - started)
    if result == z3.sat:
        return "sat"
    if result == z3.unsat:
        return "unsat"
    reason = solver.reason_unknown()
    if "cancel" in reason or "interrupt" in reason:
        if budget is None or budget.remaining() > 0 or "interrupt" in reason:
            raise KeyboardInterrupt
    return "unknown"


def _check(z3: Any, solver: Any, assumptions: Sequence[Any]) -> Any:
    """`solver.check(*assumptions)` for boolean constants, without z3's per-assumption sort cast,
    which costs more than the check itself when a question carries hundreds of guards."""
    array = (z3.Ast * len(assumptions))(*[a.as_ast() for a in assumptions])
    with _cancellable(z3, solver.ctx):
        result = z3.Z3_solver_check_assumptions(solver.ctx.ref(), solver.solver, len(assumptions), array)
    return z3.CheckSatResult(result)


# A signal sets a flag that Python's handler reads between bytecodes, never
# during the solver's call; but the interpreter's own handler also writes the
# signal's number to the wakeup descriptor at once. A thread reading it cancels
# the call running on the main thread, which returns "unknown", and the handler
# then raises where the code stands.
_ENDING: FrozenSet[int] = frozenset({int(signal.SIGINT), int(signal.SIGTERM)})
_lock = threading.Lock()
_running: List[Any] = []  # the contexts of the checks now running on the main thread
_watching: List[bool] = []  # whether the thread runs; [False] where it cannot


@contextlib.contextmanager
def _cancellable(z3: Any, context: Any) -> Iterator[None]:
    if not _watching:
        _watching.append(_watch(z3))
    if not _watching[0] or threading.current_thread() is not threading.main_thread():
        yield
        return
    with _lock:
        _running.append(context)
    try:
        yield
    finally:
        with _lock:
            _running.remove(context)


def _watch(z3: Any) -> bool:
    """Starts the thread that cancels on a signal; False where the wakeup descriptor cannot be
    ours: off the main thread, or taken by someone else (an event loop)."""
    if threading.current_thread() is not threading.main_thread():
        return False
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
        return False
    threading.Thread(target=_cancel_on_signal, args=(z3, read), name="tamsel-solver-signals", daemon=True).start()
    return True


def _cancel_on_signal(z3: Any, read: int) -> None:
    while True:
        try:
            numbers = os.read(read, 64)
        except OSError:
            return
        if not numbers:
            return
        if _ENDING.isdisjoint(numbers):
            continue
        with _lock:
            for context in _running:
                z3.Z3_interrupt(context.ref())


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """Python's cycle collector off for one analysis: it allocates many small objects and frees
    them by reference counting, and full collections over a large policy grow with its size."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
