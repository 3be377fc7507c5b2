#!/usr/bin/env bash
# Copies the working-tree state of every tracked file, and nothing else, into a
# new directory: no build directory or stray file comes along.
#   scripts/copy-tracked.sh DEST
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
git -C "$root" ls-files -z --cached |
  (cd "$root" && while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done) |
  tar -C "$root" --null -T - -cf - | tar -C "$1" -xf -
