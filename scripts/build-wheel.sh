#!/usr/bin/env bash
# Builds the portable wheels and checks them: from a clean copy of the tracked
# files, with zig's C and C++ toolchain for a fixed glibc (2.17) or for musl,
# against static libyaml and libcrypto built from pinned Debian sources
# (scripts/wheel-toolchain.sh) and libc++ linked in. Leaves in dist/ exactly
#   tamsel-<version>-cp39-abi3-manylinux2014_x86_64.whl
#   tamsel-<version>-cp39-abi3-manylinux2014_aarch64.whl
#   tamsel-<version>-cp39-abi3-musllinux_1_2_x86_64.whl
# Any failed check stops it. The glibc floor comes from the target named here,
# never from the machine that builds.
#   scripts/build-wheel.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wheel-toolchain.sh
source "$root/scripts/wheel-toolchain.sh"

# name: zig target, OpenSSL's target, the host platform scikit-build-core is
# told, ELF machine, newest glibc symbol version allowed (none for musl).
declare -A zig_target=([manylinux2014_x86_64]=x86_64-linux-gnu.2.17
  [manylinux2014_aarch64]=aarch64-linux-gnu.2.17 [musllinux_1_2_x86_64]=x86_64-linux-musl)
declare -A openssl_target=([manylinux2014_x86_64]=linux-x86_64
  [manylinux2014_aarch64]=linux-aarch64 [musllinux_1_2_x86_64]=linux-x86_64)
declare -A host_platform=([manylinux2014_x86_64]=linux-x86_64
  [manylinux2014_aarch64]=linux-aarch64 [musllinux_1_2_x86_64]=linux-x86_64)
declare -A elf_machine=([manylinux2014_x86_64]='Advanced Micro Devices X86-64'
  [manylinux2014_aarch64]=AArch64 [musllinux_1_2_x86_64]='Advanced Micro Devices X86-64')
declare -A glibc_floor=([manylinux2014_x86_64]=2.17 [manylinux2014_aarch64]=2.17 [musllinux_1_2_x86_64]=)
platforms=(manylinux2014_x86_64 manylinux2014_aarch64 musllinux_1_2_x86_64)
# What a module may need besides itself: the C library's parts and the dynamic
# loader; musl's loader answers for all of them under the name libc.so.
allowed_needed='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1|libc\.so)$'

"$root/scripts/bootstrap.sh" wheel
export PATH="$root/.venv/bin:$PATH"
work=$(mktemp -d)
# Stopped early, the builds still running stop too, with all they started.
stop_tree() {
  local child
  for child in $(pgrep -P "$1" || true); do
    stop_tree "$child"
  done
  kill "$1" 2>/dev/null || true
}
trap 'for job in $(jobs -p); do stop_tree "$job"; done; wait; rm -rf "$work"' EXIT
started=$SECONDS
fail() {
  echo "build-wheel: $*" >&2
  exit 1
}

# build PLATFORM: one wheel, still tagged for the building machine, in
# $work/built-PLATFORM. zig's libraries for the target are built meanwhile.
build() {
  local platform=$1 target=${zig_target[$1]} deps tools warming
  warm_zig "$target" &
  warming=$!
  deps=$(static_deps "$target" "${openssl_target[$platform]}")
  tools=$(zig_wrappers "$target")
  wait "$warming" || fail "zig's libraries for $target did not build"
  # Only the static libraries' pkg-config files and OpenSSL are seen, never the
  # machine's. A copy of the sources each, as the three build side by side.
  # One unit a library: most of a unit's time goes to the standard headers.
  cp -r "$work/src" "$work/src-$platform"
  logged "$work/build-$platform.log" env CC="$tools/cc" CXX="$tools/c++" \
    PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= \
    _PYTHON_HOST_PLATFORM="${host_platform[$platform]}" \
    python -m pip wheel --no-build-isolation --no-deps "$work/src-$platform" -w "$work/built-$platform" \
    -C cmake.define.CMAKE_AR="$tools/ar" -C cmake.define.CMAKE_RANLIB="$tools/ranlib" \
    -C cmake.define.OPENSSL_ROOT_DIR="$deps" -C cmake.define.OPENSSL_USE_STATIC_LIBS=TRUE \
    -C cmake.define.CMAKE_UNITY_BUILD=ON ||
    fail "the $platform wheel did not build (log above)"
}

# tag_and_license PLATFORM: the wheel tagged for PLATFORM, with the licence
# texts of the libraries linked into it, in $work/final.
tag_and_license() {
  local platform=$1 deps unpacked dist_info
  deps=$(static_deps "${zig_target[$platform]}" "${openssl_target[$platform]}")
  rm -rf "$work/unpacked" && mkdir -p "$work/unpacked"
  wheel unpack -d "$work/unpacked" "$work/built-$platform"/*.whl >/dev/null
  unpacked=$(echo "$work"/unpacked/*)
  dist_info=$(echo "$unpacked"/*.dist-info)
  sed -i "s/^Tag: cp39-abi3-.*/Tag: cp39-abi3-$platform/" "$dist_info/WHEEL"
  mkdir -p "$dist_info/licenses/bundled"
  cp "$deps"/licenses/* "$dist_info/licenses/bundled/"
  mkdir -p "$work/final"
  wheel pack -d "$work/final" "$unpacked" >/dev/null
}

# The version symbols that a module asks of the C library, one a line (GLIBC_2.14, ...).
version_needs() {
  readelf -W -V "$1" | sed -n '/Version needs section/,$p' | grep -oE 'Name: [A-Za-z0-9_.]+' | cut -d' ' -f2 | sort -u
}

# check_module PLATFORM SO: the checks every extension module in a wheel must pass.
check_module() {
  local platform=$1 so=$2 name needed version floor=${glibc_floor[$1]} exports
  name=$(basename "$so")
  name=${name%%.*}
  readelf -h "$so" | grep -q "Machine: *${elf_machine[$platform]}\$" ||
    fail "$so is not built for ${elf_machine[$platform]}"
  exports=$(readelf -W --dyn-syms "$so" | awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' | sort -u)
  [ "$exports" = "PyInit_$name" ] || fail "$so must export PyInit_$name only, not: $(echo $exports)"
  for needed in $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [[ $needed =~ $allowed_needed ]] ||
      fail "$so needs $needed; beyond the C library nothing may be needed (libyaml, libcrypto and libc++ are linked in)"
  done
  for version in $(version_needs "$so"); do
    [ -n "$floor" ] || fail "$so asks for the symbol version $version, which musl does not have"
    [[ $version =~ ^GLIBC_[0-9.]+$ ]] || fail "$so asks for $version, which only another library has"
    [ "$(printf '%s\n' "${version#GLIBC_}" "$floor" | sort -V | tail -n 1)" = "$floor" ] ||
      fail "$so asks for $version, newer than the glibc $floor that $platform allows"
  done
}

# check_wheel PLATFORM WHEEL
check_wheel() {
  local platform=$1 wheel=$2 checked modules so
  case "$(basename "$wheel")" in
    tamsel-*-cp39-abi3-"$platform".whl) ;;
    *) fail "$(basename "$wheel") is not tagged cp39-abi3-$platform" ;;
  esac
  checked="$work/checked-$platform"
  rm -rf "$checked" && mkdir -p "$checked"
  python -m zipfile -e "$wheel" "$checked"
  [ "$(grep '^Tag:' "$checked"/*.dist-info/WHEEL)" = "Tag: cp39-abi3-$platform" ] ||
    fail "$(basename "$wheel") declares tags other than cp39-abi3-$platform"
  abi3audit --strict --summary "$wheel" >"$work/abi3audit.log" 2>&1 ||
    { cat "$work/abi3audit.log" >&2; fail "abi3audit found a use beyond the stable ABI in $(basename "$wheel")"; }
  mapfile -t modules < <(cd "$checked" && find . -name '*.so' | sort)
  [ ${#modules[@]} -gt 0 ] || fail "$(basename "$wheel") holds no extension module"
  for so in ./tamsel.abi3.so ./tamsel_tools/_inspect.abi3.so; do
    printf '%s\n' "${modules[@]}" | grep -qxF "$so" || fail "$(basename "$wheel") lacks $so"
  done
  for so in "${modules[@]}"; do
    [[ $so == *.abi3.so ]] || fail "$so in $(basename "$wheel") is not named for the stable ABI"
    check_module "$platform" "$checked/$so"
  done
  # The licences: the project's own, libyaml's (MIT) and OpenSSL's (Apache-2.0).
  grep -q 'Apache License' "$checked"/*.dist-info/licenses/LICENSE || fail "the wheel lacks LICENSE"
  grep -q 'Permission is hereby granted' "$checked"/*.dist-info/licenses/bundled/libyaml-LICENSE ||
    fail "the wheel lacks libyaml's licence"
  grep -q 'Apache License' "$checked"/*.dist-info/licenses/bundled/openssl-LICENSE.txt ||
    fail "the wheel lacks OpenSSL's licence"
  if [ -n "${glibc_floor[$platform]}" ]; then
    # A second opinion on the policy, from the tool that defines it.
    auditwheel show "$wheel" >"$work/auditwheel.log" 2>&1 || { cat "$work/auditwheel.log" >&2; fail "auditwheel cannot read $(basename "$wheel")"; }
    tr '\n' ' ' <"$work/auditwheel.log" | grep -q "consistent with the following platform tag: \"manylinux_2_17_${platform#manylinux2014_}\"" ||
      { cat "$work/auditwheel.log" >&2; fail "auditwheel does not place $(basename "$wheel") at manylinux_2_17"; }
  fi
}

"$root/scripts/copy-tracked.sh" "$work/src"
# The three wheels build side by side: much of each build runs on one core
# (zig's libraries, OpenSSL's configuration, CMake's), so together they keep
# both busy. What is fetched and shared is made first, one at a time.
fetch_toolchain "${zig_target[@]}"
declare -A building=()
for platform in "${platforms[@]}"; do
  build "$platform" >"$work/steps-$platform.log" 2>&1 &
  building[$platform]=$!
done
failed=()
for platform in "${platforms[@]}"; do
  if wait "${building[$platform]}"; then
    echo "built $platform at $((SECONDS - started)) s"
  else
    cat "$work/steps-$platform.log" >&2
    failed+=("$platform")
  fi
done
[ ${#failed[@]} -eq 0 ] || fail "did not build: ${failed[*]}"
for platform in "${platforms[@]}"; do
  tag_and_license "$platform"
done
mapfile -t wheels < <(ls "$work"/final/*.whl)
[ ${#wheels[@]} -eq ${#platforms[@]} ] || fail "expected ${#platforms[@]} wheels, got: ${wheels[*]}"
for platform in "${platforms[@]}"; do
  check_wheel "$platform" "$(ls "$work"/final/tamsel-*-cp39-abi3-"$platform".whl 2>/dev/null || echo "no $platform wheel")"
done
mkdir -p "$root/dist"
rm -f "$root"/dist/tamsel-*.whl
mv "${wheels[@]}" "$root/dist/"
for wheel in "${wheels[@]}"; do
  echo "wheel: dist/$(basename "$wheel"), $(stat -c %s "$root/dist/$(basename "$wheel")") bytes"
done
echo "build-wheel: ${#wheels[@]} wheels built and checked in $((SECONDS - started)) s"
