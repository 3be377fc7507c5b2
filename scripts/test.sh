#!/usr/bin/env bash
# Every test: the C++ core tests (GoogleTest, via ctest) and the Python tests of
# the installed module (pytest, including the stub check).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" "${TAMSEL_BOOTSTRAP:-test}"
"$root/scripts/install.sh"

venv="$root/.venv/bin"
build="$root/build/cpp-tests"
"$venv/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/ninja" \
  -DTAMSEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# The build's progress lines only when it fails.
if ! built=$("$venv/cmake" --build "$build" 2>&1); then
  printf '%s\n' "$built" >&2
  exit 1
fi
PATH="$venv:$PATH" "$root/scripts/run-ctest.sh" "$build"

cd "$root"
"$venv/python" -m pytest -q tests/python
