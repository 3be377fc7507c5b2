"""The solver, bounded: one budget of seconds a command, a memory cap, Ctrl-C honoured.

A question that the solver does not settle within what is left of the budget
is "unknown"; the analysis names what it leaves undecided and claims nothing
about it. z3 answers Ctrl-C during a check by cancelling it; that is turned
back into the KeyboardInterrupt that the user asked for. SIGTERM reaches
Python's handler only once the call returns: a command that takes it has a
thread cancel the checks that its budget's `Running` holds (cli/signals.py).
"""

from __future__ import annotations

import contextlib
import gc
import math
import os
import threading
import time
from typing import Any, Iterator, List, Literal, Optional, Protocol, Sequence

INSTALL_HINT = "the analysis needs the z3 solver; install it with: pip install 'tamsel[analysis]'"
MEMORY_CAP_MB = int(os.environ.get("TAMSEL_SOLVER_MEMORY_MB", "2048"))
Result = Literal["sat", "unsat", "unknown"]


class AnalysisUnavailable(Exception):
    """The solver is not installed; the message says how to install it."""


class Undecided(Exception):
    """The solver left questions unsettled: a call without a budget hit its memory cap. Not a
    fault of tamsel, nor of the documents; the message names what is left."""


def z3_module() -> Any:
    try:
        import z3  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise AnalysisUnavailable(INSTALL_HINT) from None
    return z3


def new_context() -> Any:
    """A context of one analysis's own, so that its answers (the models, the inputs shown,
    which rules a core names) depend on its question alone, not on what the process asked
    before. The memory cap is z3's for the whole process: each analysis sets it as it starts."""
    z3 = z3_module()
    z3.set_param("memory_max_size", MEMORY_CAP_MB)
    return z3.Context()


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

    def __init__(
        self, seconds: Optional[float] = None, progress: Optional[Progress] = None, running: Optional[Running] = None
    ) -> None:
        self.seconds = seconds
        self.start = time.monotonic()
        self.progress = progress
        self.running = running  # where a signal finds the checks to cancel; None: z3's Ctrl-C alone

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
    result = _check(z3, solver, assumptions, None if budget is None else budget.running)
    if result == z3.sat:
        return "sat"
    if result == z3.unsat:
        return "unsat"
    reason = solver.reason_unknown()
    if "cancel" in reason or "interrupt" in reason:
        if budget is None or budget.remaining() > 0 or "interrupt" in reason:
            raise KeyboardInterrupt
    return "unknown"


def _check(z3: Any, solver: Any, assumptions: Sequence[Any], running: Optional[Running]) -> Any:
    """`solver.check(*assumptions)` for boolean constants, without z3's per-assumption sort cast,
    which costs more than the check itself when a question carries hundreds of guards."""
    array = (z3.Ast * len(assumptions))(*[a.as_ast() for a in assumptions])
    with contextlib.nullcontext() if running is None else running.check(solver.ctx):
        result = z3.Z3_solver_check_assumptions(solver.ctx.ref(), solver.solver, len(assumptions), array)
    return z3.CheckSatResult(result)


class Running:
    """The contexts of the checks now running on the main thread, which a signal cancels: a
    command that takes Ctrl-C and SIGTERM makes one, and its budget carries it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._contexts: List[Any] = []

    @contextlib.contextmanager
    def check(self, context: Any) -> Iterator[None]:
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        with self._lock:
            self._contexts.append(context)
        try:
            yield
        finally:
            with self._lock:
                self._contexts.remove(context)

    def cancel(self) -> None:
        """Cancels every check now running; each returns "unknown"."""
        with self._lock:
            for context in self._contexts:
                z3_module().Z3_interrupt(context.ref())


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
