"""`tamsel replay` on generated decision logs, side by side in one run:

- a Parquet log against pyarrow reading the same columns of the same files;
- a JSON Lines log against `pyarrow.json` reading the same file into Arrow;
- `--threads 1` against every core;
- a local Dask cluster of 2 workers (`--workers 2`) against one process.

Each run of the command is a process of its own (wall time and peak resident memory); the
logs are written once into a temporary folder, from 100,000 generated inputs decided by the
README's policy and repeated until there are as many records as asked.

  bench_replay.py                        2,000,000 Parquet records, 200,000 JSON Lines records
  bench_replay.py --records 20000000     the issue's size (writing it takes a while)
  bench_replay.py --before FOLDER        also the replays of the tools in FOLDER (another build)

pyarrow's reads run in a fresh interpreter too, each file read whole and let go (as the replay
streams them), timed after the imports; every figure is the fastest of --runs runs.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Tuple

import pyarrow
import pyarrow.parquet

import tamsel

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "refunds"
BASE = 100_000
ROW_GROUP = 250_000
COLUMNS = ["time", "policy_hash", "input", "decision", "error"]

# Runs the command in this process and says its peak resident memory on the last line of stderr.
# (VmHWM, not ru_maxrss: Linux carries the latter over from the forking parent.)
MEASURED = (
    "import re, sys\n"
    "from tamsel_tools import main\n"
    "status = main(sys.argv[1:])\n"
    "print(re.search(r'VmHWM:\\s*([0-9]+)', open('/proc/self/status').read())[1], file=sys.stderr)\n"
    "sys.exit(status)\n"
)


def inputs(count: int, seed: int = 1) -> List[Dict[str, Dict[str, object]]]:
    rng = random.Random(seed)
    made = []
    for _ in range(count):
        made.append(
            {
                "action": {
                    "type": rng.choice(["refund", "refund", "refund", "close_account"]),
                    "amount": float(rng.choice([5, 50, 500, 999, 1001, 1500, 5000, 20000])),
                    "currency": rng.choice(["EUR", "EUR", "EUR", "USD"]),
                },
                "actor": {"role": rng.choice(["agent", "bot"]), "trust_level": float(rng.randint(0, 5)),
                          "frozen": rng.random() < 0.05},
                "snapshot": {"min_trust_level": 2.0, "maintenance_mode": False},
            }
        )
    return made


def base_table(engine: tamsel.PyTamsel) -> pyarrow.Table:
    made = inputs(BASE)
    decisions = [engine.evaluate(each) for each in made]
    start = datetime.datetime(2026, 11, 1, tzinfo=datetime.timezone.utc)
    return pyarrow.table(
        {
            "time": pyarrow.array([start + datetime.timedelta(seconds=i) for i in range(BASE)],
                                  pyarrow.timestamp("us", tz="UTC")),
            "policy_hash": pyarrow.array([engine.policy_hash()] * BASE),
            "input": pyarrow.array(made),
            "decision": pyarrow.array(decisions),
            "error": pyarrow.nulls(BASE, pyarrow.string()),
        }
    )


def write_parquet(folder: Path, table: pyarrow.Table, records: int) -> None:
    """Files of 1,000,000 records at most, row groups of ROW_GROUP."""
    folder.mkdir()
    written, number = 0, 0
    while written < records:
        size = min(1_000_000, records - written)
        with pyarrow.parquet.ParquetWriter(folder / f"part-{number:05d}.parquet", table.schema,
                                           compression="zstd") as writer:
            left = size
            while left:
                take = min(left, BASE)
                writer.write_table(table.slice(0, take), row_group_size=ROW_GROUP)
                left -= take
        written += size
        number += 1


def write_jsonl(path: Path, table: pyarrow.Table, records: int) -> None:
    rows = table.to_pylist()
    with open(path, "w") as file:
        for index in range(records):
            row = dict(rows[index % BASE])
            row["time"] = row["time"].strftime("%Y-%m-%dT%H:%M:%S.%fZ")
            file.write(json.dumps(row, separators=(",", ":")) + "\n")


def command(arguments: List[str], cwd: Path, tools: str = "") -> Tuple[float, int, str]:
    """Wall seconds, peak resident MB and standard output of one run of the command (with the
    tools found first in the folder `tools` when it is given)."""
    env = {**os.environ, "PYTHONPATH": tools} if tools else None
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", MEASURED, *arguments], cwd=cwd, capture_output=True, text=True,
                          env=env)
    wall = time.perf_counter() - start
    if done.returncode not in (0, 1):
        raise SystemExit(f"tamsel {' '.join(arguments)} failed: {done.stderr}")
    peak = int(done.stderr.strip().splitlines()[-1]) // 1024
    return wall, peak, done.stdout


# Reads in a fresh interpreter, as each run of the command is one, and says the seconds the
# reading took (after the imports): pyarrow's time for the same files, each read whole and let go.
READ_PARQUET = (
    "import sys, time, pathlib, pyarrow.parquet\n"
    "files = sorted(pathlib.Path(sys.argv[1]).iterdir())\n"
    "start = time.perf_counter()\n"
    "for path in files:\n"
    "    pyarrow.parquet.read_table(path, columns=sys.argv[2].split(','))\n"
    "print(time.perf_counter() - start)\n"
)
READ_JSON = (
    "import sys, time, pyarrow.json\n"
    "start = time.perf_counter()\n"
    "pyarrow.json.read_json(sys.argv[1])\n"
    "print(time.perf_counter() - start)\n"
)


def read_seconds(code: str, *arguments: str) -> float:
    done = subprocess.run([sys.executable, "-c", code, *arguments], capture_output=True, text=True, check=True)
    return float(done.stdout)


def best(runs: int, call, *arguments):  # type: ignore[no-untyped-def]
    """The fastest of `runs` calls (the first element when a call gives a tuple)."""
    results = [call(*arguments) for _ in range(runs)]
    return min(results, key=lambda result: result[0] if isinstance(result, tuple) else result)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=2_000_000, help="records of the Parquet log")
    parser.add_argument("--jsonl-records", type=int, default=200_000, help="records of the JSON Lines log")
    parser.add_argument("--no-dask", action="store_true", help="leave out the Dask run")
    parser.add_argument("--runs", type=int, default=2, help="runs of each, the fastest kept")
    parser.add_argument("--before", default="", metavar="FOLDER",
                        help="a folder holding another build of tamsel_tools, whose replays run beside these")
    options = parser.parse_args()
    schema, policy = (EXAMPLE / "schema.yaml").read_text(), (EXAMPLE / "policy.yaml").read_text()
    engine = tamsel.PyTamsel(schema, policy)
    cores = len(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as folder:
        work = Path(folder)
        (work / "schema.yaml").write_text(schema)
        (work / "new.yaml").write_text(policy.replace("literal: 1000", "literal: 2000"))
        started = time.perf_counter()
        table = base_table(engine)
        write_parquet(work / "parquet", table, options.records)
        write_jsonl(work / "log.jsonl", table, options.jsonl_records)
        print(f"logs written in {time.perf_counter() - started:.1f} s: {options.records:,} Parquet records, "
              f"{options.jsonl_records:,} JSON Lines records ({(work / 'log.jsonl').stat().st_size >> 20} MiB); "
              f"{cores} cores")
        replay = ["replay", "--schema", "schema.yaml", "--policy", "new.yaml", "--json"]
        rows: List[Tuple[str, float, str]] = []
        runs = options.runs
        read = best(runs, read_seconds, READ_PARQUET, str(work / "parquet"), ",".join(COLUMNS))
        rows.append(("pyarrow reads the Parquet log's columns", read, ""))
        outputs = {}
        builds = [("", ""), *([(" (before)", options.before)] if options.before else [])]
        for name, extra in (("all cores", []), ("--threads 1", ["--threads", "1"])):
            for label, tools in builds:
                wall, peak, outputs[name + label] = best(runs, command, [*replay, *extra, "parquet"], work, tools)
                rows.append((f"tamsel replay, Parquet, {name}{label}", wall, f"{peak} MB"))
        if not options.no_dask:
            wall, peak, outputs["dask"] = best(runs, command, [*replay, "--workers", "2", "parquet"], work)
            rows.append(("tamsel replay, Parquet, --workers 2 (Dask)", wall, f"{peak} MB (client)"))
        read = best(runs, read_seconds, READ_JSON, str(work / "log.jsonl"))
        rows.append(("pyarrow.json reads the JSON Lines log", read, ""))
        jsonl = {}
        for label, tools in builds:
            wall, peak, jsonl[label] = best(runs, command, [*replay, "log.jsonl"], work, tools)
            rows.append((f"tamsel replay, JSON Lines, all cores{label}", wall, f"{peak} MB"))
    if len(set(outputs.values())) != 1 or len(set(jsonl.values())) != 1:
        raise SystemExit("the runs' --json differ")
    records = json.loads(outputs["all cores"])["records"]
    print(f"{'run':<57} {'seconds':>8} {'records/s':>12}  peak")
    for name, seconds, peak in rows:
        count = options.jsonl_records if "JSON" in name else options.records
        print(f"{name:<57} {seconds:>8.2f} {count / seconds:>12,.0f}  {peak}")
    print(f"(every --json identical; {records:,} records replayed)")


if __name__ == "__main__":
    main()
