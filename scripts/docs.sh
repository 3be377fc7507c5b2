#!/usr/bin/env bash
# Builds the documentation site from docs/ and mkdocs.yml into build/site, failing on any
# warning (a broken link, a name that mkdocstrings cannot find). The samples of the pages
# are run by tests/python/test_docs.py (scripts/test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" docs
cd "$root"
# As a module, so that the console script's folder (.venv/bin, which holds `tamsel`) is not
# searched for the packages the API page documents; the stubs and cli/ are.
NO_MKDOCS_2_WARNING=1 "$root/.venv/bin/python" -m mkdocs build --strict "$@"
