"""Gathers the figures of one run (pyperf and Google Benchmark JSON files, the
memory probes) into a printed table, results/results.json and docs/assets/chart.png."""

from __future__ import annotations

import json
import os
import platform
import statistics
import sys
from pathlib import Path
from typing import Any

import prepare
import workloads as w

CHART = w.HERE.parent / "docs" / "assets" / "chart.png"  # shown on the performance page
EVAL_ENGINES = ("tamsel", "floor", "python", "python_by_hand", "cedarpy", "casbin")
CONSTRUCT_ENGINES = ("tamsel", "yaml_parse", "yaml_load")

# ---------------------------------------------------------------- loading


def load_pyperf(path: Path) -> dict[str, dict]:
    """name -> {median, stdev, values} in seconds; empty when the file is absent."""
    if not path.exists():
        return {}
    import pyperf

    out = {}
    for bench in pyperf.BenchmarkSuite.load(str(path)).get_benchmarks():
        values = bench.get_values()
        out[bench.get_name()] = {
            "median_s": bench.median(),
            "stdev_s": statistics.stdev(values) if len(values) > 1 else 0.0,
            "values": len(values),
        }
    return out


_UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load_gbench(path: Path) -> dict[str, dict]:
    """name -> CPU time (seconds, median of the repetitions when there are
    several) and the counters; errors are kept as {"error": text}."""
    if not path.exists():
        return {}
    runs: dict[str, list[dict]] = {}
    errors: dict[str, str] = {}
    for b in json.loads(path.read_text(encoding="utf-8"))["benchmarks"]:
        name = b.get("run_name", b["name"]).split("/iterations:")[0]
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "failed")
        elif b.get("run_type", "iteration") == "iteration":
            runs.setdefault(name, []).append(b)
    out: dict[str, dict] = {name: {"error": text} for name, text in errors.items()}
    for name, reps in runs.items():
        cpu = [r["cpu_time"] * _UNIT[r["time_unit"]] for r in reps]
        entry = {k: v for k, v in reps[0].items() if isinstance(v, (int, float)) and k not in ("cpu_time", "real_time")}
        entry.update(cpu_s=statistics.median(cpu), stdev_s=statistics.stdev(cpu) if len(cpu) > 1 else 0.0,
                     repetitions=len(cpu))  # fmt: skip
        out[name] = entry
    return out


def load_memory(path: Path) -> list[dict]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


def load_instructions(path: Path) -> list[dict]:
    """evaluate_callgrind.py's rows: instructions per call of each engine, and their ratio."""
    if not path.exists():
        return []
    return json.loads(path.read_text(encoding="utf-8"))


# ---------------------------------------------------------------- figures


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def median(figures: dict, name: str) -> float | None:
    entry = figures.get(name)
    return entry["median_s"] if entry else None


def cpu(figures: dict, name: str) -> float | None:
    entry = figures.get(name)
    return entry.get("cpu_s") if entry else None


def evaluation_section(pyperf_eval: dict) -> dict:
    section: dict[str, Any] = {}
    for wl in w.evaluation_workloads():
        times = {e: median(pyperf_eval, f"evaluate/{wl.name}/{e}") for e in EVAL_ENGINES}
        t = times["tamsel"]
        section[wl.name] = {
            "median_s": times,
            "stdev_s": {e: pyperf_eval[f"evaluate/{wl.name}/{e}"]["stdev_s"]
                        for e in EVAL_ENGINES if f"evaluate/{wl.name}/{e}" in pyperf_eval},
            "ratios": {
                "tamsel/floor": ratio(t, times["floor"]),
                "python/tamsel": ratio(times["python"], t),
                "python_by_hand/tamsel": ratio(times["python_by_hand"], t),
                "cedarpy/tamsel": ratio(times["cedarpy"], t),
                "casbin/tamsel": ratio(times["casbin"], t),
            },
        }  # fmt: skip
    return section


def construction_section(pyperf_construct: dict, cpp: dict, sizes: list[int]) -> dict:
    section: dict[str, Any] = {"sizes": {}}
    for n in sizes:
        times = {e: median(pyperf_construct, f"construct/{n}/{e}") for e in CONSTRUCT_ENGINES}
        cpp_times = {k: cpu(cpp, f"{k}/{n}") for k in ("construct", "read_documents", "libyaml_events")}
        section["sizes"][n] = {
            "median_s": times,
            "per_rule_s": {e: None if v is None else v / n for e, v in times.items()},
            "cpp_cpu_s": cpp_times,
            "ratios": {
                "tamsel/yaml_parse": ratio(times["tamsel"], times["yaml_parse"]),
                "tamsel/yaml_load": ratio(times["tamsel"], times["yaml_load"]),
                "cpp construct/libyaml_events": ratio(cpp_times["construct"], cpp_times["libyaml_events"]),
                "cpp read_documents/libyaml_events": ratio(cpp_times["read_documents"], cpp_times["libyaml_events"]),
            },
        }  # fmt: skip
    if sizes:
        lo, hi = section["sizes"][sizes[0]], section["sizes"][sizes[-1]]
        section["growth"] = {
            "from_rules": sizes[0],
            "to_rules": sizes[-1],
            "per_rule_cost_ratio": {e: ratio(hi["per_rule_s"][e], lo["per_rule_s"][e]) for e in CONSTRUCT_ENGINES},
        }
    return section


def hash_section(pyperf_hash: dict, cpp: dict, sizes: list[int]) -> dict:
    section: dict[str, Any] = {}
    for n in sizes:
        t, h = median(pyperf_hash, f"hash/{n}/tamsel"), median(pyperf_hash, f"hash/{n}/hashlib")
        rendered, evp = cpu(cpp, f"canonical_text_sha256/{n}"), cpu(cpp, f"evp_sha256/{n}")
        render_only = cpu(cpp, f"canonical_render/{n}")
        entry = cpp.get(f"canonical_text_sha256/{n}", {})
        section[n] = {
            "canonical_text_bytes": entry.get("text_bytes"),
            "median_s": {"tamsel": t, "hashlib": h},
            "cpp_cpu_s": {"canonical_text_sha256": rendered, "canonical_render": render_only, "evp_sha256": evp},
            "ratios": {
                "tamsel/hashlib": ratio(t, h),
                "cpp canonical_text_sha256/evp_sha256": ratio(rendered, evp),
                "cpp canonical_render share": ratio(render_only, rendered),
            },
        }  # fmt: skip
    return section


def memory_section(cpp_hash: dict, probes: list[dict], sizes: list[int]) -> dict:
    section: dict[str, Any] = {"compiled_cpp": {}, "probes": probes}
    for n in sizes:
        entry = cpp_hash.get(f"compiled_memory/{n}")
        if entry and "error" not in entry:
            section["compiled_cpp"][n] = {k: entry.get(k) for k in
                                          ("compiled_bytes", "bytes_per_rule", "construction_peak_bytes", "text_bytes")}  # fmt: skip
    return section


# ---------------------------------------------------------------- printing


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.3g}x"


def fmt_bytes(value: float | None) -> str:
    if value is None:
        return "-"
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if value >= scale:
            return f"{value / scale:.3g} {unit}"
    return f"{value:.3g} B"


def table(title: str, header: list[str], rows: list[list[str]]) -> str:
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(widths[i]) if i else str(c).ljust(widths[i]) for i, c in enumerate(r))  # noqa: E731
    rule = "-" * len(line(header))
    return "\n".join([title, rule, line(header), rule] + [line(r) for r in rows] + [""])


def print_report(results: dict) -> None:
    ev = results["evaluate"]
    print(table(
        "evaluate(): one call, median (pyperf)",
        ["workload"] + list(EVAL_ENGINES) + ["tamsel/floor", "python/tamsel", "cedarpy/tamsel", "casbin/tamsel"],
        [[name] + [fmt_time(s["median_s"][e]) for e in EVAL_ENGINES]
         + [fmt_ratio(s["ratios"][k]) for k in ("tamsel/floor", "python/tamsel", "cedarpy/tamsel", "casbin/tamsel")]
         for name, s in ev.items()],
    ))  # fmt: skip
    if results["evaluate_instructions"]:
        print(table(
            "evaluate(): instructions per call, loop included (callgrind)",
            ["workload", "tamsel", "floor", "tamsel/floor"],
            [[r["workload"], f"{r['instructions']['tamsel']:,.0f}", f"{r['instructions']['floor']:,.0f}",
              fmt_ratio(r["ratio"])] for r in results["evaluate_instructions"]],
        ))  # fmt: skip
    cons = results["construction"]
    print(table(
        "construction of schema + policy + governance (pyperf median; C++: CPU time)",
        ["rules", "tamsel", "per rule", "yaml.parse", "yaml.load", "tamsel/parse", "tamsel/load",
         "C++ construct", "C++ libyaml loop", "C++ ratio", "C++ read/loop"],
        [[str(n), fmt_time(s["median_s"]["tamsel"]), fmt_time(s["per_rule_s"]["tamsel"]),
          fmt_time(s["median_s"]["yaml_parse"]), fmt_time(s["median_s"]["yaml_load"]),
          fmt_ratio(s["ratios"]["tamsel/yaml_parse"]), fmt_ratio(s["ratios"]["tamsel/yaml_load"]),
          fmt_time(s["cpp_cpu_s"]["construct"]), fmt_time(s["cpp_cpu_s"]["libyaml_events"]),
          fmt_ratio(s["ratios"]["cpp construct/libyaml_events"]),
          fmt_ratio(s["ratios"]["cpp read_documents/libyaml_events"])]
         for n, s in cons["sizes"].items()],
    ))  # fmt: skip
    if "growth" in cons:
        g = cons["growth"]
        growth = ", ".join(f"{e} {fmt_ratio(v)}" for e, v in g["per_rule_cost_ratio"].items())
        print(f"cost per rule at {g['to_rules']} rules relative to {g['from_rules']} rules: {growth}\n")
    print(table(
        "policy_hash() against SHA-256 alone over the canonical text's length",
        ["rules", "text bytes", "policy_hash", "hashlib", "ratio", "C++ render+sha", "C++ EVP sha", "C++ ratio",
         "render share"],
        [[str(n), "-" if s["canonical_text_bytes"] is None else str(int(s["canonical_text_bytes"])), fmt_time(s["median_s"]["tamsel"]),
          fmt_time(s["median_s"]["hashlib"]), fmt_ratio(s["ratios"]["tamsel/hashlib"]),
          fmt_time(s["cpp_cpu_s"]["canonical_text_sha256"]), fmt_time(s["cpp_cpu_s"]["evp_sha256"]),
          fmt_ratio(s["ratios"]["cpp canonical_text_sha256/evp_sha256"]),
          fmt_ratio(s["ratios"]["cpp canonical_render share"])]
         for n, s in results["hash"].items()],
    ))  # fmt: skip
    mem = results["memory"]
    print(table(
        "memory of the compiled policy (C++ counting allocator)",
        ["rules", "kept", "per rule", "peak during construction", "text bytes"],
        [[str(n), fmt_bytes(m["compiled_bytes"]), fmt_bytes(m["bytes_per_rule"]),
          fmt_bytes(m["construction_peak_bytes"]), fmt_bytes(m["text_bytes"])]
         for n, m in mem["compiled_cpp"].items()],
    ))  # fmt: skip
    for p in mem["probes"]:
        if "maxrss_after" in p:
            print(f"process peak (ru_maxrss) building {p['rules']} rules with {p['engine']}: "
                  f"{fmt_bytes(p['maxrss_after'])} (before: {fmt_bytes(p['maxrss_before'])}, "
                  f"texts {fmt_bytes(p['text_bytes'])})")  # fmt: skip
        elif "rss_growth" in p:
            print(f"resident growth holding {p['count']} policies of {p['rules']} rules: "
                  f"{fmt_bytes(p['rss_growth'])}, {fmt_bytes(p['bytes_per_rule'])} per rule")  # fmt: skip
        else:
            print(f"memory probe failed: {p.get('error')}")
    skipped = [f"{e}: {v['reason']}" for e, v in results["engines"].items() if isinstance(v, dict) and not v["available"]]
    if skipped:
        print("\nskipped:\n  " + "\n  ".join(skipped))


# ---------------------------------------------------------------- chart


def draw_chart(results: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, middle, counted, right) = plt.subplots(1, 4, figsize=(21, 5))
    cons = results["construction"]["sizes"]
    sizes = list(cons)
    labels = {"tamsel": "tamsel", "yaml_parse": "PyYAML events (libyaml)", "yaml_load": "PyYAML CSafeLoader load"}
    for e, label in labels.items():
        _plot(left, sizes, [cons[n]["per_rule_s"][e] for n in sizes], label, 1e6)
    _plot(left, sizes, [_div(cons[n]["cpp_cpu_s"]["construct"], n) for n in sizes], "C++ core construct", 1e6, "--")
    _plot(left, sizes, [_div(cons[n]["cpp_cpu_s"]["libyaml_events"], n) for n in sizes], "C++ libyaml event loop", 1e6, "--")
    left.set(xscale="log", yscale="log", xlabel="rules in the policy", ylabel="µs per rule",
             title="Construction cost per rule")  # fmt: skip

    ev = results["evaluate"]
    fields = [10, 100, 1000]
    for e in ("tamsel", "floor", "python", "cedarpy", "casbin"):
        _plot(middle, fields, [ev[f"fields_{n}"]["median_s"][e] for n in fields], e, 1e6)
    middle.set(xscale="log", yscale="log", xlabel="input fields per domain", ylabel="µs per call",
               title="evaluate() on the example policy")  # fmt: skip

    rows = results["evaluate_instructions"]
    if rows:
        counted.bar([r["workload"] for r in rows], [r["ratio"] for r in rows])
        counted.axhline(1.0, color="black", linewidth=0.8)
        counted.tick_params(axis="x", labelrotation=30)
    counted.set(ylabel="tamsel / floor, instructions per call",
                title="evaluate() against the floor (callgrind)")  # fmt: skip

    hashes = results["hash"]
    hsizes = list(hashes)
    _plot(right, hsizes, [hashes[n]["median_s"]["tamsel"] for n in hsizes], "policy_hash()", 1e6)
    _plot(right, hsizes, [hashes[n]["median_s"]["hashlib"] for n in hsizes], "hashlib sha256, same bytes", 1e6)
    right.set(xscale="log", yscale="log", xlabel="rules in the policy", ylabel="µs per call", title="policy_hash()")
    for ax in (left, middle, right):
        ax.grid(True, which="both", alpha=0.3)
        if ax.lines:
            ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def _div(a: float | None, b: float) -> float | None:
    return None if a is None else a / b


def _plot(ax: Any, xs: list, ys: list, label: str, scale: float, style: str = "-") -> None:
    points = [(x, y * scale) for x, y in zip(xs, ys) if y is not None]
    if points:
        ax.plot(*zip(*points), style, marker="o", label=label)


# ---------------------------------------------------------------- main


def main() -> int:
    r = w.RESULTS
    engines = prepare.load_engines()
    sizes = engines["sizes"]
    cpp_construct, cpp_hash = load_gbench(r / "cpp_construct.json"), load_gbench(r / "cpp_hash.json")
    results = {
        "machine": {"python": sys.version.split()[0], "platform": platform.platform(),
                    "cpus": os.cpu_count(), "load_average": os.getloadavg()},  # fmt: skip
        "engines": engines,
        "evaluate": evaluation_section(load_pyperf(r / "evaluate.json")),
        "evaluate_instructions": load_instructions(r / "callgrind.json"),
        "construction": construction_section(load_pyperf(r / "construct.json"), cpp_construct, sizes),
        "hash": hash_section(load_pyperf(r / "hash.json"), cpp_hash, sizes),
        "memory": memory_section(cpp_hash, load_memory(r / "memory.jsonl"), sizes),
        "cpp_errors": {k: v["error"] for k, v in {**cpp_construct, **cpp_hash}.items() if "error" in v},
    }
    (r / "results.json").write_text(json.dumps(results, indent=2), encoding="utf-8")
    print_report(results)
    for name, error in results["cpp_errors"].items():
        print(f"C++ benchmark {name} failed: {error}")
    draw_chart(results, CHART)
    print(f"\nfigures: {r / 'results.json'}\nchart:   {CHART}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
