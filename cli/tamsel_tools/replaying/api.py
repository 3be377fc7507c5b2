"""`tamsel_tools.replay(...)`: a replay from Python, returning a typed `ReplayReport`."""

from __future__ import annotations

import datetime
import os
from typing import Optional, Sequence, Union

from tamsel_tools.model.policy import Policy
from tamsel_tools.replaying.cluster import ClusterUnavailable
from tamsel_tools.replaying.fragments import Job, PolicyTexts
from tamsel_tools.replaying.logs import LogUnreadable
from tamsel_tools.replaying.run import Run, baseline_hash, replay_logs
from tamsel_tools.replaying.summary import ReplayReport, report

Path = Union[str, "os.PathLike[str]"]


class ReplayError(Exception):
    """A replay that could not be done: a log that cannot be read, or a bad record (without
    `skip_bad`), located as FILE:LINE or FILE: row group N."""


def _texts(policy: Policy) -> PolicyTexts:
    return PolicyTexts(policy.schema_yaml, policy.policy_yaml, policy.governance_yaml)


def replay(
    logs: Union[Path, Sequence[Path]],
    policy: Policy,
    *,
    against: Optional[Policy] = None,
    since: Optional[datetime.datetime] = None,
    until: Optional[datetime.datetime] = None,
    examples: int = 5,
    skip_bad: bool = False,
    threads: Optional[int] = None,
    dask: Optional[str] = None,
    workers: Optional[int] = None,
    max_bytes: int = 32 << 20,
) -> ReplayReport:
    """Replays the decision logs (files or folders, in the order given) through `policy` and
    compares each record's outcome with the one recorded, or with `against`'s. Raises
    `ReplayError` for a log that cannot be read or a bad record unless `skip_bad`."""
    paths = [os.fspath(logs)] if isinstance(logs, (str, os.PathLike)) else [os.fspath(each) for each in logs]
    job = Job(
        _texts(policy),
        None if against is None else _texts(against),
        since=since,
        until=until,
        examples=examples,
        skip_bad=skip_bad,
        max_bytes=max_bytes,
    )
    try:
        summary = replay_logs(paths, job, Run(threads, dask, workers))
    except (LogUnreadable, ClusterUnavailable) as error:
        raise ReplayError(str(error)) from None
    bad = summary.first_bad()
    if bad is not None and not skip_bad:
        raise ReplayError(f"{bad.where}: {bad.message}")
    return report(summary, baseline_hash(job))
