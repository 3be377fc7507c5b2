"""`tamsel test --properties-only` on suites of properties by the thousand: wall time
and peak resident memory of the whole command (from /usr/bin/time when it is there).

    python benchmarks/bench_property_suites.py [--only many|schema] [--repeat 1] [--properties N]

Two workloads, each a suite file written into a fresh folder beside its documents:

- many: 28,000 small properties over the example's refund policy, in four forms that
  cycle (a large amount is blocked, a frozen actor is never allowed, trust below the
  floor is blocked, and an amount above i is blocked, which a small i refutes), so that
  three of four hold and the rest are refuted with an input made 1-minimal;
- schema: 300 properties against a schema of about 3 MB (3,000 actions of 40 fields
  each), over a policy of 40 rules on the first 20 actions, each property on one of
  those actions with a comparison of one of its fields.

The target of each is 5 s on the 2-core machine; the figure is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Tuple

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "refunds"
TAMSEL = str(Path(sys.executable).parent / "tamsel")


def many(count: int) -> Tuple[Dict[str, str], List[Dict[str, Any]]]:
    documents = {name: (EXAMPLE / name).read_text() for name in ("schema.yaml", "policy.yaml")}
    found: List[Dict[str, Any]] = []
    for i in range(count):
        shape = i % 4
        if shape == 0:
            data = {
                "action": "refund",
                "when": [["action", "amount"], "greater_than", {"literal": 1000 + i}],
                "expect": {"effect": "block"},
            }
        elif shape == 1:
            data = {
                "action": "refund",
                "when": [["actor", "frozen"], "equals", {"literal": True}],
                "expect": {"not_effect": "allow"},
            }
        elif shape == 2:
            data = {
                "when": [["actor", "trust_level"], "less_than", {"subject": ["snapshot", "min_trust_level"]}],
                "expect": {"effect": "block"},
            }
        else:
            data = {
                "action": "refund",
                "when": [["action", "amount"], "greater_than", {"literal": i % 2000}],
                "expect": {"effect": "block"},
            }
        found.append({"name": f"property {i}", **data})
    return documents, found


ACTIONS, FIELDS, RULED = 3000, 40, 20


def large_schema(count: int) -> Tuple[Dict[str, str], List[Dict[str, Any]]]:
    lines = ["version: 1", "actions:"]
    for a in range(ACTIONS):
        lines += [f"  action_{a:04d}:", "    fields:"]
        lines += [
            f"      field_{f:02d}_{'n' if f % 2 == 0 else 's'}: {'number' if f % 2 == 0 else 'string'}"
            for f in range(FIELDS)
        ]
    lines += [
        "actor:",
        "  fields:",
        "    trust_level: number",
        "    role: string",
        "snapshot:",
        "  fields:",
        "    min_trust_level: number",
    ]
    schema = "\n".join(lines) + "\n"
    rules = ["version: 1", "rules:"]
    for r in range(2 * RULED):
        action = f"action_{r % RULED:04d}"
        if r < RULED:
            when = f"[[action, field_00_n], greater_than, {{literal: {100 * (r + 1)}}}]"
            effect = "block"
        else:
            when = "{any: [[[action, field_01_s], equals, {literal: x}], [[actor, role], equals, {literal: admin}]]}"
            effect = "require_approval"
        rules += [f"  - id: rule_{r}", f"    scope: {{action: {action}}}", f"    when: {when}", f"    effect: {effect}"]
    rules += [
        "  - id: trust",
        "    scope: {global: true}",
        "    when: [[actor, trust_level], less_than, {subject: [snapshot, min_trust_level]}]",
        "    effect: block",
    ]
    found: List[Dict[str, Any]] = []
    for i in range(count):
        r = i % RULED
        limit = 100 * (r + 1) + (i % 3) * 50 - 50  # below, at and above the rule's own bound
        found.append(
            {
                "name": f"property {i}",
                "action": f"action_{r:04d}",
                "when": [["action", "field_00_n"], "greater_than", {"literal": limit}],
                "expect": {"effect": ["block", "require_approval"]},
            }
        )
    return {"schema.yaml": schema, "policy.yaml": "\n".join(rules) + "\n"}, found


WORKLOADS = {"many": (many, 28_000), "schema": (large_schema, 300)}


class Run(NamedTuple):
    seconds: float  # wall
    cpu: float  # user and system, of the command alone; 0 when unknown
    peak: int  # KB; 0 when unknown
    summary: str
    status: int


def measure(folder: Path, tamsel: List[str]) -> Run:
    """One run of the command in the folder."""
    timer = "/usr/bin/time" if Path("/usr/bin/time").exists() else None
    command = [*tamsel, "test", "--properties-only", "--timeout", "600", "x.suite.json"]
    if timer is not None:
        command = [timer, "-f", "%M %U %S", *command]
    start = time.perf_counter()
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    peak, cpu = 0, 0.0
    if timer is not None:
        found = re.findall(r"^([0-9]+) ([0-9.]+) ([0-9.]+)$", done.stderr, re.MULTILINE)
        if found:
            peak, cpu = int(found[-1][0]), float(found[-1][1]) + float(found[-1][2])
    summary = [line for line in done.stdout.splitlines() if " passed, " in line]
    return Run(seconds, cpu, peak, summary[-1] if summary else done.stderr.strip()[-200:], done.returncode)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", choices=sorted(WORKLOADS))
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--properties", type=int, help="another number of properties than the workload's")
    parser.add_argument(
        "--python",
        help="run `PYTHON -m tamsel_tools` (another build, with PYTHONPATH) instead of this environment's tamsel",
    )
    arguments = parser.parse_args()
    for name, (make, count) in WORKLOADS.items():
        if arguments.only not in (None, name):
            continue
        documents, properties = make(arguments.properties or count)
        with tempfile.TemporaryDirectory() as temporary:
            folder = Path(temporary)
            for file, text in documents.items():
                (folder / file).write_text(text)
            suite = {"schema": "schema.yaml", "policy": "policy.yaml", "properties": properties}
            (folder / "x.suite.json").write_text(json.dumps(suite))
            size = len(documents["schema.yaml"])
            tamsel = [TAMSEL] if arguments.python is None else [arguments.python, "-m", "tamsel_tools"]
            runs = [measure(folder, tamsel) for _ in range(arguments.repeat)]
        best = min(runs)
        print(
            f"{name}: {len(properties)} properties, schema {size / 1e6:.2f} MB: best {best.seconds:.2f} s "
            f"({', '.join(f'{r.seconds:.2f}' for r in runs)}) wall, {best.cpu:.2f} s CPU, "
            f"peak {best.peak / 1024:.0f} MB, status {best.status}: {best.summary}"
        )


if __name__ == "__main__":
    main()
