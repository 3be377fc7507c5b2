"""`tamsel replay`: what the policy would have decided differently on the decisions recorded."""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Optional

from tamsel_tools.base import status
from tamsel_tools.base.findings import Reported
from tamsel_tools.base.text import printable
from tamsel_tools.cli.arguments import Documents, add_command, project
from tamsel_tools.diagnostics.documents import Allowance, load_policy_texts
from tamsel_tools.io.project import shown
from tamsel_tools.render.output import print_findings
from tamsel_tools.render.replay import bad_line, json_text, text, warnings
from tamsel_tools.replaying.cluster import ClusterUnavailable
from tamsel_tools.replaying.fragments import Job, PolicyTexts
from tamsel_tools.replaying.logs import LogUnreadable
from tamsel_tools.replaying.record import parse_time
from tamsel_tools.replaying.run import Run, Throttle, baseline_hash, replay_logs
from tamsel_tools.replaying.summary import report

PROGRESS_AFTER = 1.0  # seconds: a shorter run shows no progress line


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of 1 or more, got {text!r}")
    return number


def _count(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = -1
    if number < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of 0 or more, got {text!r}")
    return number


def _time(text: str) -> Any:
    try:
        return parse_time(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "replay", run, HELP, DESCRIPTION)
    parser.add_argument("logs", metavar="LOG", nargs="+", help="a decision log: a file or a folder")
    parser.add_argument("--schema", "-s", metavar="SCHEMA", help="the schema (default: the project's)")
    parser.add_argument("--policy", "-p", metavar="POLICY", help="the policy replayed (default: the project's)")
    parser.add_argument("--governance", "-g", metavar="GOVERNANCE", help="the governance (default: the project's)")
    parser.add_argument(
        "--against", metavar="OLD_POLICY", help="compare with this policy's decisions instead of those recorded"
    )
    parser.add_argument("--since", metavar="TIME", type=_time, help="only records at this RFC 3339 time or later")
    parser.add_argument("--until", metavar="TIME", type=_time, help="only records before this RFC 3339 time")
    parser.add_argument(
        "--threads", metavar="N", type=_positive, help="threads that read and evaluate (default: a core each)"
    )
    parser.add_argument(
        "--examples", metavar="N", type=_count, default=5, help="examples of each transition (default 5)"
    )
    parser.add_argument("--json", action="store_true", help="print the summary as one JSON document")
    parser.add_argument("--skip-bad", action="store_true", help="count bad records, name the first ones and go on")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--dask", metavar="ADDRESS", help="run on the Dask scheduler at ADDRESS (tamsel[cluster])")
    cluster.add_argument(
        "--workers", metavar="N", type=_positive, help="run on a local Dask cluster of N worker processes"
    )
    return parser


def _documents(arguments: argparse.Namespace) -> Documents:
    schema, policy, governance = arguments.schema, arguments.policy, arguments.governance
    if schema is None or policy is None:
        found = project(arguments, "--schema, --policy")
        schema = schema or shown(found.schema)
        policy = policy or shown(found.policy)
        if governance is None and found.governance is not None:
            governance = shown(found.governance)
    return Documents(schema, policy, governance)


def _job(arguments: argparse.Namespace) -> Job:
    given = _documents(arguments)
    # Both held at once when there are two: their documents share one allowance.
    allowance = Allowance(
        arguments.limits, "the documents of both policies" if arguments.against else "a policy's documents"
    )
    _, texts = load_policy_texts(given.schema, given.policy, given.governance, allowance)
    against = None
    if arguments.against is not None:
        _, old = load_policy_texts(given.schema, arguments.against, given.governance, allowance)
        against = PolicyTexts(old.schema, old.policy, old.governance)
    return Job(
        PolicyTexts(texts.schema, texts.policy, texts.governance),
        against,
        since=arguments.since,
        until=arguments.until,
        examples=arguments.examples,
        skip_bad=arguments.skip_bad,
        max_bytes=arguments.limits.max_bytes,
    )


class _ProgressLine:
    """records/s and bytes read of the total, on standard error when it is a terminal, once a
    run has taken a second."""

    def __init__(self) -> None:
        self.start = time.monotonic()
        self.shown = False

    def __call__(self, done: int, records: int, total: int) -> None:
        elapsed = time.monotonic() - self.start
        if elapsed < PROGRESS_AFTER:
            return
        rate = records / elapsed
        sys.stderr.write(f"\rreplay: {records} records, {rate:,.0f} records/s, {done >> 20} of {total >> 20} MiB read")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run(arguments: argparse.Namespace) -> int:
    try:
        job = _job(arguments)
    except Reported as error:
        print_findings(error.findings, "text", sys.stderr)
        return status.UNUSABLE
    line: Optional[_ProgressLine] = _ProgressLine() if sys.stderr.isatty() else None
    where = Run(arguments.threads, arguments.dask, arguments.workers)
    try:
        summary = replay_logs(arguments.logs, job, where, None if line is None else Throttle(line))
    except LogUnreadable as error:
        print(printable(str(error)), file=sys.stderr)
        return status.UNUSABLE
    except ClusterUnavailable as error:
        print(f"tamsel replay: {printable(str(error))}", file=sys.stderr)
        return status.UNUSABLE
    finally:
        if line is not None:
            line.clear()
    first_bad = summary.first_bad()
    if first_bad is not None and not job.skip_bad:
        print(bad_line(first_bad), file=sys.stderr)
        return status.UNUSABLE
    found = report(summary, baseline_hash(job))
    for warning in warnings(found):
        print(warning, file=sys.stderr)
    sys.stdout.write(json_text(found) if arguments.json else text(found))
    return status.NEGATIVE if found.changed else status.GOOD


# What `tamsel --help` and `tamsel replay --help` say of the command.
HELP = "tell what the policy would have decided differently on recorded decisions"
DESCRIPTION = (
    "Replays the decisions recorded in each LOG (JSON Lines files, plain, gzip or zstd; Parquet files; folders "
    "of them, hive-partitioned or not) through the policy and compares each with the decision recorded, or with "
    "--against with the decision of another policy. Prints the records replayed, unchanged and changed, the "
    "transitions, the changes by deciding rule, the action types and actor values most affected and the first "
    f"examples of each transition in log order. Status {status.GOOD} when nothing changed, {status.NEGATIVE} "
    f"when something did, {status.UNUSABLE} when the replay could not be done (a bad record, without "
    "--skip-bad). Inside a project, its documents; --schema, --policy and --governance name others."
)
