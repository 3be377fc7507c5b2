"""Time of the exact analysis: `lint`, and `diff` against one edit, on the
generated policies of the construction benchmark (its mix of eight rule
shapes over ten actions), at 100, 1,000 and 10,000 rules; then on shapes
that are hard for a solver (--shapes):

  overlap   1,000 rules over three actions that read the same few fields, with
            NaN, -0.0 and infinite literals and field-to-field comparisons: lint,
            and diff against two edits, side by side with a plain one-query-per-rule
            reference analysis (analysis_reference.py), whose answers must agree
  edits     3,000 rules of the overlap mix, diff against two edits: time and peak
            resident memory, in a fresh process
  reversal  80 rules of the overlap mix against the same rules in reverse order
  cycle     one rule whose condition is a cycle of 30 (and 60) strict field-to-field
            comparisons, which no input satisfies: lint, and diff against no rules

    python benchmarks/bench_analysis.py [--sizes 100,1000,10000] [--shapes overlap,edits,reversal,cycle]
                                        [--repeat 3] [-o out.json]

Each figure is the best of --repeat runs, wall time, on one core. The edit
changes the effect of the global rule nearest the middle of the policy, which
decides in every group of inputs: after the rules of each action, and alone. The growth column
is the ratio to the previous size's time divided by the ratio of the sizes:
1.0 is linear growth.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import resource
import subprocess
import sys
import time
from dataclasses import replace
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import analysis_reference  # noqa: E402
import workloads  # noqa: E402

from tamsel_tools import Policy  # noqa: E402
from tamsel_tools.analysis import api  # noqa: E402


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
    lint_time, lint_cpu, findings = timed(repeat, lambda: api.lint(old_rules, old_policy.engine))
    diff_time, diff_cpu, changes = timed(
        repeat, lambda: api.diff(old_rules, old_policy.engine, new_rules, new_policy.engine)
    )
    kinds: Dict[str, int] = {}
    for finding in findings:
        kinds[finding.kind] = kinds.get(finding.kind, 0) + 1
    return {"rules": size, "lint_s": lint_time, "lint_cpu_s": lint_cpu, "diff_s": diff_time, "diff_cpu_s": diff_cpu,
            "findings": kinds, "changes": len(changes)}  # fmt: skip


def growth(rows: List[Dict[str, Any]], key: str, i: int) -> str:
    if i == 0:
        return ""
    ratio = (rows[i][key] / rows[i - 1][key]) / (rows[i]["rules"] / rows[i - 1]["rules"])
    return f"{ratio:.2f}"


# ---------------------------------------------------------------- shapes hard for a solver

OVERLAP_ACTIONS = ("pay", "send", "close")
OVERLAP_SCHEMA = "\n".join([
    "version: 1", "actions:",
    *[line for a in OVERLAP_ACTIONS for line in (f"  {a}:", "    fields:", "      amount: number", "      limit: number",
                                                  "      note: string", "      urgent: boolean")],
    "actor:", "  fields:", "    level: number", "    role: string",
    "snapshot:", "  fields:", "    floor: number", "    mode: boolean",
]) + "\n"  # fmt: skip
_NUMBER_FIELDS = ("action.amount", "action.limit", "actor.level", "snapshot.floor")
_NUMBERS = (0.0, -0.0, 1.0, 2.5, -3.0, 10.0, 100.0, 1000.0, math.nan, math.inf, -math.inf)
_TEXTS = ("a", "b", "c", "d", "e", "f", "EUR", "")


def _yaml_number(value: float) -> str:
    if math.isnan(value):
        return ".nan"
    return (".inf" if value > 0 else "-.inf") if math.isinf(value) else repr(value)


def _overlap_comparison(rng: random.Random, in_action: bool) -> str:
    numbers = [f for f in _NUMBER_FIELDS if in_action or not f.startswith("action.")]
    roll = rng.random()
    if roll < 0.6:
        left = rng.choice(numbers)
        operator = rng.choices(["greater_than", "less_than", "equals", "not_equals"], [4, 4, 3, 1])[0]
        if rng.random() < 0.3:
            right = "{subject: [" + rng.choice([f for f in numbers if f != left]).replace(".", ", ") + "]}"
        else:
            special = rng.random() < 0.3
            value = rng.choice(_NUMBERS) if special else float(rng.randrange(0, 1000, 5))
            right = "{literal: " + _yaml_number(value) + "}"
    elif roll < 0.8:
        left = "action.note" if in_action and rng.random() < 0.5 else "actor.role"
        operator = rng.choices(["equals", "not_equals"], [6, 1])[0]
        right = "{literal: " + json.dumps(rng.choice(_TEXTS)) + "}"
    else:
        left = "action.urgent" if in_action and rng.random() < 0.5 else "snapshot.mode"
        operator = rng.choice(["equals", "not_equals"])
        right = "{literal: " + rng.choice(["true", "false"]) + "}"
    return f"[{left.replace('.', ', ')}]|{operator}|{right}"


def overlap_rules(count: int, seed: int = 1) -> List[str]:
    """The overlap mix: each rule as its YAML lines."""
    rng = random.Random(seed)
    rules = []
    for i in range(count):
        action = rng.choice([*OVERLAP_ACTIONS, None])
        scope = "{global: true}" if action is None else "{action: " + action + "}"
        condition = rng.choices(["atomic", "all", "any"], [1, 7, 2])[0]
        count = 1 if condition == "atomic" else rng.choice([2, 2, 3])
        members = [_overlap_comparison(rng, action is not None).split("|") for _ in range(count)]
        effect = rng.choice(["block", "require_approval", "allow"])
        if condition == "atomic":
            (left, operator, right), = members
            when = f" {{subject: {left}, operator: {operator}, value: {right}}}\n"
        else:
            when = f"\n      {condition}:\n" + "".join(f"        - [{l}, {o}, {r}]\n" for l, o, r in members)
        rules.append(f"  - id: r{i}\n    scope: {scope}\n    when:{when}    effect: {effect}\n")
    return rules


def _policy(rules: List[str]) -> str:
    return "version: 1\nrules:\n" + "".join(rules)


def two_edits(rules: List[str], seed: int = 2) -> List[str]:
    """Two rules that decide some input, the first at or after a third and two thirds in, replaced by
    other rules of the mix. (Most rules of the mix never decide, and an edit of one changes nothing.)"""
    rng = random.Random(seed)
    edited = list(rules)
    policy = Policy(OVERLAP_SCHEMA, _policy(rules))
    never = {finding.index for finding in api.lint(policy.rules, policy)}
    for start in (len(rules) // 3, 2 * len(rules) // 3):
        at = next(i for i in range(start, len(rules)) if i not in never)
        replacement = overlap_rules(1, seed=rng.randrange(10**6))[0]
        edited[at] = replacement.replace("  - id: r0\n", f"  - id: r{at}\n", 1)
    return edited


def cycle_policy(length: int) -> Tuple[str, str]:
    fields = [f"f{i}" for i in range(length)]
    schema = "version: 1\nactions:\n  go:\n    fields:\n" + "".join(f"      {f}: number\n" for f in fields)
    schema += "actor:\n  fields: {}\nsnapshot:\n  fields: {}\n"
    members = "".join(f"        - [[action, f{i}], less_than, {{subject: [action, f{(i + 1) % length}]}}]\n"
                      for i in range(length))  # fmt: skip
    policy = f"version: 1\nrules:\n  - id: cycle\n    scope: {{action: go}}\n    when:\n      all:\n{members}"
    return schema, policy + "    effect: block\n"


def _lint_pairs(policy: Policy) -> Dict[int, str]:
    return {f.index: f.kind for f in api.lint(policy.rules, policy) if f.kind != "actor_scoped"}


def _diff_pairs(old: Policy, new: Policy) -> set:  # type: ignore[type-arg]
    return {(c.action, c.old.index, c.new.index) for c in api.diff(old.rules, old, new.rules, new)}


def timed(repeat: int, run: Callable[[], Any]) -> Tuple[float, float, Any]:
    """The best wall time and the best processor time of `repeat` runs, and the result."""
    walls, cpus, result = [], [], None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        result = run()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), result


def side_by_side(name: str, schema: str, old_text: str, new_text: str, repeat: int) -> Dict[str, Any]:
    """lint of the old policy and diff of the two, against the reference, whose answers must agree.
    Wall and processor times both: on a busy machine the second says more."""
    old, new = Policy(schema, old_text), Policy(schema, new_text)
    row: Dict[str, Any] = {"shape": name, "rules": len(old.rules)}
    lint = timed(repeat, lambda: _lint_pairs(old))
    reference_lint = timed(1, lambda: analysis_reference.lint(old.rules))
    diff = timed(repeat, lambda: _diff_pairs(old, new))
    reference_diff = timed(1, lambda: analysis_reference.diff(old.rules, new.rules))
    if lint[2] != reference_lint[2] or diff[2] != reference_diff[2]:
        raise SystemExit(f"{name}: the analysis and the reference disagree:\n{lint[2]}\n{reference_lint[2]}\n"
                         f"{sorted(diff[2], key=str)}\n{sorted(reference_diff[2], key=str)}")  # fmt: skip
    for what, ours, reference in (("lint", lint, reference_lint), ("diff", diff, reference_diff)):
        row.update({f"{what}_s": ours[0], f"{what}_cpu_s": ours[1], f"reference_{what}_s": reference[0],
                    f"reference_{what}_cpu_s": reference[1], f"{what}_cpu_ratio": ours[1] / reference[1]})  # fmt: skip
    row.update({"findings": len(lint[2]), "changes": len(diff[2])})
    return row


def edits_in_fresh_process(count: int) -> Dict[str, Any]:
    """Diff of `count` rules of the overlap mix against two edits: time and peak resident memory."""
    script = (f"import sys, time, resource; sys.path.insert(0, {str(HERE)!r}); import bench_analysis as b; "
              f"from tamsel_tools import Policy, api; rules = b.overlap_rules({count}); "
              "old = Policy(b.OVERLAP_SCHEMA, b._policy(rules)); new = Policy(b.OVERLAP_SCHEMA, b._policy(b.two_edits(rules))); "
              "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss; start = time.perf_counter(); "
              "cpu = time.process_time(); changes = api.diff(old.rules, old, new.rules, new); "
              "seconds, cpu = time.perf_counter() - start, time.process_time() - cpu; "
              "print(seconds, len(changes), before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, cpu)")  # fmt: skip
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout.split()
    return {"shape": "edits", "rules": count, "diff_s": float(out[0]), "diff_cpu_s": float(out[4]),
            "changes": int(out[1]), "rss_before_mb": int(out[2]) / 1024, "peak_rss_mb": int(out[3]) / 1024}  # fmt: skip


def shapes(names: List[str], repeat: int) -> List[Dict[str, Any]]:
    rows: List[Dict[str, Any]] = []
    if "overlap" in names:
        rules = overlap_rules(1000)
        rows.append(side_by_side("overlap", OVERLAP_SCHEMA, _policy(rules), _policy(two_edits(rules)), repeat))
    if "edits" in names:
        rows.append(edits_in_fresh_process(3000))
    if "reversal" in names:
        rules = overlap_rules(80, seed=3)
        rows.append(side_by_side("reversal", OVERLAP_SCHEMA, _policy(rules), _policy(rules[::-1]), repeat))
    if "cycle" in names:
        for length in (30, 60):
            schema, text = cycle_policy(length)
            policy, empty = Policy(schema, text), Policy(schema, "version: 1\nrules: []\n")
            lint_time, findings = best(repeat, lambda: _lint_pairs(policy))
            diff_time, pairs = best(repeat, lambda: _diff_pairs(policy, empty))
            assert findings == {0: "unsatisfiable"} and not pairs, (findings, pairs)
            rows.append({"shape": f"cycle {length}", "rules": 1, "lint_s": lint_time, "diff_s": diff_time})
    for row in rows:
        figures = "  ".join(f"{k} {v:.3f}" if isinstance(v, float) else f"{k} {v}" for k, v in row.items())
        print(figures, flush=True)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="100,1000,10000")
    parser.add_argument("--shapes", default="overlap,edits,reversal,cycle")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("-o", "--output")
    arguments = parser.parse_args()
    rows: List[Dict[str, Any]] = []
    print(f"{'rules':>6} {'lint s':>8} {'cpu s':>8} {'growth':>6} {'diff s':>8} {'cpu s':>8} {'growth':>6}"
          "  findings / changes (growth of processor time)")  # fmt: skip
    for size in (int(s) for s in arguments.sizes.split(",") if s):
        rows.append(measure(size, arguments.repeat))
        row, i = rows[-1], len(rows) - 1
        print(f"{size:>6} {row['lint_s']:>8.3f} {row['lint_cpu_s']:>8.3f} {growth(rows, 'lint_cpu_s', i):>6} "
              f"{row['diff_s']:>8.3f} {row['diff_cpu_s']:>8.3f} {growth(rows, 'diff_cpu_s', i):>6}  "
              f"{row['findings']} / {row['changes']} changes", flush=True)  # fmt: skip
    rows += shapes([name for name in arguments.shapes.split(",") if name], arguments.repeat)
    if arguments.output:
        Path(arguments.output).write_text(json.dumps(rows, indent=2) + "\n")


if __name__ == "__main__":
    main()
