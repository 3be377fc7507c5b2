"""Time of the exact analysis: `lint`, and `diff` against one edit, on the
generated policies of the construction benchmark (its mix of eight rule
shapes over ten actions), at 100, 1,000 and 10,000 rules.

    python benchmarks/bench_analysis.py [--sizes 100,1000,10000] [--repeat 3] [-o out.json]

Each figure is the best of --repeat runs, wall time, on one core. The edit
changes the effect of the global rule nearest the middle of the policy, which
decides in every group of inputs: after the rules of each action, and alone. The growth column
is the ratio to the previous size's time divided by the ratio of the sizes:
1.0 is linear growth.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from dataclasses import replace
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

from tamsel_tools import Policy, _analysis  # noqa: E402


def edited(rules: Tuple[workloads.Rule, ...]) -> Tuple[workloads.Rule, ...]:
    """The policy with one edit: the global `any` rule (shape 6) nearest the
    middle, which decides the inputs in its own region, gets the next effect."""
    middle = len(rules) // 2 - (len(rules) // 2) % 8 + 6
    rule = rules[middle]
    effects = workloads.EFFECTS
    changed = replace(rule, effect=effects[(effects.index(rule.effect) + 1) % len(effects)])
    return rules[:middle] + (changed,) + rules[middle + 1 :]


def best(repeat: int, run: Callable[[], Any]) -> Tuple[float, Any]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def measure(size: int, repeat: int) -> Dict[str, Any]:
    old = workloads.generated_rules(size)
    old_policy, new_policy = (Policy(workloads.CONSTRUCTION_SCHEMA, workloads.policy_text(r)) for r in (old, edited(old)))
    old_rules, new_rules = old_policy.rules, new_policy.rules
    lint_time, findings = best(repeat, lambda: _analysis.lint(old_rules, old_policy.engine))
    diff_time, changes = best(
        repeat, lambda: _analysis.diff(old_rules, old_policy.engine, new_rules, new_policy.engine)
    )
    kinds: Dict[str, int] = {}
    for finding in findings:
        kinds[finding.kind] = kinds.get(finding.kind, 0) + 1
    return {"rules": size, "lint_s": lint_time, "diff_s": diff_time, "findings": kinds,
            "changes": len(changes)}  # fmt: skip


def growth(rows: List[Dict[str, Any]], key: str, i: int) -> str:
    if i == 0:
        return ""
    ratio = (rows[i][key] / rows[i - 1][key]) / (rows[i]["rules"] / rows[i - 1]["rules"])
    return f"{ratio:.2f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100,1000,10000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("-o", "--output")
    arguments = parser.parse_args()
    rows = []
    print(f"{'rules':>6} {'lint s':>8} {'growth':>6} {'diff s':>8} {'growth':>6}  findings / changes")
    for size in (int(s) for s in arguments.sizes.split(",")):
        rows.append(measure(size, arguments.repeat))
        row, i = rows[-1], len(rows) - 1
        print(f"{size:>6} {row['lint_s']:>8.3f} {growth(rows, 'lint_s', i):>6} {row['diff_s']:>8.3f} "
              f"{growth(rows, 'diff_s', i):>6}  {row['findings']} / {row['changes']} changes", flush=True)  # fmt: skip
    if arguments.output:
        Path(arguments.output).write_text(json.dumps(rows, indent=2) + "\n")


if __name__ == "__main__":
    main()
