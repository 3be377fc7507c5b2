#!/usr/bin/env bash
# Runs the Python tests against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a temporary build directory.
# Usage: tests/python/run_asan.sh [pytest arguments...]   (PYTHON selects the interpreter)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
python=$(command -v "${PYTHON:-python3}")
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT

log="$build/build.log"
# g++ reports false "maybe uninitialized" warnings in sanitized, optimised builds.
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized \
    -DTAMSEL_BUILD_MODULE=ON -DTAMSEL_SANITIZE=ON -DPython_EXECUTABLE="$python" &&
  cmake --build "$build" --target tamsel tamsel_inspect; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "building the sanitized module failed" >&2
  exit 1
fi

# The tools package beside the sanitized _inspect that the build put in it, so
# that it is imported before any installed copy.
cp "$root"/cli/tamsel_tools/*.py "$build/tamsel_tools/"

# The interpreter itself is not instrumented, so the runtimes must be loaded first;
# its own allocations are not leak-checked.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
cd "$root/tests/python"
"$python" -c 'import sys, tamsel, tamsel_tools._inspect as inspect
sys.exit(0 if all(m.__file__.startswith(sys.argv[1]) for m in (tamsel, inspect)) else 1)' "$build" ||
  { echo "the sanitized modules were not the ones imported" >&2; exit 1; }
# The sanitizer's quarantine keeps freed memory, so resident size says nothing here.
"$python" -m pytest -q -p no:cacheprovider --ignore=test_stubs.py \
  -k "not test_memory_stays_flat" "$@"
