"""The `tamsel` command on suites, input files and lines of standard input just
under the 64 MiB cap, in the shapes that grow most once parsed: peak resident
memory (of the whole process, from /usr/bin/time) and wall time, against the
interpreter alone (`tamsel --version`).

  bench_tool_inputs.py              every shape, 60 MB each
  bench_tool_inputs.py --mb 16      smaller texts
  bench_tool_inputs.py --only eval  the shapes whose name holds a word

Each shape must be refused (or decided) within 10 s at a peak of at most 200 MB
above the interpreter's own; the last column says whether it was.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "refunds"
TAMSEL = str(Path(sys.executable).parent / "tamsel")
SUITE_HEAD = b'{"schema": "schema.yaml", "policy": "policy.yaml", "cases": ['
CASE = json.dumps(
    {"name": "c", "input": {"action": {"type": "refund", "amount": 10}}, "expect": {"effect": "allow"}}
).encode()


def elements(item: bytes, size: int) -> bytes:
    """A comma-separated run of the item, about `size` bytes long."""
    return b",".join([item] * (size // (len(item) + 1)))


def shapes(size: int) -> dict[str, tuple[dict[str, bytes], list[str], str | None]]:
    """name: (files to write, arguments, file given on standard input)."""
    line = b'{"action": {"type": "refund", "amount": [' + elements(b"{}", size) + b"]}}\n"
    return {
        "suite of ordinary cases": (
            {"x.suite.json": SUITE_HEAD + elements(CASE, size) + b"]}"},
            ["test", "x.suite.json"],
            None,
        ),
        "suite of empty mappings": (
            {"x.suite.json": SUITE_HEAD + elements(b"{}", size) + b"]}"},
            ["test", "x.suite.json"],
            None,
        ),
        "suite of zeros": ({"x.suite.json": SUITE_HEAD + elements(b"0", size) + b"]}"}, ["test", "x.suite.json"], None),
        "YAML suite of zeros": (
            {"x.suite.yaml": b"schema: schema.yaml\npolicy: policy.yaml\ncases: [" + elements(b"0", size) + b"]\n"},
            ["test", "x.suite.yaml"],
            None,
        ),
        "eval input file of empty mappings": (
            {"in.json": line},
            ["eval", "schema.yaml", "policy.yaml", "in.json"],
            None,
        ),
        "eval line of empty mappings on stdin": (
            {"in.jsonl": line},
            ["eval", "schema.yaml", "policy.yaml"],
            "in.jsonl",
        ),
    }


def measure(arguments: list[str], stdin: str | None, folder: Path) -> tuple[int, float, int]:
    """Exit status, wall seconds and peak resident megabytes of one command."""
    started = time.monotonic()
    with open(folder / stdin, "rb") if stdin else open("/dev/null", "rb") as given:
        done = subprocess.run(
            ["/usr/bin/time", "-f", "%M", TAMSEL, *arguments], stdin=given, cwd=folder, capture_output=True, text=True
        )
    seconds = time.monotonic() - started
    return done.returncode, seconds, int(done.stderr.strip().splitlines()[-1]) // 1024


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=60)
    parser.add_argument("--only", default="")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        folder = Path(work)
        for name in ("schema.yaml", "policy.yaml"):
            shutil.copy(EXAMPLE / name, folder / name)
        _, _, interpreter = measure(["--version"], None, folder)
        print(f"interpreter alone: {interpreter} MB")
        print(f"{'shape':40} {'status':>6} {'seconds':>8} {'peak MB':>8}  within")
        for name, (files, arguments, stdin) in shapes(options.mb * 1_000_000).items():
            if options.only and options.only not in name:
                continue
            for file, data in files.items():
                (folder / file).write_bytes(data)
            status, seconds, peak = measure(arguments, stdin, folder)
            within = "yes" if seconds <= 10 and peak - interpreter <= 200 else "NO"
            print(f"{name:40} {status:>6} {seconds:>8.1f} {peak:>8}  {within}")
            for file in files:
                (folder / file).unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
