#!/usr/bin/env bash
# Compiles the core library (every layer but python/) for macOS on arm64 and
# x86-64 and for Windows on x86-64 with zig, compile only: nothing is linked or
# run, so this shows that the sources and the platform shim build there, not
# that they work. Uses the toolchain and headers of scripts/wheel-toolchain.sh.
#   scripts/compile-core.sh [ZIG_TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wheel-toolchain.sh
source "$root/scripts/wheel-toolchain.sh"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64-macos x86_64-macos x86_64-windows-gnu)

# The libraries' headers only declare what the core calls; those of the Linux
# build serve.
headers=$(static_deps x86_64-linux-gnu.2.17 linux-x86_64)/include
mapfile -t sources < <(cd "$root" && ls common/*.cpp documents/*.cpp compiler/*.cpp governance/*.cpp \
  engine/*.cpp construction/*.cpp)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS
for target in "${targets[@]}"; do
  tools=$(zig_wrappers "$target")
  # Two at a time, each to its own object file; a failure shows its compiler output.
  if ! (cd "$root" && printf '%s\n' "${sources[@]}" |
    xargs -P "$(nproc)" -I{} sh -c '"$0" -std=c++20 -O0 -Wall -Wextra -Wpedantic -Werror -I. -isystem "$1" \
      -DYAML_DECLARE_STATIC -c {} -o "$2/$(echo {} | tr / _).o"' "$tools/c++" "$headers" "$work"); then
    echo "compile-core: the core does not compile for $target" >&2
    exit 1
  fi
  echo "compile-core: ${#sources[@]} sources compile for $target"
done
echo "compile-core: done in $((SECONDS - started)) s"
