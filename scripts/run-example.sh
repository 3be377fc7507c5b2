#!/usr/bin/env bash
# The main job: install what is missing, build and install tamsel, run the example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/bootstrap.sh" build
"$root/scripts/install.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py"
