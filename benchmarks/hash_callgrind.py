"""Instructions of one policy_hash() call against one
hashlib.sha256(data).hexdigest() over as many bytes as the canonical text
holds, counted by callgrind inside the call only. Counts, unlike times, do not
move with the load of a shared machine.

    python benchmarks/hash_callgrind.py 1000 10000 100000

Needs valgrind, the texts of prepare.py and the text lengths of hash_bench
(results/cpp_hash.json, as for bench_hash.py). The module measured is the one
that this interpreter imports.
"""

from __future__ import annotations

import hashlib
import json
import sys

import callgrind
import workloads as w

CALLS = 3
# The C functions that each call runs inside, as callgrind names them.
TOGGLES = {
    "tamsel": ["cfunction_vectorcall_NOARGS"],  # the module is stripped: its caller
    "hashlib": ["_hashlib_openssl_sha256", "EVP_hexdigest"],
}


def canonical_lengths() -> dict[int, int]:
    results = json.loads((w.RESULTS / "cpp_hash.json").read_text(encoding="utf-8"))
    return {
        int(b["name"].split("/")[1]): int(b["text_bytes"])
        for b in results["benchmarks"]
        if b["name"].startswith("canonical_text_sha256/") and "text_bytes" in b
    }


def child(engine: str, rules: int, length: int) -> None:
    if engine == "tamsel":
        import tamsel

        call = tamsel.PyTamsel(*w.read_construction_texts(rules)).policy_hash
    else:
        data = b"x" * length
        call = lambda: hashlib.sha256(data).hexdigest()  # noqa: E731
    for _ in range(CALLS):
        call()


def instructions(engine: str, rules: int, length: int) -> int:
    options = ["--collect-atstart=no"] + [f"--toggle-collect={name}" for name in TOGGLES[engine]]
    arguments = [__file__, "--child", engine, str(rules), str(length)]
    return callgrind.instructions(arguments, options) // CALLS


def main() -> None:
    if sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    lengths = canonical_lengths()
    print(f"{'rules':>7} {'text bytes':>11} {'policy_hash':>13} {'hashlib':>13} {'ratio':>6}")
    for rules in map(int, sys.argv[1:]):
        ours = instructions("tamsel", rules, lengths[rules])
        theirs = instructions("hashlib", rules, lengths[rules])
        print(f"{rules:>7} {lengths[rules]:>11,} {ours:>13,} {theirs:>13,} {ours / theirs:>6.2f}")


if __name__ == "__main__":
    main()
