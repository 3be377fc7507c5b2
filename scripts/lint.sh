#!/usr/bin/env bash
# Style and static analysis: clang-format must leave every source unchanged and
# clang-tidy must report nothing (its checks are in .clang-tidy). Both are the
# pinned versions that scripts/bootstrap.sh installs into .venv, whatever the
# machine has.
#   scripts/lint.sh          check
#   scripts/lint.sh --fix    reformat in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" lint >&2
venv="$root/.venv/bin"
cd "$root"
mapfile -t sources < <(git ls-files -co --exclude-standard -- \
  'common/*.cpp' 'common/*.h' 'documents/*.cpp' 'documents/*.h' 'compiler/*.cpp' 'compiler/*.h' \
  'governance/*.cpp' 'governance/*.h' 'engine/*.cpp' 'engine/*.h' 'construction/*.cpp' 'construction/*.h' \
  'python/*.cpp' 'python/*.h' \
  'tests/cpp/*.cpp' 'fuzz/*.cpp' 'benchmarks/*.cpp')
if [ "${1:-}" = --fix ]; then
  "$venv/clang-format" -i "${sources[@]}"
  exit 0
fi
"$venv/clang-format" --dry-run --Werror "${sources[@]}"

# clang-tidy needs a compilation database that holds the module's sources too.
build="$root/build/tidy"
"$venv/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/ninja" \
  -DTAMSEL_BUILD_MODULE=ON -DTAMSEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/python" >/dev/null
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E '^(common|documents|compiler|governance|engine|construction|python)/.*\.cpp$')
# The packaged clang-tidy carries no compiler built-in headers (stddef.h and
# the like): it takes those of the compiler in use, searched last.
builtin_headers=$("${CXX:-c++}" -print-file-name=include)
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 "$venv/clang-tidy" -p "$build" --quiet \
  --extra-arg=-idirafter"$builtin_headers" 2>/dev/null
echo "lint: clean"
