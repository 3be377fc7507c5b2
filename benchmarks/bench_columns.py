"""Columnar evaluation against evaluate() on the same records, side by side in one run.

For each workload, N records are made once as an Arrow table (in batches of 65,536 rows, as
Parquet row groups are read) and once as the dicts that evaluate() takes (to_pylist() of that
table, null fields left out: made before anything is timed). Then, best of --repeat runs:

    evaluate   one PyTamsel.evaluate() call per dict, in a Python loop
    columns    Compiled.evaluate_arrow(table): every record, decisions as Arrow columns
    table      Policy.evaluate_batch(table): the same, imported into a pyarrow table

and the ratio columns / evaluate, whose target is at most 0.15. Last, the largest workload's
batches evaluated by 1 and by 2 threads (the interpreter lock is released per batch).

With --callgrind, instructions per record instead (valgrind, which counts the same whatever
the machine's load): each way runs in a fresh interpreter once with the timed step done once and
once with it done three times; the difference over twice the records is its cost per record,
with start-up and the making of the records cancelled out.

    python benchmarks/bench_columns.py [--records N] [--repeat K] [--callgrind] [-o results/columns.json]

Needs pyarrow and tamsel installed in the running Python.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable

import pyarrow as pa
import workloads as w

from tamsel_tools.model.policy import Policy

BATCH_ROWS = 65_536


def varied_records(wl: w.Workload, count: int, rng: random.Random) -> list[dict]:
    """count copies of the workload's input, with the values that rules read varied so that
    every rule list is run and decisions differ."""
    records = []
    for _ in range(count):
        record = {domain: dict(fields) for domain, fields in wl.input.items()}
        action = record["action"]
        action["amount"] = float(rng.randrange(0, 2000)) if wl.name != "last_of_1000" else float(rng.randrange(20000))
        if wl.name == "last_of_1000":
            action["currency"] = f"C{rng.randrange(1000)}"
        elif "currency" in action:
            action["currency"] = rng.choice(["EUR", "EUR", "EUR", "USD"])
        if "trust_level" in record.get("actor", {}):
            record["actor"]["trust_level"] = float(rng.randrange(0, 6))
        records.append(record)
    return records


def without_nulls(row: dict) -> dict:
    return {k: {f: v for f, v in d.items() if v is not None} for k, d in row.items() if d is not None}


def best(run: Callable[[], Any], repeat: int) -> float:
    run()  # warm: allocator, caches
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def evaluate_all(evaluate: Callable[[dict], Any], dicts: list[dict]) -> None:
    for record in dicts:
        evaluate(record)


def measure(wl: w.Workload, count: int, repeat: int) -> dict:
    policy = Policy(wl.schema_yaml, wl.policy_yaml)
    table = pa.Table.from_pylist(varied_records(wl, count, random.Random(7)))
    table = pa.Table.from_batches(table.to_batches(max_chunksize=BATCH_ROWS))
    dicts = [without_nulls(row) for row in table.to_pylist()]
    # The same answers, or no figure.
    answers = policy.evaluate_batch(table).to_pylist()
    for record, answer in zip(dicts, answers):
        result = policy.engine.evaluate(record)
        assert (answer["effect"], answer["matched_rule"]) == (result["effect"], result["matched_rule"]), record
    compiled = policy._compiled
    seconds = {
        "evaluate": best(lambda: evaluate_all(policy.engine.evaluate, dicts), repeat),
        "columns": best(lambda: compiled.evaluate_arrow(table), repeat),
        "table": best(lambda: policy.evaluate_batch(table), repeat),
    }
    per_record = {name: value / count * 1e9 for name, value in seconds.items()}
    return {"workload": wl.name, "records": count, "rules": len(wl.rules), "ns_per_record": per_record,
            "ratio": per_record["columns"] / per_record["evaluate"],
            "ratio_table": per_record["table"] / per_record["evaluate"]}  # fmt: skip


def threaded(wl: w.Workload, count: int, repeat: int) -> dict:
    """The batches of one table evaluated by one thread, then shared between two."""
    compiled = Policy(wl.schema_yaml, wl.policy_yaml)._compiled
    batches = pa.Table.from_pylist(varied_records(wl, count, random.Random(8))).to_batches(max_chunksize=BATCH_ROWS)

    def run(threads: int) -> None:
        def work(part: list) -> None:
            for batch in part:
                compiled.evaluate_arrow(batch)

        workers = [threading.Thread(target=work, args=(batches[i::threads],)) for i in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    one, two = best(lambda: run(1), repeat), best(lambda: run(2), repeat)
    return {"workload": wl.name, "records": count, "one_thread_s": one, "two_threads_s": two, "speedup": one / two}


def chosen_workloads() -> list[w.Workload]:
    table = {wl.name: wl for wl in w.evaluation_workloads()}
    return [w.readme_workload(), table["example"], table["last_of_1000"]]


def run_measured(workload: str, way: str, count: int, times: int) -> None:
    """The process callgrind counts: make the records, then take the step `times` times."""
    wl = next(x for x in chosen_workloads() if x.name == workload)
    policy = Policy(wl.schema_yaml, wl.policy_yaml)
    table = pa.Table.from_pylist(varied_records(wl, count, random.Random(7)))
    dicts = [without_nulls(row) for row in table.to_pylist()]
    for _ in range(times):
        if way == "evaluate":
            evaluate_all(policy.engine.evaluate, dicts)
        else:
            policy._compiled.evaluate_arrow(table)


def instructions_per_record(workload: str, count: int) -> dict:
    import callgrind

    def total(way: str, times: int) -> int:
        return callgrind.instructions([__file__, "--run", workload, way, str(count), str(times)])

    costs = {way: (total(way, 3) - total(way, 1)) / (2 * count) for way in ("evaluate", "columns")}
    return {"workload": workload, "records": count, "instructions_per_record": costs,
            "ratio": costs["columns"] / costs["evaluate"]}  # fmt: skip


def main() -> None:
    if sys.argv[1:2] == ["--run"]:
        workload, way, count, times = sys.argv[2:6]
        run_measured(workload, way, int(count), int(times))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--records", type=int, default=262_144)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("-o", "--output", type=Path)
    options = parser.parse_args()
    chosen = chosen_workloads()
    if options.callgrind:
        counted = [instructions_per_record(wl.name, min(options.records, 20_000)) for wl in chosen]
        print(f"{'workload':<14}{'evaluate':>10}{'columns':>10}{'ratio':>8}   (instructions per record)")
        for row in counted:
            per = row["instructions_per_record"]
            print(f"{row['workload']:<14}{per['evaluate']:>10.0f}{per['columns']:>10.0f}{row['ratio']:>8.3f}")
        if options.output:
            options.output.parent.mkdir(parents=True, exist_ok=True)
            options.output.write_text(json.dumps({"callgrind": counted}, indent=2) + "\n")
        return
    table = {wl.name: wl for wl in w.evaluation_workloads()}
    rows = [measure(wl, options.records, options.repeat) for wl in chosen]
    print(f"{'workload':<14}{'rules':>6}{'evaluate ns':>13}{'columns ns':>12}{'table ns':>10}{'ratio':>8}")
    for row in rows:
        ns = row["ns_per_record"]
        print(f"{row['workload']:<14}{row['rules']:>6}{ns['evaluate']:>13.1f}{ns['columns']:>12.1f}"
              f"{ns['table']:>10.1f}{row['ratio']:>8.3f}")  # fmt: skip
    threads = threaded(table["last_of_1000"], options.records * 2, options.repeat)
    print(f"threads, {threads['workload']}: 1 thread {threads['one_thread_s'] * 1e3:.1f} ms, "
          f"2 threads {threads['two_threads_s'] * 1e3:.1f} ms, speedup {threads['speedup']:.2f}")  # fmt: skip
    if options.output:
        options.output.parent.mkdir(parents=True, exist_ok=True)
        options.output.write_text(json.dumps({"columns": rows, "threads": threads}, indent=2) + "\n")


if __name__ == "__main__":
    main()
