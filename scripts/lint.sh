#!/usr/bin/env bash
# Style and static analysis: clang-format must leave every source unchanged and
# clang-tidy must report nothing (its checks are in .clang-tidy); ruff must leave
# the tools' Python unchanged and find nothing in it or its tests (its settings
# are in pyproject.toml). All are the pinned versions that scripts/bootstrap.sh
# installs into .venv, whatever the machine has.
#   scripts/lint.sh          check
#   scripts/lint.sh --fix    reformat in place
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" lint >&2
venv="$root/.venv/bin"
cd "$root"
# The core's folders come from layers.txt (first word of each line), then the binding's.
mapfile -t folders < <(sed -e 's/#.*//' layers.txt | awk 'NF { print $1 }')
folders+=(python)
patterns=()
for folder in "${folders[@]}"; do patterns+=("$folder/*.cpp" "$folder/*.h"); done
mapfile -t sources < <(git ls-files -co --exclude-standard -- \
  "${patterns[@]}" 'tests/cpp/*.cpp' 'fuzz/*.cpp' 'benchmarks/*.cpp')
python_formatted=(cli)
python_linted=(cli tests/python)
if [ "${1:-}" = --fix ]; then
  "$venv/clang-format" -i "${sources[@]}"
  "$venv/ruff" format --quiet "${python_formatted[@]}"
  "$venv/ruff" check --quiet --fix "${python_linted[@]}"
  exit 0
fi
"$venv/clang-format" --dry-run --Werror "${sources[@]}"
"$venv/ruff" format --check --quiet "${python_formatted[@]}"
"$venv/ruff" check --quiet "${python_linted[@]}"

# clang-tidy needs a compilation database that holds the module's sources too.
build="$root/build/tidy"
"$venv/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/ninja" \
  -DTAMSEL_BUILD_MODULE=ON -DTAMSEL_BUILD_TESTS=ON -DPython_EXECUTABLE="$venv/python" >/dev/null
core=$(IFS='|'; echo "${folders[*]}")
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E "^($core)/.*\.cpp$")
# The packaged clang-tidy carries no compiler built-in headers (stddef.h and
# the like): it takes those of the compiler in use, searched last. Findings in
# the project's own headers count too, wherever the build finds them.
builtin_headers=$("${CXX:-c++}" -print-file-name=include)
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 "$venv/clang-tidy" -p "$build" --quiet \
  --extra-arg=-idirafter"$builtin_headers" --header-filter="/($core)/[^/]*\.h$" 2>/dev/null
echo "lint: clean"
