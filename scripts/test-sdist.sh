#!/usr/bin/env bash
# Builds the source distribution from a clean copy of the tracked files, then,
# as a user on a platform without a wheel would, installs it into a fresh
# virtual environment (pip fetches the build tools; the machine's libyaml and
# libcrypto are linked) and runs tests/python of the unpacked sdist against it.
# Leaves dist/tamsel-<version>.tar.gz.
#   scripts/test-sdist.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" wheel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS
fail() {
  echo "test-sdist: $*" >&2
  exit 1
}
log="$work/log"
quietly() { "$@" >"$log" 2>&1 || { tail -n 60 "$log" >&2; return 1; }; }

"$root/scripts/copy-tracked.sh" "$work/src"
quietly "$root/.venv/bin/python" -m build --sdist --outdir "$work/dist" "$work/src" || fail "the sdist did not build"
sdist=$(echo "$work"/dist/tamsel-*.tar.gz)
[ -f "$sdist" ] || fail "no sdist was made"
mkdir -p "$work/unpacked" && tar -xzf "$sdist" -C "$work/unpacked"
tree=$(echo "$work"/unpacked/tamsel-*)
[ -d "$tree/tests/python" ] || fail "the sdist lacks tests/python"

python3 -m venv "$work/venv"
quietly "$work/venv/bin/python" -m pip install "$sdist" || fail "the sdist did not install"
quietly "$work/venv/bin/python" -m pip install pytest mypy pyyaml pygls==2.1.1 || fail "the test tools did not install"
(cd "$tree" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python) || fail "the tests failed on the installed sdist"
mkdir -p "$root/dist"
rm -f "$root"/dist/tamsel-*.tar.gz
cp "$sdist" "$root/dist/"
echo "sdist: dist/$(basename "$sdist"), $(stat -c %s "$sdist") bytes, built, installed and tested in $((SECONDS - started)) s"
