#!/usr/bin/env bash
# Builds the wheel's contents and installs tamsel into the project's .venv. The
# build directory build/<wheel tag> is kept, so later installs are incremental;
# a plain `pip install .` builds in a temporary directory instead, so that it
# works from a read-only checkout too.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/.venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  --config-settings=build-dir="$root/build/{wheel_tag}" "$root"
