#!/usr/bin/env bash
# `tamsel lsp` in a real editor: Neovim, headless, with its built-in LSP client, on a copy
# of the sample project; the diagnostics it shows are compared with those expected.
#   tests/editor/neovim.sh [TAMSEL_COMMAND]   (default: the project's .venv/bin/tamsel)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
command=${1:-$root/.venv/bin/tamsel}
if ! command -v nvim >/dev/null; then
  echo "neovim is not installed: scripts/bootstrap.sh ci installs it" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/tests/python/lsp_project" "$work/project"
# A key that the engine skips, so that the opened policy has a warning besides lint's.
sed -i 's/^    effect: require_approval$/    efect: x\n    effect: require_approval/' "$work/project/policy.yaml"
cd "$work/project"
TAMSEL_COMMAND=$command TAMSEL_OUT=$work/shown timeout 120 \
  nvim --headless --clean -n -c "luafile $root/tests/editor/neovim.lua" policy.yaml </dev/null >/dev/null 2>&1 || true
cat >"$work/expected" <<'TEXT'
-- opened
10:5: warning: rule 'block_larger_refunds' never decides: every input that it matches is decided first by rule 'block_large_refunds' (index 0) [shadowed]
17:5: warning: key 'efect' is not read here [skipped_key]
-- mistyped
6:16: error: unknown field 'amont' in domain 'action' [unknown_field]
-- fixed
10:5: warning: rule 'block_larger_refunds' never decides: every input that it matches is decided first by rule 'block_large_refunds' (index 0) [shadowed]
17:5: warning: key 'efect' is not read here [skipped_key]
TEXT
if ! diff -u "$work/expected" "$work/shown"; then
  echo "neovim: the diagnostics shown differ from those expected" >&2
  exit 1
fi
echo "neovim: 3 passed, 0 failed"
