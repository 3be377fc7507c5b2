"""pyperf benchmarks of one evaluate() call per engine and workload.

Names: evaluate/<workload>/<engine>. Engines that prepare.py found unable to
run are left out (and reported as skipped by report.py).
"""

from __future__ import annotations

import itertools
import time
from typing import Any, Callable

import prepare
import pyperf
import workloads as w


def _tamsel(wl: w.Workload) -> Callable[[dict], Any]:
    import tamsel

    return tamsel.PyTamsel(wl.schema_yaml, wl.policy_yaml).evaluate


def _floor(wl: w.Workload) -> Callable[[dict], Any]:
    import tamsel_floor

    return tamsel_floor.walk


ENGINES: dict[str, Callable[[w.Workload], Callable[[dict], Any]]] = {
    "tamsel": _tamsel,
    "floor": _floor,
    "python": lambda wl: w.python_evaluator(wl.rules),
    "python_by_hand": lambda wl: w.example_by_hand,
    "cedarpy": lambda wl: w.cedar_evaluator(wl.rules),
    "casbin": lambda wl: w.casbin_evaluator(wl.rules),
}

_cache: dict[tuple[str, str], tuple[Callable[[dict], Any], dict]] = {}


def _prepared(workload: str, engine: str) -> tuple[Callable[[dict], Any], dict]:
    """Built once per worker process, outside the timed loop."""
    key = (workload, engine)
    if key not in _cache:
        wl = next(x for x in w.evaluation_workloads() if x.name == workload)
        _cache[key] = (ENGINES[engine](wl), wl.input)
    return _cache[key]


def time_evaluate(loops: int, workload: str, engine: str) -> float:
    evaluate, inp = _prepared(workload, engine)
    repeat = itertools.repeat(None, loops)
    start = time.perf_counter()
    for _ in repeat:
        evaluate(inp)
    return time.perf_counter() - start


def wanted(workload: str, engine: str, available: dict) -> bool:
    if engine == "python_by_hand":
        # the hand-written version exists for the example policy only
        return workload.startswith(("example", "fields_"))
    return bool(available[engine]["available"])


def main() -> None:
    runner = pyperf.Runner()
    available = prepare.load_engines()
    for wl in w.evaluation_workloads():
        for engine in ENGINES:
            if wanted(wl.name, engine, available):
                runner.bench_time_func(f"evaluate/{wl.name}/{engine}", time_evaluate, wl.name, engine)


if __name__ == "__main__":
    main()
