#!/usr/bin/env bash
# Runs ctest in a build directory and prints one line per test suite and ctest's
# own summary; the full output only when a test fails. A build without tests fails.
#   scripts/run-ctest.sh BUILD_DIR [ctest arguments...]
set -euo pipefail
build=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)" "$@" >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
# A result line reads "n/N Test #k: Suite.Case ... Passed 0.01 sec"; parameterised
# suites are named "Prefix/Suite".
awk '$2 == "Test" && $3 ~ /^#[0-9]+:$/ { split($4, name, "."); count[name[1]]++ }
     END { for (suite in count) printf "%-40s %4d passed\n", suite, count[suite] }' "$log" | sort
grep -E '^[0-9]+% tests passed|^Total Test time' "$log"
