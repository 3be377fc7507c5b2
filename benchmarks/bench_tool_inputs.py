"""The `tamsel` command on suites, input files and lines of standard input just
under the 32 MiB cap, and on documents just under their 8 MiB share of it, in
the shapes that grow most once parsed: peak resident memory (of the whole
process, from /usr/bin/time) and wall time, against the interpreter alone
(`tamsel --version`).

  bench_tool_inputs.py              every shape, 33 MB each
  bench_tool_inputs.py --mb 16      smaller texts (documents: a quarter of it at most)
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


def named_rules(size: int) -> bytes:
    """The example's rules again and again, each with its own id, about `size` bytes."""
    rules = (EXAMPLE / "policy.yaml").read_bytes().split(b"rules:\n", 1)[1]
    copies = size // (len(rules) + 30)
    return b"version: 1\nrules:\n" + b"".join(rules.replace(b"id: ", b"id: r%d_" % i) for i in range(copies))


def long_texts(size: int) -> dict[str, bytes]:
    """The example's three documents, each with a text of a third of `size` bytes."""
    third = b"x" * (size // 3)
    replaced = {
        "schema.yaml": (b"    role: string", b"    role: string\n    ? " + third + b"\n    : string"),
        "policy.yaml": (b"id: block_large_refunds", b"id: " + third),
        "governance.yaml": (b"error: every policy needs a blocking refund rule", b"error: " + third),
    }
    return {"long-" + name: (EXAMPLE / name).read_bytes().replace(*replaced[name]) for name in replaced}


def document_shapes(size: int) -> dict[str, tuple[dict[str, bytes], list[str], str | None]]:
    size = min(size // 4, 8_300_000)  # under the documents' share of the default cap
    example = (EXAMPLE / "policy.yaml").read_bytes()
    long_id = example.replace(b"id: block_large_refunds", b"id: " + b"x" * size)
    half_id = example.replace(b"id: block_large_refunds", b"id: " + b"x" * (size // 2))
    return {
        "policy of empty mappings": (
            {"p.yaml": b"version: 1\nrules: [" + elements(b"{}", size) + b"]\n"},
            ["check", "schema.yaml", "p.yaml"],
            None,
        ),
        "policy of the example's rules": ({"p.yaml": named_rules(size)}, ["check", "schema.yaml", "p.yaml"], None),
        # 522,680 values, with the schema's just under the cap of 524,288.
        "policy of 18,180 rules": ({"p.yaml": named_rules(4_800_000)}, ["check", "schema.yaml", "p.yaml"], None),
        "policy with one long id": ({"p.yaml": long_id}, ["check", "schema.yaml", "p.yaml"], None),
        "three documents with long texts": (
            long_texts(size),
            ["check", "long-schema.yaml", "long-policy.yaml", "long-governance.yaml"],
            None,
        ),
        "diff of two policies with long ids": (
            {"p.yaml": half_id, "q.yaml": half_id.replace(b"effect: block", b"effect: allow", 1)},
            ["diff", "schema.yaml", "p.yaml", "q.yaml"],
            None,
        ),
    }


def string_pairs(size: int) -> bytes:
    """An input whose action holds as many pairs of distinct texts as the values' cap lets in
    (two values and two commas or colons a pair), each as long as `size` then allows."""
    count = size // 64 // 2 - 16
    width = max(1, (size // count - 6) // 2)
    keys = ",".join('"%0*d":"%0*d"' % (width, i, width, i) for i in range(count))
    return ('{"action": {"type": "refund", ' + keys + "}}\n").encode()


def shapes(size: int) -> dict[str, tuple[dict[str, bytes], list[str], str | None]]:
    """name: (files to write, arguments, file given on standard input)."""
    line = b'{"action": {"type": "refund", "amount": [' + elements(b"{}", size) + b"]}}\n"
    pairs = string_pairs(size)
    return {
        **document_shapes(size),
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
        "eval input file of string pairs": ({"in.json": pairs}, ["eval", "schema.yaml", "policy.yaml", "in.json"], None),
        "eval line of string pairs on stdin": ({"in.jsonl": pairs}, ["eval", "schema.yaml", "policy.yaml"], "in.jsonl"),
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
    parser.add_argument("--mb", type=int, default=33)
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
