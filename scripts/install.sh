#!/usr/bin/env bash
# Builds the wheel's contents and installs tamsel into the project's .venv. The
# build directory under build/ is kept, so later installs are incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/.venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps "$root"
