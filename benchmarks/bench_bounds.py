"""Construction of hostile and ordinary documents, each in a fresh process:
time, peak and retained memory, per megabyte of the three texts.

  bench_bounds.py                 every shape, as a table
  bench_bounds.py --only a,b      some shapes (names as the table prints them)
  bench_bounds.py --json FILE     also write the rows as JSON
  bench_bounds.py --against DIR   also construct each shape with the tamsel
                                  module installed in DIR (pip --target), right
                                  after this one, and print the time ratio, so
                                  that a loaded machine can still be judged

Memory is resident memory above the child's baseline, taken after the texts
are in memory: the peak is VmHWM (reset through /proc/self/clear_refs before
construction), the retained figure is VmRSS while the object is alive. The
targets are those of construction: at most 0.15 s per MB (1 s allowed), a
peak of at most 4x the texts (64 MB allowed; 10x where one long list lies
inside a buffered value), and for an ordinary policy at most 6x at peak and
2x retained.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import workloads as w

MB = 1_000_000
SCHEMA = ("version: 1\nactions:\n  refund:\n    fields: {amount: number}\n"
          "actor: {fields: {}}\nsnapshot: {fields: {}}\n")
RULE = "{{id: {id}, scope: {{action: refund}}, when: [[action, amount], greater_than, {{literal: 1}}], effect: block}}"


def _rules(count: int, rule_id: Callable[[int], str] = lambda i: f"r{i}") -> str:
    return "".join(f"  - {RULE.format(id=rule_id(i))}\n" for i in range(count))


def _flow_list(count: int) -> str:
    return "[" + ",".join("1" for _ in range(count)) + "]"


def _aliases(name: str, count: int) -> str:
    return "[" + ", ".join(f"*{name}" for _ in range(count)) + "]"


def long_id_aliased() -> tuple[str, str, str | None]:
    policy = f"version: 1\nid: &id {'a' * MB}\nrules:\n" + _rules(1000, lambda i: "*id")
    return SCHEMA, policy, None


def long_id_under_budget() -> tuple[str, str, str | None]:
    """As many aliases of the 1 MB id as the replay budget lets through."""
    policy = f"version: 1\nid: &id {'a' * MB}\nrules:\n" + _rules(17, lambda i: "*id")
    return SCHEMA, policy, None


def list_aliased_in_when() -> tuple[str, str, str | None]:
    policy = (f"version: 1\nl: &l {_flow_list(200_000)}\nrules:\n  - id: r\n    scope: {{action: refund}}\n"
              f"    when: {{x: {_aliases('l', 100)}}}\n    effect: block\n")  # fmt: skip
    return SCHEMA, policy, None


def list_aliased_in_scope() -> tuple[str, str, str | None]:
    policy = (f"version: 1\nl: &l {_flow_list(100_000)}\nrules:\n  - id: r\n"
              f"    scope: {{x: {_aliases('l', 1000)}}}\n    when: [[action, amount], equals, {{literal: 1}}]\n"
              "    effect: block\n")  # fmt: skip
    return SCHEMA, policy, None


def fields_block_aliased() -> tuple[str, str, str | None]:
    fields = ", ".join(f"f{i}: string" for i in range(100_000))
    schema = f"version: 1\nactor: {{fields: {{}}}}\nsnapshot: {{fields: {{}}}}\nactions:\n  a0: &f {{fields: {{{fields}}}}}\n"
    schema += "".join(f"  a{i}: *f\n" for i in range(1, 190))
    return schema, "version: 1\nrules: []\n", None


def long_list_ignored() -> tuple[str, str, str | None]:
    policy = (f"version: 1\nrules:\n  - id: r\n    scope: {{action: refund}}\n"
              f"    when: {{x: {_flow_list(5_000_000)}}}\n    effect: block\n")  # fmt: skip
    return SCHEMA, policy, None


def _governance(applies_to: str, must: str) -> str:
    return (f"version: 1\ngovernance:\n  rules:\n    - id: g\n{applies_to}"
            f"      select: {{where: {{}}}}\n      must: {must}\n      error: e\n")  # fmt: skip


def applies_to_many() -> tuple[str, str, str | None]:
    actions = ", ".join(f"x{i}" for i in range(100_000))
    governance = _governance(f"      applies_to: {{actions: [{actions}]}}\n", "{exists: true}")
    return SCHEMA, "version: 1\nrules:\n" + _rules(20_000), governance


def allowed_fields_many() -> tuple[str, str, str | None]:
    fields = ", ".join(f"action.f{i}" for i in range(100_000))
    governance = _governance("", f"{{allowed_fields: [{fields}, action.amount]}}")
    return SCHEMA, "version: 1\nrules:\n" + _rules(20_000), governance


def ordinary() -> tuple[str, str, str | None]:
    return SCHEMA, "version: 1\nrules:\n" + _rules(110_000), None


def ordinary_workload() -> tuple[str, str, str | None]:
    """The construction benchmark's mix of scopes and condition forms, with
    its governance document."""
    return w.construction_texts(60_000)


def condition_anchor_reused() -> tuple[str, str, str | None]:
    """Ordinary use of aliases: one condition and one scope written once and
    named by 5,000 rules."""
    policy = ("version: 1\ncondition: &c {all: [[[action, amount], greater_than, {literal: 1000}],"
              " [[action, amount], less_than, {literal: 5000}], [[action, amount], not_equals, {literal: 7}]]}\n"
              "scope: &s {action: refund}\nrules:\n")  # fmt: skip
    policy += "".join(f"  - {{id: r{i}, scope: *s, when: *c, effect: block}}\n" for i in range(5000))
    return SCHEMA, policy, None


@dataclass(frozen=True)
class Shape:
    name: str
    make: Callable[[], tuple[str, str, str | None]]
    peak_factor: float = 4.0  # times the texts' size, 64 MB allowed
    ordinary: bool = False


SHAPES = [
    Shape("long-id-aliased", long_id_aliased),
    Shape("long-id-under-budget", long_id_under_budget),
    Shape("list-aliased-in-when", list_aliased_in_when),
    Shape("list-aliased-in-scope", list_aliased_in_scope),
    Shape("fields-block-aliased", fields_block_aliased),
    Shape("long-list-ignored", long_list_ignored, peak_factor=10.0),
    Shape("applies-to-many", applies_to_many),
    Shape("allowed-fields-many", allowed_fields_many),
    Shape("ordinary-110k", ordinary, peak_factor=6.0, ordinary=True),
    Shape("ordinary-workload-60k", ordinary_workload, peak_factor=6.0, ordinary=True),
    Shape("condition-anchor-reused", condition_anchor_reused),
]


def _status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def measure(folder: Path) -> dict:
    """The child's side: one construction from the texts in folder."""
    import tamsel

    texts = [(folder / n).read_text(encoding="utf-8") if (folder / n).exists() else None
             for n in ("schema.yaml", "policy.yaml", "governance.yaml")]  # fmt: skip
    gc.collect()
    with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
        f.write("5")  # resets VmHWM to the current resident size
    base = _status()["VmRSS"]
    start = time.perf_counter()
    try:
        built = tamsel.PyTamsel(*texts)
        outcome = "built"
    except ValueError as error:
        built, outcome = None, str(error)
    seconds = time.perf_counter() - start
    gc.collect()
    status = _status()
    row = {"outcome": outcome, "seconds": seconds, "peak": status["VmHWM"] - base,
           "retained": status["VmRSS"] - base if built is not None else 0}  # fmt: skip
    if built is not None:
        start = time.perf_counter()
        built.policy_hash()
        row["hash_seconds"] = time.perf_counter() - start
    return row


def run_child(folder: Path, module_dir: Path | None) -> dict:
    env = dict(os.environ)
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(module_dir), env.get("PYTHONPATH")) if p)
    child = subprocess.run([sys.executable, __file__, "--child", str(folder)], capture_output=True, text=True, env=env)
    if child.returncode != 0:
        return {"outcome": f"child failed: {child.stderr.strip()[-200:]}"}
    return json.loads(child.stdout)


def run_shape(shape: Shape, work: Path, against: Path | None) -> dict:
    folder = work / shape.name
    folder.mkdir()
    size = 0
    for name, text in zip(("schema.yaml", "policy.yaml", "governance.yaml"), shape.make()):
        if text is not None:
            (folder / name).write_text(text, encoding="utf-8")
            size += len(text.encode())
    row = {"shape": shape.name, "bytes": size, **run_child(folder, None)}
    if against is not None:
        row["against"] = run_child(folder, against)
    return row


def verdict(shape: Shape, row: dict) -> str:
    if "seconds" not in row:
        return "no"
    mb = row["bytes"] / MB
    faults = []
    if row["seconds"] > max(1.0, 0.15 * mb):
        faults.append("time")
    if row["peak"] > max(64 * MB, shape.peak_factor * row["bytes"]):
        faults.append("peak")
    if shape.ordinary and row["retained"] > 2 * row["bytes"]:
        faults.append("retained")
    return "yes" if not faults else "no: " + ", ".join(faults)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--only", type=lambda s: s.split(","), default=None)
    parser.add_argument("--json", type=Path, default=None)
    parser.add_argument("--against", type=Path, default=None)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child)))
        return
    shapes = [s for s in SHAPES if args.only is None or s.name in args.only]
    rows = []
    print(f"{'shape':<24} {'MB':>6} {'s':>7} {'s/MB':>6} {'peak MB':>8} {'peak/MB':>7} "
          f"{'kept/MB':>7} {'hash s':>7}  within  outcome")  # fmt: skip
    with tempfile.TemporaryDirectory() as work:
        for shape in shapes:
            row = run_shape(shape, Path(work), args.against)
            row["within"] = verdict(shape, row)
            rows.append(row)
            mb = row["bytes"] / MB
            if "seconds" in row:
                print(f"{shape.name:<24} {mb:6.2f} {row['seconds']:7.2f} {row['seconds'] / mb:6.2f} "
                      f"{row['peak'] / MB:8.1f} {row['peak'] / row['bytes']:7.1f} "
                      f"{row['retained'] / row['bytes']:7.1f} {row.get('hash_seconds', 0):7.3f}  "
                      f"{row['within']:<6}  {row['outcome'][:60]}", flush=True)  # fmt: skip
                other = row.get("against")
                if other and "seconds" in other:
                    print(f"{'  against':<24} {'':>6} {other['seconds']:7.2f} {other['seconds'] / mb:6.2f} "
                          f"{other['peak'] / MB:8.1f} {other['peak'] / row['bytes']:7.1f} "
                          f"{other['retained'] / row['bytes']:7.1f} {other.get('hash_seconds', 0):7.3f}  "
                          f"{'':<6}  time ratio {row['seconds'] / other['seconds']:.2f}: {other['outcome'][:40]}",
                          flush=True)  # fmt: skip
            else:
                print(f"{shape.name:<24} {mb:6.2f}  {row['outcome']}", flush=True)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1), encoding="utf-8")


if __name__ == "__main__":
    main()
