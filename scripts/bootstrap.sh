#!/usr/bin/env bash
# Installs what a fresh machine lacks for one purpose: Debian packages (when run
# as root; otherwise it prints the apt-get command) and the project's virtual
# environment in .venv with its Python packages.
#   scripts/bootstrap.sh build|test|ci|bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
purpose=${1:-build}

debs=(g++ make pkg-config libyaml-dev libssl-dev python3-venv python3-dev)
pips=(scikit-build-core cmake ninja)
case "$purpose" in
  build) ;;
  test) debs+=(libgtest-dev); pips+=(pytest mypy pyyaml) ;;
  ci) debs+=(libgtest-dev clang libclang-rt-14-dev clang-format clang-tidy); pips+=(pytest mypy pyyaml numpy abi3audit) ;;
  bench) debs+=(libbenchmark-dev); pips+=(pyperf matplotlib pyyaml) ;;
  *) echo "usage: $0 build|test|ci|bench" >&2; exit 2 ;;
esac

missing=()
for deb in "${debs[@]}"; do
  # A Python that already has its headers and venv support needs no Debian Python.
  case "$deb" in
    python3-venv) python3 -c 'import venv, ensurepip' 2>/dev/null && continue ;;
    python3-dev) [ -f "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] && continue ;;
  esac
  dpkg-query -W -f='${Status}' "$deb" 2>/dev/null | grep -q 'ok installed' || missing+=("$deb")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages; run:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

if [ ! -x "$root/.venv/bin/python" ]; then
  python3 -m venv "$root/.venv"
fi
"$root/.venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$root/.venv/bin/python" -m pip install -q "${pips[@]}"
