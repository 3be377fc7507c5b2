"""Writes the construction texts, finds out which engines can run, and checks
that every engine that runs gives the expected answer on every evaluation
workload, so that no figure is taken from an engine that answers something
else. The verdict goes to results/engines.json, which the benchmarks read.

Exit status 1 when an engine that runs answers wrongly (a figure would then be
meaningless), 0 otherwise; engines that cannot run are recorded with the reason.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Callable

import workloads as w

ENGINES_FILE = w.RESULTS / "engines.json"


def _tamsel(wl: w.Workload) -> Callable[[dict], Any]:
    import tamsel

    return tamsel.PyTamsel(wl.schema_yaml, wl.policy_yaml).evaluate


def _floor(wl: w.Workload) -> Callable[[dict], Any]:
    import tamsel_floor

    return tamsel_floor.walk


def _python(wl: w.Workload) -> Callable[[dict], Any]:
    return w.python_evaluator(wl.rules)


def _cedarpy(wl: w.Workload) -> Callable[[dict], Any]:
    evaluate = w.cedar_evaluator(wl.rules)
    return lambda inp: w.cedar_answer(wl.rules, evaluate(inp))


def _casbin(wl: w.Workload) -> Callable[[dict], Any]:
    evaluate = w.casbin_evaluator(wl.rules)
    return lambda inp: w.casbin_answer(evaluate(inp))


FACTORIES = {"tamsel": _tamsel, "floor": _floor, "python": _python, "cedarpy": _cedarpy, "casbin": _casbin}


def agrees(engine: str, answer: Any, expected: tuple[str, str | None]) -> bool:
    effect, rule = expected
    if engine == "floor":
        return answer == {"effect": "allow", "matched_rule": None}
    if engine in ("tamsel", "python"):
        return answer == {"effect": effect, "matched_rule": rule}
    if engine == "cedarpy":
        decision, reasons = answer
        return decision == "allow" if effect == "allow" else (decision == "deny" and reasons == [rule])
    return answer == (effect, rule)  # casbin


def check_engine(engine: str) -> tuple[bool, str]:
    """(runs, reason). Raises AssertionError when the engine runs but answers wrongly."""
    for wl in w.evaluation_workloads():
        try:
            evaluate = FACTORIES[engine](wl)
        except ImportError as e:
            return False, f"not installed ({e})"
        except ValueError as e:
            return False, f"cannot construct the {wl.name} policy: {e}"
        answer = evaluate(wl.input)
        if not agrees(engine, answer, wl.expected):
            raise AssertionError(f"{engine} answers {answer!r} on {wl.name}; expected {wl.expected!r}")
    return True, ""


def check_construction(sizes: list[int]) -> tuple[bool, str]:
    """tamsel must build every generated policy (with its governance) before
    construction is timed; the texts are read from the files the C++ side reads."""
    try:
        import tamsel
    except ImportError as e:
        return False, f"not installed ({e})"
    for n in sizes:
        schema, policy, governance = w.read_construction_texts(n)
        try:
            tamsel.PyTamsel(schema, policy, governance)
        except ValueError as e:
            return False, f"cannot construct the {n}-rule policy: {e}"
    return True, ""


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], required=True)
    args = parser.parse_args()
    w.RESULTS.mkdir(parents=True, exist_ok=True)
    w.write_construction_texts(args.sizes)

    verdict: dict[str, dict] = {}
    failed = False
    for engine in FACTORIES:
        try:
            runs, reason = check_engine(engine)
        except AssertionError as e:
            runs, reason, failed = False, f"answers wrongly: {e}", True
        verdict[engine] = {"available": runs, "reason": reason}
    runs, reason = check_construction(args.sizes)
    verdict["tamsel_construction"] = {"available": runs, "reason": reason}
    verdict["sizes"] = args.sizes
    ENGINES_FILE.write_text(json.dumps(verdict, indent=2), encoding="utf-8")

    for engine, v in verdict.items():
        if isinstance(v, dict) and not v["available"]:
            print(f"prepare: {engine} skipped: {v['reason']}", file=sys.stderr)
    return 1 if failed else 0


def load_engines() -> dict:
    return json.loads(ENGINES_FILE.read_text(encoding="utf-8"))


if __name__ == "__main__":
    sys.exit(main())
