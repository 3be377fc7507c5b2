#!/usr/bin/env bash
# Runs the Python tests against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a temporary build directory.
# Usage: tests/python/run_asan.sh [pytest arguments...]   (PYTHON selects the interpreter)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
venv="$root/.venv/bin"  # the project's CMake and Ninja (scripts/bootstrap.sh)
python=$(command -v "${PYTHON:-python3}")
case "$python" in /*) ;; *) python="$PWD/$python" ;; esac  # the tests run elsewhere
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT

log="$build/build.log"
configure() {
  "$venv/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSEL_BUILD_MODULE=ON -DTAMSEL_SANITIZE=ON \
    -DPython_EXECUTABLE="$python" "$@"
}
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
# The compiler's family as CMake found it: GNU, Clang, ...
compiler_id() { sed -n 's/^set(CMAKE_CXX_COMPILER_ID "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake; }
# g++ reports false "maybe uninitialized" warnings in sanitized, optimised builds.
if ! { configure &&
  { [ "$(compiler_id)" != GNU ] ||
    configure -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized; } &&
  "$venv/cmake" --build "$build" --target tamsel tamsel_inspect; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "building the sanitized module failed" >&2
  exit 1
fi

# The wheel's layout (the sanitized modules, the tools and their data such as the
# JSON Schemas) installed into one folder, imported before any installed copy.
site="$build/site"
"$venv/cmake" --install "$build" --prefix "$site" >>"$log" 2>&1 ||
  { cat "$log" >&2; echo "installing the sanitized module failed" >&2; exit 1; }

# The sanitizer runtimes of the compiler that built the module. g++ ships ASan
# and UBSan apart; clang's ASan runtime holds UBSan's too, and sits under a
# name that depends on how that clang was built.
compiler=$(cache_value CMAKE_CXX_COMPILER)
case "$(compiler_id)" in
  GNU) runtimes=("$("$compiler" -print-file-name=libasan.so)" "$("$compiler" -print-file-name=libubsan.so)") ;;
  Clang)
    runtime_dir=$("$compiler" -print-runtime-dir)
    runtimes=("$runtime_dir/libclang_rt.asan-x86_64.so")
    [ -f "${runtimes[0]}" ] || runtimes=("$runtime_dir/libclang_rt.asan.so")
    ;;
  *) echo "no sanitizer runtime known for the compiler $compiler" >&2; exit 1 ;;
esac
for runtime in "${runtimes[@]}"; do
  [ -f "$runtime" ] || { echo "the sanitizer runtime $runtime of $compiler is missing" >&2; exit 1; }
done

# The interpreter itself is not instrumented, so the runtimes must be loaded first;
# its own allocations are not leak-checked.
LD_PRELOAD=$(IFS=:; echo "${runtimes[*]}")
export LD_PRELOAD
export ASAN_OPTIONS=detect_leaks=0
export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
cd "$root/tests/python"
"$python" -c 'import sys, tamsel, tamsel_tools._inspect as inspect
sys.exit(0 if all(m.__file__.startswith(sys.argv[1]) for m in (tamsel, inspect)) else 1)' "$site" ||
  { echo "the sanitized modules were not the ones imported" >&2; exit 1; }
# The sanitizer's quarantine keeps freed memory, so resident size says nothing here.
"$python" -m pytest -q -p no:cacheprovider --ignore=test_stubs.py \
  -k "not test_memory_stays_flat" "$@"
