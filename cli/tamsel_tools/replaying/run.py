"""A whole replay: the logs cut into fragments, each replayed by a thread of this process or a
task of a Dask cluster, the partial summaries merged as they come, in any order."""

from __future__ import annotations

import os
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, List, Optional, Sequence, Set

from tamsel_tools.replaying.fragments import Job, built, replay_fragment
from tamsel_tools.replaying.logs import Fragment, outline_of, plan
from tamsel_tools.replaying.summary import PartialSummary, ReplayReport, report

# Told the bytes and records done so far, and the bytes in all.
Progress = Callable[[int, int, int], None]


@dataclass(frozen=True)
class Run:
    """Where the fragments are replayed: threads of this process, or a Dask cluster."""

    threads: Optional[int] = None  # None: one a core
    dask: Optional[str] = None  # a scheduler's address
    workers: Optional[int] = None  # a local cluster of so many worker processes


def default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _stopping(job: Job, merged: PartialSummary) -> bool:
    return not job.skip_bad and merged.bad > 0


def _in_threads(fragments: Iterable[Fragment], job: Job, threads: int) -> Iterator[PartialSummary]:
    """Each fragment's partial summary, at most `threads` fragments read at once (so memory is
    bounded by so many batches), as they finish. The fragments are taken as threads free up."""
    pending = iter(fragments)
    running: Set[Future[PartialSummary]] = set()
    with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="replay") as pool:
        try:
            while True:
                while len(running) < threads:
                    fragment = next(pending, None)
                    if fragment is None:
                        break
                    running.add(pool.submit(replay_fragment, fragment, job))
                if not running:
                    return
                done, running = wait(running, return_when=FIRST_COMPLETED)
                for future in done:
                    yield future.result()
        finally:
            for future in running:
                future.cancel()


def _on_dask(fragments: Sequence[Fragment], job: Job, run: Run) -> Iterator[PartialSummary]:
    from tamsel_tools.replaying.cluster import on_dask

    yield from on_dask(fragments, job, run.dask, run.workers)


def merge_all(
    partials: Iterable[PartialSummary], job: Job, total: int, progress: Optional[Progress] = None
) -> PartialSummary:
    merged = PartialSummary()
    for partial in partials:
        merged.merge(partial, job.examples)
        if progress is not None:
            progress(merged.bytes_read, merged.records, total)
        if _stopping(job, merged):
            break
    return merged


def replay_logs(logs: Sequence[str], job: Job, run: Run = Run(), progress: Optional[Progress] = None) -> PartialSummary:
    """The merged summary of the logs. LogUnreadable when a LOG names nothing readable."""
    built(job.policy)  # the documents' faults found here, before any fragment
    if job.against is not None:
        built(job.against)
    outline = outline_of(logs)
    start = PartialSummary()
    for each in outline.bad:
        start.add_bad(each)
    if _stopping(job, start):
        return start
    if run.dask is not None or run.workers is not None:
        partials: Iterable[PartialSummary] = _on_dask(list(outline.fragments()), job, run)
        return start.merge(merge_all(partials, job, outline.total, progress), job.examples)
    threads = run.threads or default_threads()
    with _arrow_threads(threads):
        partials = _in_threads(outline.fragments(), job, threads)
        return start.merge(merge_all(partials, job, outline.total, progress), job.examples)


@contextmanager
def _arrow_threads(threads: int) -> Iterator[None]:
    """pyarrow's own pool (which decodes Parquet's columns) bounded by the same count, for the
    run: --threads bounds every thread that reads and evaluates."""
    try:
        import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        yield
        return
    before = pyarrow.cpu_count()
    pyarrow.set_cpu_count(min(threads, before))
    try:
        yield
    finally:
        pyarrow.set_cpu_count(before)


def baseline_hash(job: Job) -> Optional[str]:
    """The hash records are expected to carry: the old policy's with --against; else None (the
    first record's is taken)."""
    return None if job.against is None else built(job.against).policy_hash()


def replay_report(logs: Sequence[str], job: Job, run: Run = Run(), progress: Optional[Progress] = None) -> ReplayReport:
    return report(replay_logs(logs, job, run, progress), baseline_hash(job))


class Throttle:
    """Calls through at most every `interval` seconds."""

    def __init__(self, call: Callable[..., Any], interval: float = 0.5):
        self.call, self.interval, self.last = call, interval, 0.0

    def __call__(self, *arguments: Any) -> None:
        now = time.monotonic()
        if now - self.last >= self.interval:
            self.last = now
            self.call(*arguments)


def fragments_of(logs: Sequence[str]) -> List[Fragment]:
    """The fragments that a replay of the logs runs, in log order (for other engines' tasks)."""
    return plan(logs)[0]
