"""Instructions per evaluate() call, counted by callgrind, for tamsel and the
floor on the evaluation workloads; the ratio of the two is the figure.

Each engine and workload runs twice under callgrind in a fresh interpreter,
with a few warm-up calls and then two different numbers of calls; the
difference of the two totals divided by the difference of the call counts is
the cost of one call, loop included, with start-up and construction cancelled
out. Instruction counts do not depend on the machine's load.

    python benchmarks/evaluate_callgrind.py [-o results/callgrind.json]

Needs valgrind, tamsel and the floor extension installed in the running Python.
"""

from __future__ import annotations

import argparse
import itertools
import json
from pathlib import Path

import callgrind
import workloads as w

ENGINES = ("tamsel", "floor")
WARM_UP = 50
# Extra calls of the second run; fewer where one call is long.
EXTRA_CALLS = {"readme": 4000, "example": 4000, "last_of_1000": 4000, "fields_10": 4000,
               "fields_100": 1000, "fields_1000": 200}  # fmt: skip


def workload_table() -> dict[str, w.Workload]:
    table = {wl.name: wl for wl in w.evaluation_workloads()}
    table["readme"] = w.readme_workload()
    return table


def evaluator(engine: str, wl: w.Workload):
    if engine == "floor":
        import tamsel_floor

        return tamsel_floor.walk
    import tamsel

    return tamsel.PyTamsel(wl.schema_yaml, wl.policy_yaml).evaluate


def run_calls(engine: str, workload: str, calls: int) -> None:
    """The measured process: build, then call evaluate `calls` times."""
    wl = workload_table()[workload]
    evaluate, inp = evaluator(engine, wl), wl.input
    for _ in itertools.repeat(None, calls):
        evaluate(inp)


def total_instructions(engine: str, workload: str, calls: int) -> int:
    return callgrind.instructions([__file__, "--run", engine, workload, str(calls)])


def per_call(engine: str, workload: str) -> float:
    extra = EXTRA_CALLS[workload]
    first = total_instructions(engine, workload, WARM_UP)
    second = total_instructions(engine, workload, WARM_UP + extra)
    return (second - first) / extra


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workloads", default=",".join(EXTRA_CALLS))
    parser.add_argument("-o", "--output", type=Path)
    parser.add_argument("--run", nargs=3, metavar=("ENGINE", "WORKLOAD", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run:
        run_calls(args.run[0], args.run[1], int(args.run[2]))
        return
    rows = []
    print(f"{'workload':<14}{'tamsel':>12}{'floor':>12}{'ratio':>8}")
    for workload in args.workloads.split(","):
        counts = {engine: per_call(engine, workload) for engine in ENGINES}
        ratio = counts["tamsel"] / counts["floor"]
        rows.append({"workload": workload, "instructions": counts, "ratio": ratio})
        print(f"{workload:<14}{counts['tamsel']:>12,.0f}{counts['floor']:>12,.0f}{ratio:>8.2f}", flush=True)
    if args.output:
        args.output.parent.mkdir(parents=True, exist_ok=True)
        args.output.write_text(json.dumps(rows, indent=2) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
