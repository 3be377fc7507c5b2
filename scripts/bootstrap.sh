#!/usr/bin/env bash
# Installs what a fresh machine lacks for one purpose: Debian packages (when run
# as root; otherwise it prints the apt-get command) and the project's virtual
# environment in .venv with its Python packages. What it installed into .venv is
# recorded there, so a later run that needs nothing new asks no package index.
#   scripts/bootstrap.sh build|test|docs|wheel|lint|ci|bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
purpose=${1:-build}

debs=(g++ make pkg-config libyaml-dev libssl-dev python3-venv python3-dev)
pips=(scikit-build-core cmake ninja)
# The portable wheels: their checks, and the clean Debian roots it is tested in.
# qemu-user-static runs the ARM64 root; musl-tools builds the musl CPython.
wheel_debs=(debootstrap qemu-user-static musl-tools)
wheel_pips=(auditwheel abi3audit wheel build)
# Style and static analysis at pinned versions, so that formatting and findings
# do not change with the machine.
lint_pips=(clang-format==14.0.6 clang-tidy==14.0.6 ruff==0.17.6)
# The language server and its end-to-end tests; CI also drives it from Neovim. The
# coverage site is looked at in headless Chromium (Debian's chromium).
lsp_pips=(pygls==2.1.1 pytest-lsp==1.0.1)
# Arrow data from the three libraries whose objects columnar evaluation takes,
# and the random differential tests that compare it with evaluate.
arrow_pips=(pyarrow polars duckdb hypothesis)
# `tamsel replay`: zstd-compressed JSON Lines, and a Dask cluster.
replay_pips=(zstandard==0.25.0 dask==2026.8.0 distributed==2026.8.0)
# The pages' site (mkdocs.yml), pinned with what renders it, so that a build that passes
# --strict today does not fail on a new release's warnings.
docs_pips=(mkdocs==1.6.1 mkdocs-material==9.8.1 mkdocs-material-extensions==1.3.1 mkdocstrings==1.0.8
  mkdocstrings-python==2.0.11 mkdocs-autorefs==1.4.5 griffelib==2.4.1 pymdown-extensions==13.1.2
  Markdown==3.11.4)
case "$purpose" in
  build) ;;
  test)
    debs+=(libgtest-dev chromium)
    pips+=(pytest mypy pyyaml jsonschema z3-solver "${lsp_pips[@]}" "${arrow_pips[@]}" "${replay_pips[@]}"
      "${docs_pips[@]}")
    ;;
  docs) pips+=("${docs_pips[@]}") ;;  # the site; its samples run with the test purpose
  wheel) debs+=("${wheel_debs[@]}"); pips+=("${wheel_pips[@]}") ;;
  lint) debs+=(libgtest-dev); pips+=("${lint_pips[@]}") ;;  # its compilation database holds the tests
  ci)
    # clang for the fuzzers; its sanitizer runtime is added below, once clang is there.
    debs+=(libgtest-dev chromium clang neovim "${wheel_debs[@]}")
    pips+=(pytest mypy pyyaml jsonschema numpy z3-solver "${lsp_pips[@]}" "${arrow_pips[@]}" "${replay_pips[@]}"
      "${wheel_pips[@]}" "${lint_pips[@]}" "${docs_pips[@]}")
    ;;
  bench) debs+=(libbenchmark-dev); pips+=(pyperf matplotlib pyyaml z3-solver pyarrow "${replay_pips[@]}" "${lsp_pips[@]}") ;;
  *) echo "usage: $0 build|test|docs|wheel|lint|ci|bench" >&2; exit 2 ;;
esac

# Installs the Debian packages of the arguments that are not installed yet.
install_debs() {
  local missing=() deb
  for deb in "$@"; do
    # A Python that already has its headers and venv support needs no Debian Python.
    case "$deb" in
      python3-venv) python3 -c 'import venv, ensurepip' 2>/dev/null && continue ;;
      python3-dev) [ -f "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] && continue ;;
    esac
    dpkg-query -W -f='${Status}' "$deb" 2>/dev/null | grep -q 'ok installed' || missing+=("$deb")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" = 0 ]; then
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages; run:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

install_debs "${debs[@]}"
if [ "$purpose" = ci ]; then
  # The fuzzers' sanitizer and libFuzzer runtimes, packaged per clang major
  # version: the one of the clang that the machine's packages installed.
  clang_major=$(clang -dumpversion)
  install_debs "libclang-rt-${clang_major%%.*}-dev"
fi

venv="$root/.venv"
stamp="$venv/.bootstrapped"  # the Python packages installed so far, one a line
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  : >"$stamp"
fi
[ -f "$stamp" ] || : >"$stamp"
mapfile -t new < <(comm -23 <(printf '%s\n' "${pips[@]}" | sort -u) <(sort -u "$stamp"))
if [ ${#new[@]} -gt 0 ]; then
  "$venv/bin/python" -m pip install -q "${new[@]}"
  sort -u "$stamp" <(printf '%s\n' "${new[@]}") >"$stamp.new"
  mv "$stamp.new" "$stamp"
fi
