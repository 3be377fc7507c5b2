"""pyperf benchmarks of construction against YAML parsing of the same texts.

Names: construct/<rules>/<engine> with the engines
  tamsel      PyTamsel(schema, policy, governance)
  yaml_parse  PyYAML's event loop on libyaml (yaml.parse with CSafeLoader),
              every event of the three texts taken and dropped
  yaml_load   PyYAML's yaml.load with CSafeLoader of the three texts
The texts are the files that prepare.py wrote, the same that the C++
benchmarks read.
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import prepare
import pyperf
import workloads as w
import yaml


def _tamsel(texts: tuple[str, str, str]) -> None:
    import tamsel

    tamsel.PyTamsel(*texts)


def _yaml_parse(texts: tuple[str, str, str]) -> None:
    for text in texts:
        for _ in yaml.parse(text, Loader=yaml.CSafeLoader):
            pass


def _yaml_load(texts: tuple[str, str, str]) -> None:
    for text in texts:
        yaml.load(text, Loader=yaml.CSafeLoader)


ENGINES: dict[str, Callable[[tuple[str, str, str]], None]] = {
    "tamsel": _tamsel,
    "yaml_parse": _yaml_parse,
    "yaml_load": _yaml_load,
}
_texts: dict[int, tuple[str, str, str]] = {}


def time_construct(loops: int, rules: int, engine: str) -> float:
    if rules not in _texts:
        _texts[rules] = w.read_construction_texts(rules)
    texts, build = _texts[rules], ENGINES[engine]
    start = time.perf_counter()
    for _ in range(loops):
        build(texts)
    return time.perf_counter() - start


def add_cmdline_args(cmd: list[str], args: argparse.Namespace) -> None:
    cmd.extend(("--sizes", ",".join(map(str, args.sizes)), "--engines", ",".join(args.engines)))


def main() -> None:
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], required=True)
    runner.argparser.add_argument("--engines", type=lambda s: s.split(","), default=list(ENGINES))
    args = runner.parse_args()
    if not hasattr(yaml, "CSafeLoader"):
        raise SystemExit("PyYAML was built without libyaml: its C loader, the floor here, is missing")
    tamsel_ok = prepare.load_engines()["tamsel_construction"]["available"]
    for n in args.sizes:
        for engine in args.engines:
            if engine != "tamsel" or tamsel_ok:
                runner.bench_time_func(f"construct/{n}/{engine}", time_construct, n, engine)


if __name__ == "__main__":
    main()
