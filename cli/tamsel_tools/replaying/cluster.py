"""Replaying on Dask's distributed scheduler: one task a fragment, each returning its partial
summary. A worker lost while it runs a task costs the task again on another worker (the
scheduler does so by itself), never a count: a task's summary is merged once, when it returns."""

from __future__ import annotations

import logging
from contextlib import ExitStack
from typing import Any, Iterator, Optional, Sequence

from tamsel_tools.replaying.fragments import Job, replay_fragment
from tamsel_tools.replaying.logs import Fragment
from tamsel_tools.replaying.summary import PartialSummary


class ClusterUnavailable(Exception):
    """Dask is not installed, or its scheduler cannot be reached."""


def _distributed() -> Any:
    try:
        import distributed  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise ClusterUnavailable("--dask and --workers need dask and distributed (tamsel[cluster])") from None
    return distributed


def client(stack: ExitStack, address: Optional[str], workers: Optional[int]) -> Any:
    """A client of the scheduler at `address`, or of a local cluster of `workers` processes, one
    thread each, closed with the stack."""
    distributed = _distributed()
    try:
        if address is not None:
            return stack.enter_context(distributed.Client(address, timeout="10s"))
        cluster = stack.enter_context(
            distributed.LocalCluster(
                n_workers=workers or 1,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                silence_logs=logging.ERROR,
            )
        )
        return stack.enter_context(distributed.Client(cluster))
    except (OSError, TimeoutError) as error:
        raise ClusterUnavailable(f"cannot reach the Dask scheduler: {error}") from None


def on_dask(
    fragments: Sequence[Fragment], job: Job, address: Optional[str], workers: Optional[int]
) -> Iterator[PartialSummary]:
    """Each fragment's partial summary, as its task returns it."""
    distributed = _distributed()
    with ExitStack() as stack:
        connected = client(stack, address, workers)
        if not fragments:
            return
        futures = connected.map(replay_fragment, list(fragments), job=job, pure=False)
        try:
            for future in distributed.as_completed(futures):
                yield future.result()
                future.release()
        finally:
            connected.cancel(futures)
