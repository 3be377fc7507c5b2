"""Time to prove or refute 100 properties over the construction benchmark's
generated 1,000-rule policy (eight rule shapes over ten actions).

    python benchmarks/bench_properties.py [--rules 1000] [--properties 100] [--repeat 3] [--mix holding]

The properties cycle through every form a suite can write: each action's
inputs and every input, a condition taken from one of the policy's own rules
(so that some hold, for that rule decides first) or a comparison of its own,
and each kind of expectation; with --mix holding, claims that all hold, so that
every one is a proof of the solver. The figure is the best of --repeat runs of
`Policy.check_properties`, wall time (and the CPU time of the process, the
solver's included), from the compiled policy to every answer
(conditions compiled, the solver built, refuting inputs made 1-minimal and
checked with the engine).
"""

from __future__ import annotations

import argparse
import sys
import time
from collections import Counter
from pathlib import Path
from typing import Any, Dict, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

from tamsel_tools import Policy, Property  # noqa: E402


def condition(rule: workloads.Rule) -> Any:
    """A rule's condition in the JSON list form that a suite writes."""
    members = []
    for cond in rule.conds:
        right = ({"subject": list(cond.rhs_subject)} if cond.rhs_subject is not None
                 else {"literal": float(cond.value) if isinstance(cond.value, int) and not isinstance(cond.value, bool)
                       else cond.value})  # fmt: skip
        members.append([[cond.domain, cond.field], cond.op, right])
    return members[0] if rule.kind == "atomic" else {rule.kind: members}


def properties(rules: tuple[workloads.Rule, ...], count: int) -> List[Property]:
    found = []
    for i in range(count):
        rule = rules[(i * 37) % len(rules)]
        data: Dict[str, Any] = {"name": f"property {i}"}
        scoped = rule.scope[0] == "action"
        if scoped:
            data["action"] = rule.scope[1]
        if rule.scope[0] != "actor":
            data["when"] = condition(rule)
        else:
            data["when"] = [["actor", "trust_level"], "greater_than", {"literal": float(i)}]
        shape = i % 3
        if shape == 0:
            data["expect"] = {"effect": rule.effect}
        elif shape == 1:
            data["expect"] = {"not_effect": [e for e in workloads.EFFECTS if e != rule.effect][i % 2]}
        else:
            data["expect"] = {"matched_rule": [rule.id, None]}
        found.append(Property.from_json(data))
    return found


def holding(rules: tuple[workloads.Rule, ...], count: int) -> List[Property]:
    """Claims that hold, each a solver's proof: the inputs that meet a rule's condition are
    decided by that rule or by one before it that they meet too (of its action's list, or for a
    global rule, of any action's list or the global rules up to it)."""
    found = []
    deciding = [(i, rule) for i, rule in enumerate(rules) if rule.scope[0] != "actor"]
    for n in range(count):
        i, rule = deciding[(n * 37) % len(deciding)]
        if rule.scope[0] == "action":
            before = [r.id for r in rules[: i + 1] if r.scope == rule.scope]
        else:
            kept = [r for j, r in enumerate(rules) if r.scope[0] == "action" or (r.scope[0] == "global" and j <= i)]
            before = [r.id for r in kept]
        data: Dict[str, Any] = {"name": f"property {n}", "when": condition(rule), "expect": {"matched_rule": before}}
        if rule.scope[0] == "action":
            data["action"] = rule.scope[1]
        found.append(Property.from_json(data))
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rules", type=int, default=1000)
    parser.add_argument("--properties", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--mix", choices=("every", "holding"), default="every",
                        help="every kind of claim (most are refuted), or claims that all hold")
    arguments = parser.parse_args()
    rules = workloads.generated_rules(arguments.rules)
    policy = Policy(workloads.CONSTRUCTION_SCHEMA, workloads.policy_text(rules))
    claims = (properties if arguments.mix == "every" else holding)(rules, arguments.properties)
    times, cpu = [], []
    results: List[Any] = []
    for _ in range(arguments.repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        results = policy.check_properties(claims, timeout=None)
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    verdicts = Counter(result.verdict for result in results)
    print(f"{arguments.properties} properties ({arguments.mix}) over {arguments.rules} rules: best {min(times):.2f} s "
          f"of {', '.join(f'{t:.2f}' for t in times)} s wall, {min(cpu):.2f} s CPU; {dict(verdicts)}")  # fmt: skip


if __name__ == "__main__":
    main()
