"""Memory of construction, measured in a fresh process per question so that
earlier work does not hide it. Prints one JSON object.

  memory_probe.py peak RULES ENGINE   ru_maxrss before and after building the
                                      RULES-rule texts once (ENGINE: tamsel or
                                      yaml_load, for comparison)
  memory_probe.py hold RULES COUNT    resident memory growth over building and
                                      holding COUNT more policies of RULES rules
"""

from __future__ import annotations

import gc
import json
import os
import resource
import sys

import workloads as w
import yaml


def max_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux gives KiB


def rss_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak(rules: int, engine: str) -> dict:
    import tamsel

    texts = w.read_construction_texts(rules)
    gc.collect()
    before = max_rss_bytes()
    if engine == "tamsel":
        kept = [tamsel.PyTamsel(*texts)]
    else:
        kept = [yaml.load(t, Loader=yaml.CSafeLoader) for t in texts]
    after = max_rss_bytes()
    del kept
    text_bytes = sum(len(t.encode()) for t in texts)
    return {"rules": rules, "engine": engine, "text_bytes": text_bytes,
            "maxrss_before": before, "maxrss_after": after}  # fmt: skip


def hold(rules: int, count: int) -> dict:
    import tamsel

    texts = w.read_construction_texts(rules)
    # The first object warms the allocator: its temporaries leave free memory
    # that the later ones reuse, so only the growth after it is the policies'.
    kept = [tamsel.PyTamsel(*texts)]
    gc.collect()
    start = rss_bytes()
    kept += [tamsel.PyTamsel(*texts) for _ in range(count)]
    gc.collect()
    grown = rss_bytes() - start
    return {"rules": rules, "count": count, "rss_growth": grown, "bytes_per_rule": grown / (rules * count)}


def main() -> None:
    kind = sys.argv[1]
    if kind == "peak":
        out = peak(int(sys.argv[2]), sys.argv[3])
    elif kind == "hold":
        out = hold(int(sys.argv[2]), int(sys.argv[3]))
    else:
        raise SystemExit(f"unknown probe {kind!r}: use peak or hold")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
