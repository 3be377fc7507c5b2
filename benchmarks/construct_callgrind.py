"""Instructions of construction against libyaml's bare event loop over the
same three texts, counted by callgrind inside construct_bench's benchmark
bodies only (the texts are read before, the harness runs around them), per
iteration. Counts, unlike times, do not move with the load of a shared machine.

    python benchmarks/construct_callgrind.py [--bench PATH] 10000 100000

Needs valgrind, the texts of prepare.py (or $TAMSEL_BENCH_TEXTS) and a built
construct_bench (run.sh builds it under build/benchmarks/cpp).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BODIES = {"libyaml_events": "bm_libyaml_events", "construct": "bm_construct"}
# A function that each iteration calls a known number of times, outside the
# benchmark's own code (so never inlined): the iterations are counted by it.
PER_ITERATION = {"libyaml_events": ("yaml_parser_initialize", 3), "construct": ("tamsel::construct_policy(", 1)}


def calls_of(profile: str, name: str) -> int:
    """How often callgrind saw `name` called, from its (compressed) call records."""
    names: dict[str, str] = {}
    total = 0
    callee = ""
    for line in profile.splitlines():
        named = re.match(r"^c?fn=\((\d+)\)(?: (.*))?$", line)
        if named:
            if named.group(2):
                names[named.group(1)] = named.group(2)
            callee = names.get(named.group(1), "") if line.startswith("cfn=") else ""
            continue
        counted = re.match(r"^calls=(\d+) ", line)
        if counted and callee.startswith(name):
            total += int(counted.group(1))
    return total


def per_iteration(bench: Path, name: str, rules: int) -> float:
    """callgrind's total inside the benchmark body, divided by the iterations it ran."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        command = [
            "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--collect-atstart=no",
            f"--toggle-collect=*{BODIES[name]}*", str(bench), f"--benchmark_filter=^{name}/{rules}$",
            "--benchmark_min_time=0",  # the body once or twice: the calls count the iterations
        ]
        subprocess.run(command, check=True, capture_output=True, env=dict(os.environ))
        profile = out.read_text()
        total = re.search(r"^(?:summary|totals): (\d+)", profile, re.MULTILINE)
        callee, per = PER_ITERATION[name]
        iterations = calls_of(profile, callee) / per
        if total is None or iterations == 0:
            raise RuntimeError(f"no instruction total or no iteration in callgrind's output for {name}/{rules}")
        return int(total.group(1)) / iterations


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", type=Path, default=ROOT / "build" / "benchmarks" / "cpp" / "construct_bench")
    parser.add_argument("rules", type=int, nargs="+")
    args = parser.parse_args()
    print(f"{'rules':>8} {'libyaml':>15} {'construct':>15} {'ratio':>6}")
    for rules in args.rules:
        floor = per_iteration(args.bench, "libyaml_events", rules)
        built = per_iteration(args.bench, "construct", rules)
        print(f"{rules:>8} {floor:>15,.0f} {built:>15,.0f} {built / floor:>6.3f}")


if __name__ == "__main__":
    main()
