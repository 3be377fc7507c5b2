#!/usr/bin/env bash
# Runs the whole benchmark suite: installs what it needs into a venv, builds
# tamsel, the floor extension and the C++ benchmarks, measures, and writes
# benchmarks/results/results.json and docs/assets/chart.png.
#
#   benchmarks/run.sh            full run (about ten minutes)
#   benchmarks/run.sh --quick    fewer repetitions, policies up to 10,000 rules
#
# The venv is .venv at the repository root (made by scripts/bootstrap.sh bench)
# when it exists, else build/benchmarks/venv; TAMSEL_BENCH_VENV names another
# (created when missing). Use one that nothing else reinstalls during the run.
# cedarpy and casbin are optional: when they cannot be installed their rows
# are skipped and the report says so.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH="$ROOT/benchmarks"
RESULTS="$BENCH/results"
WORK="$ROOT/build/benchmarks"

QUICK=0
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    -h | --help) sed -n '2,13p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "run.sh: unknown option $arg (use --quick)" >&2; exit 2 ;;
  esac
done

if ((QUICK)); then
  SIZES=100,1000,10000
  PYPERF=(--quiet --processes 2 --values 2 --warmups 1 --min-time 0.05)
  PYPERF_LARGE=(--quiet --processes 2 --values 1 --warmups 1 --loops 1)
  GBENCH=(--benchmark_min_time=0.05 --benchmark_repetitions=1)
  HOLD=(1000 10)
else
  SIZES=100,1000,10000,100000
  PYPERF=(--quiet --processes 4 --values 3 --warmups 1)
  PYPERF_LARGE=(--quiet --processes 3 --values 2 --warmups 1 --loops 1)
  GBENCH=(--benchmark_min_time=0.2 --benchmark_repetitions=5)
  HOLD=(10000 10)
fi
LARGEST="${SIZES##*,}"
# Sizes from 10,000 rules on take seconds per construction: fewer runs there.
SMALL_SIZES=100,1000
LARGE_SIZES="${SIZES#"$SMALL_SIZES",}"

step() { printf '\n== [%s] %s\n' "$(date +%T)" "$*"; }

# A failed measurement does not stop the others; the run's status tells.
FAILED=0
try() { "$@" || { echo "run.sh: failed: $*" >&2; FAILED=1; }; }

# Installs what the run needs; sets VENV, PY, CPP_OK.
prepare_tools() {
  if [[ -z "${TAMSEL_BENCH_VENV:-}" && -x "$ROOT/scripts/bootstrap.sh" ]]; then
    step "bootstrapping the project venv for benchmarks"
    "$ROOT/scripts/bootstrap.sh" bench || echo "run.sh: bootstrap failed; going on with what is installed" >&2
  fi
  if [[ -n "${TAMSEL_BENCH_VENV:-}" ]]; then
    VENV="$TAMSEL_BENCH_VENV"
  elif [[ -x "$ROOT/.venv/bin/python" ]]; then
    VENV="$ROOT/.venv"
  else
    VENV="$WORK/venv"
  fi
  if [[ ! -x "$VENV/bin/python" ]]; then
    step "creating the venv $VENV"
    python3 -m venv "$VENV"
  fi
  PY="$VENV/bin/python"
  mkdir -p "$WORK"
  PIP_LOG="$WORK/pip.log"
  : >"$PIP_LOG"
  pip_install() { "$PY" -m pip install -q --disable-pip-version-check "$@" >>"$PIP_LOG" 2>&1; }

  step "installing pyperf, matplotlib, PyYAML and the optional peers into $VENV"
  pip_install pyperf matplotlib pyyaml || { echo "run.sh: pip failed, see $PIP_LOG" >&2; exit 1; }
  for peer in cedarpy casbin; do
    pip_install "$peer" || echo "run.sh: $peer could not be installed; its rows will be skipped" >&2
  done

  step "building and installing tamsel from $ROOT"
  # Its own build folder, so that a build running elsewhere in the tree is not disturbed.
  if ! pip_install --force-reinstall --no-deps -C build-dir="build/benchmarks/wheel" "$ROOT"; then
    echo "run.sh: tamsel did not build (see $PIP_LOG); its rows will be skipped" >&2
    "$PY" -m pip uninstall -q -y tamsel >/dev/null 2>&1 || true
  fi

  step "building and installing the floor extension"
  rm -rf "$WORK/floor-src"
  cp -r "$BENCH/floor" "$WORK/floor-src"  # keeps build leftovers out of the source tree
  pip_install --force-reinstall --no-deps "$WORK/floor-src" || { echo "run.sh: the floor did not build, see $PIP_LOG" >&2; exit 1; }

  step "building the C++ benchmarks"
  CMAKE=cmake
  CMAKE_ARGS=()
  if [[ -x "$VENV/bin/cmake" && -x "$VENV/bin/ninja" ]]; then
    CMAKE="$VENV/bin/cmake"
    CMAKE_ARGS=(-DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja")
  fi
  CPP_OK=0
  if "$CMAKE" -S "$ROOT" -B "$WORK/cpp" -G Ninja "${CMAKE_ARGS[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DTAMSEL_BUILD_BENCHMARKS=ON >"$WORK/cpp-build.log" 2>&1 &&
    "$CMAKE" --build "$WORK/cpp" --target hash_bench construct_bench >>"$WORK/cpp-build.log" 2>&1; then
    CPP_OK=1
  else
    echo "run.sh: the C++ benchmarks did not build (see $WORK/cpp-build.log); their rows will be empty" >&2
  fi
}

measure() {
  cd "$BENCH"
  mkdir -p "$RESULTS"
  rm -f "$RESULTS"/{evaluate,callgrind,construct,hash}.json "$RESULTS"/cpp_*.json "$RESULTS"/memory.jsonl

  step "writing the texts and checking every engine's answers"
  "$PY" prepare.py --sizes "$SIZES"  # a wrong answer makes every figure meaningless: stop

  if ((CPP_OK)); then
    step "C++: policy hash and compiled-policy memory"
    "$WORK/cpp/hash_bench" "${GBENCH[@]}" --benchmark_out="$RESULTS/cpp_hash.json" \
      --benchmark_out_format=json >"$WORK/cpp_hash.txt" 2>&1 || echo "run.sh: hash_bench failed; its rows will be empty" >&2
    step "C++: construction against libyaml's event loop"
    "$WORK/cpp/construct_bench" "${GBENCH[@]}" --benchmark_out="$RESULTS/cpp_construct.json" \
      --benchmark_out_format=json >"$WORK/cpp_construct.txt" 2>&1 || echo "run.sh: construct_bench failed; its rows will be empty" >&2
  fi

  step "evaluate()"
  try "$PY" bench_evaluate.py "${PYPERF[@]}" -o "$RESULTS/evaluate.json"
  step "evaluate(): instructions per call (callgrind)"
  if command -v valgrind >/dev/null; then
    try "$PY" evaluate_callgrind.py -o "$RESULTS/callgrind.json"
  else
    echo "run.sh: valgrind is not installed; the instruction counts are skipped" >&2
  fi
  step "construction"
  try "$PY" bench_construct.py "${PYPERF[@]}" --sizes "$SMALL_SIZES" -o "$RESULTS/construct.json"
  try "$PY" bench_construct.py "${PYPERF_LARGE[@]}" --sizes "$LARGE_SIZES" --engines tamsel,yaml_parse \
    --append "$RESULTS/construct.json"
  # PyYAML's load takes seconds to tens of seconds here (its cost per rule grows
  # with size), so one value only.
  try "$PY" bench_construct.py --quiet --processes 1 --values 1 --warmups 0 --loops 1 --sizes "$LARGE_SIZES" \
    --engines yaml_load --append "$RESULTS/construct.json"
  step "policy_hash()"
  try "$PY" bench_hash.py "${PYPERF[@]}" --sizes "$SIZES" -o "$RESULTS/hash.json"

  step "memory"
  if "$PY" -c 'import tamsel' 2>/dev/null; then
    "$PY" memory_probe.py peak "$LARGEST" tamsel >>"$RESULTS/memory.jsonl" ||
      echo '{"error": "the peak probe failed"}' >>"$RESULTS/memory.jsonl"
    "$PY" memory_probe.py hold "${HOLD[@]}" >>"$RESULTS/memory.jsonl" ||
      echo '{"error": "the hold probe failed"}' >>"$RESULTS/memory.jsonl"
  else
    echo "run.sh: tamsel is not installed; memory probes skipped" >&2
  fi

  step "report"
  try "$PY" report.py
}

# Everything runs from functions, which bash reads whole before running them,
# so an edit of this file during a run cannot change the run.
main() {
  prepare_tools
  measure
  return "$FAILED"
}
main
