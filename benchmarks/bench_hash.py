"""pyperf benchmarks of policy_hash() against hashlib's SHA-256 over as many
bytes as the canonical text holds.

The module gives no access to the canonical text, so its length comes from the
C++ benchmark hash_bench, which renders the same policies through the core and
reports the length (results/cpp_hash.json). Names: hash/<rules>/<engine>.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import time
from typing import Callable

import prepare
import pyperf
import workloads as w

CPP_RESULTS = w.RESULTS / "cpp_hash.json"


def canonical_lengths() -> dict[int, int]:
    """rules -> canonical text bytes, from the C++ benchmark's counters."""
    if not CPP_RESULTS.exists():
        return {}
    lengths = {}
    for b in json.loads(CPP_RESULTS.read_text(encoding="utf-8"))["benchmarks"]:
        if b["name"].startswith("canonical_text_sha256/") and b.get("run_type") == "iteration" and "text_bytes" in b:
            lengths[int(b["run_name"].split("/")[1])] = int(b["text_bytes"])
    return lengths


_prepared: dict[tuple[int, str], Callable[[], object]] = {}


def _make(rules: int, engine: str) -> Callable[[], object]:
    if engine == "tamsel":
        import tamsel

        return tamsel.PyTamsel(*w.read_construction_texts(rules)).policy_hash
    data = b"x" * canonical_lengths()[rules]
    return lambda: hashlib.sha256(data).hexdigest()


def time_hash(loops: int, rules: int, engine: str) -> float:
    if (rules, engine) not in _prepared:
        _prepared[(rules, engine)] = _make(rules, engine)
    digest = _prepared[(rules, engine)]
    start = time.perf_counter()
    for _ in range(loops):
        digest()
    return time.perf_counter() - start


def add_cmdline_args(cmd: list[str], args: argparse.Namespace) -> None:
    cmd.extend(("--sizes", ",".join(map(str, args.sizes))))


def main() -> None:
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], required=True)
    args = runner.parse_args()
    tamsel_ok = prepare.load_engines()["tamsel_construction"]["available"]
    lengths = canonical_lengths()
    for n in args.sizes:
        if tamsel_ok:
            runner.bench_time_func(f"hash/{n}/tamsel", time_hash, n, "tamsel")
        if n in lengths:
            runner.bench_time_func(f"hash/{n}/hashlib", time_hash, n, "hashlib")


if __name__ == "__main__":
    main()
