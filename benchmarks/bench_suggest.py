"""Time of `suggest` and of coverage with the pairs that show comparisons deciding alone, on the
generated policies of the construction benchmark (its eight rule shapes over ten actions).

For each size: the policy built; coverage counted over --cases random inputs (explain and add);
the alone share read; then `suggest` from that coverage, with its cases, the gaps, and those left
impossible or undecided. Wall time, best of --repeat runs.

    python benchmarks/bench_suggest.py [--sizes 100,300,1000] [--cases 1000] [--repeat 3] [-o out.json]
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time
from pathlib import Path
from typing import Any, Dict, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

from tamsel_tools import Policy, suggest  # noqa: E402

VALUES = {
    "number": (0.0, 1.0, 3.0, 100.0, 5000.0),
    "string": ("EUR", "USD", "C7", "R6", "role 4"),
    "boolean": (True, False),
}


def random_input(rng: random.Random) -> Dict[str, Any]:
    data: Dict[str, Dict[str, Any]] = {"action": {"type": f"action_{rng.randrange(workloads.ACTION_COUNT)}"},
                                       "actor": {}, "snapshot": {}}  # fmt: skip
    for name in workloads.ALL_FIELDS:
        if rng.random() < 0.6:
            domain, field = name.split(".")
            kind = "boolean" if field in ("flagged", "frozen", "maintenance_mode") else \
                "string" if field in ("currency", "role", "region") else "number"  # fmt: skip
            data[domain][field] = rng.choice(VALUES[kind])
    return data


def best(repeat: int, work: Any) -> tuple[float, Any]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def measure(size: int, cases: int, repeat: int) -> Dict[str, Any]:
    policy = Policy(*workloads.construction_texts(size))
    rng = random.Random(size)
    inputs = [random_input(rng) for _ in range(cases)]

    def count() -> Any:
        coverage = policy.coverage()
        for number, data in enumerate(inputs):
            coverage.add(policy.explain(data), f"case {number}")
        return coverage

    counting, coverage = best(repeat, count)
    sharing, alone = best(repeat, lambda: coverage.alone_share)
    suggesting, found = best(repeat, lambda: suggest(policy, coverage))
    return {
        "rules": size,
        "cases": cases,
        "coverage_s": round(counting, 3),
        "alone_share_s": round(sharing, 4),
        "alone": f"{alone.covered} of {alone.total}",
        "suggest_s": round(suggesting, 3),
        "gaps": len(found.gaps),
        "suggested": len(found.cases),
        "impossible": len(found.impossible),
        "undecided": len(found.undecided),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="100,300,1000")
    parser.add_argument("--cases", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("-o", "--output")
    arguments = parser.parse_args()
    rows: List[Dict[str, Any]] = []
    for size in (int(each) for each in arguments.sizes.split(",")):
        rows.append(measure(size, arguments.cases, arguments.repeat))
        print(json.dumps(rows[-1]), flush=True)
    if arguments.output:
        Path(arguments.output).write_text(json.dumps(rows, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
