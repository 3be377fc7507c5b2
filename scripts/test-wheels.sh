#!/usr/bin/env bash
# Runs tests/python against the portable wheel in dist/ on every CPython from
# 3.9 to 3.14 to be had here: the image's pyenv interpreters, and clean Debian
# roots made with debootstrap (minbase: no libyaml, no libssl-dev), which show
# that the wheel stands alone. Each gets a fresh virtual environment with the
# wheel (--no-deps) and the test tools, installed offline from wheels fetched
# on the host. Prints a table; fails when an interpreter fails or cannot be had.
#   scripts/test-wheels.sh [3.9 3.10 3.11 3.12 3.13 trixie forky]   (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/.venv/bin"
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
mirror=http://deb.debian.org/debian
# Debian releases and the debootstrap script for each (this debootstrap has no
# forky script; sid's makes it).
declare -A debian_script=([trixie]=trixie [forky]=sid)
test_tools=(pytest mypy pyyaml)
clean_path=/usr/sbin:/usr/bin:/sbin:/bin
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(3.9 3.10 3.11 3.12 3.13 trixie forky)

wheels=("$root"/dist/tamsel-*-cp39-abi3-manylinux_*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] ||
  { echo "test-wheels: expected one wheel in dist/ (scripts/build-wheel.sh makes it)" >&2; exit 1; }
wheel=${wheels[0]}

# The roots take about 300 MB each: under /var/tmp, not a memory-backed /tmp.
work=$(mktemp -d /var/tmp/tamsel-wheels.XXXXXX)
logs="$root/build/test-wheels"
rm -rf "$logs" && mkdir -p "$logs"
# Everything mounted below $work, deepest first: the /proc of a root, and whatever
# a failed debootstrap left mounted.
mounts_below_work() {
  awk -v work="$work" '$5 == work || index($5, work "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
cleanup() {
  local mount
  for mount in $(mounts_below_work); do
    umount "$mount" 2>/dev/null || umount -l "$mount" || true
  done
  if [ -z "$(mounts_below_work)" ]; then
    rm -rf --one-file-system "$work"
  else
    echo "test-wheels: left $work in place, for a mount below it would not go" >&2
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

rows=()
failures=0
columns='%-7s %-15s %-22s %7s %7s %8s %8s  %s'
# row NAME PYTHON WHERE PASSED FAILED SKIPPED SECONDS [NOTE]
row() {
  rows+=("$(printf "$columns" "$@")")
  echo "${rows[-1]}"
}

# Wheels of the test tools for CPython X.Y, fetched once on the host: neither
# pip's configuration nor the certificates of the host reach into a root. pip
# evaluates environment markers for the interpreter it runs in, so that of the
# same version fetches when there is one.
#   tools_for X.Y [PYTHON]
tools_for() {
  local dir="$work/tools/$1" fetch=("$venv/python" -m pip download --python-version "$1")
  [ -z "${2:-}" ] || fetch=("$2" -m pip download)
  if [ ! -d "$dir" ]; then
    "${fetch[@]}" -q -d "$dir" --only-binary=:all: "${test_tools[@]}" >>"$logs/downloads.log" 2>&1 ||
      { rm -rf "$dir"; return 1; }
  fi
  echo "$dir"
}

# Runs tests/python of a copy of the tracked files for one interpreter and
# records its row. The command given runs a shell script (on stdin) with the
# environment's python; paths are as it sees them.
#   run_tests NAME WHERE STARTED TOOLS WHEEL TREE ENV COMMAND...
run_tests() {
  local name=$1 where=$2 started=$3 tools=$4 wheel=$5 tree=$6 env=$7
  shift 7
  local log="$logs/$name.log" summary passed failed skipped errors status=0
  "$@" >>"$log" 2>&1 <<EOF || status=$?
set -e
python3 -m venv "$env"
"$env/bin/python" -m pip install -q --no-index --find-links "$tools" ${test_tools[*]}
"$env/bin/python" -m pip install -q --no-index --no-deps "$wheel"
cd "$tree"
"$env/bin/python" -c 'import platform; print("python", platform.python_version())'
"$env/bin/python" -m pytest -q -p no:cacheprovider -rfEs tests/python
EOF
  summary=$(grep -E '^[0-9]+ (passed|failed|skipped|error)|^=+ .*[0-9]+ (passed|failed|error)' "$log" | tail -n 1 || true)
  count() { grep -oE "[0-9]+ $1" <<<"$summary" | grep -oE '^[0-9]+' || echo 0; }
  passed=$(count passed); failed=$(count failed); skipped=$(count skipped); errors=$(count 'errors?')
  local version
  version="CPython $(sed -n 's/^python //p' "$log" | head -n 1)"
  if [ "$status" != 0 ] || [ "$failed" != 0 ] || [ "$errors" != 0 ] || [ "$passed" = 0 ]; then
    failures=$((failures + 1))
    tail -n 40 "$log"
    row "$name" "$version" "$where" "$passed" "$((failed + errors))" "$skipped" "$((SECONDS - started))" \
      "FAILED (log: ${log#"$root"/})"
  else
    row "$name" "$version" "$where" "$passed" 0 "$skipped" "$((SECONDS - started))"
  fi
}

unavailable() {
  failures=$((failures + 1))
  row "$1" - "$2" - - - "$3" "NOT AVAILABLE: $4"
}

test_pyenv() {
  local minor=$1 started=$SECONDS python tools env
  python=$(ls -d "$pyenv_root"/versions/"$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$python" ]; then
    unavailable "$minor" "pyenv" 0 "no CPython $minor under $pyenv_root/versions"
    return
  fi
  if ! tools=$(tools_for "$minor" "$python"); then
    unavailable "$minor" "pyenv" "$((SECONDS - started))" "the test tools for $minor could not be fetched"
    return
  fi
  env="$work/env-$minor"
  mkdir -p "$work/home"
  run_tests "$minor" "pyenv" "$started" \
    "$tools" "$wheel" "$work/tree" "$env" \
    env -i PATH="$(dirname "$python"):$clean_path" HOME="$work/home" LANG=C.UTF-8 \
    PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/sh -s
}

# in_root TARGET COMMAND...: runs a command in a root with a clean environment.
in_root() {
  local target=$1
  shift
  env -i PATH="$clean_path" HOME=/root LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 chroot "$target" "$@"
}

test_debian() {
  local release=$1 started=$SECONDS target="$work/root-$1" minor tools made
  if [ "$(id -u)" != 0 ] || ! command -v debootstrap >/dev/null; then
    unavailable "$release" "Debian $release root" 0 "making a root needs root and debootstrap"
    return
  fi
  if ! debootstrap --variant=minbase --include=python3,python3-venv "$release" "$target" "$mirror" \
    "/usr/share/debootstrap/scripts/${debian_script[$release]}" >"$logs/$release-debootstrap.log" 2>&1; then
    unavailable "$release" "Debian $release root" "$((SECONDS - started))" \
      "debootstrap failed (log: ${logs#"$root"/}/$release-debootstrap.log)"
    return
  fi
  made=$((SECONDS - started))
  echo "$release: Debian root made in $made s, $(du -sm "$target" | cut -f1) MB" | tee "$logs/$release.log"
  mount -t proc proc "$target/proc"
  if ! minor=$(in_root "$target" python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])'); then
    unavailable "$release" "Debian $release root" "$((SECONDS - started))" "the root's python3 does not run"
    return
  fi
  if ! tools=$(tools_for "$minor"); then
    unavailable "$release" "Debian $release root" "$((SECONDS - started))" "the test tools for $minor could not be fetched"
    return
  fi
  mkdir -p "$target/opt/tamsel"
  cp -r "$tools" "$target/opt/tamsel/tools"
  cp "$wheel" "$target/opt/tamsel/"
  cp -r "$work/tree" "$target/opt/tamsel/tree"
  run_tests "$release" "Debian $release root" "$started" /opt/tamsel/tools \
    "/opt/tamsel/$(basename "$wheel")" /opt/tamsel/tree /opt/tamsel/env in_root "$target" /bin/sh -s
  umount "$target/proc" && rm -rf --one-file-system "$target"
}

"$root/scripts/copy-tracked.sh" "$work/tree"
echo "testing $(basename "$wheel")"
printf "$columns\n" name interpreter where passed failed skipped seconds note
for name in "${names[@]}"; do
  case "$name" in
    3.*) test_pyenv "$name" ;;
    *)
      if [ -n "${debian_script[$name]:-}" ]; then
        test_debian "$name"
      else
        unavailable "$name" "-" 0 "no such interpreter in the matrix"
      fi
      ;;
  esac
done

echo
printf "$columns\n" name interpreter where passed failed skipped seconds note
printf '%s\n' "${rows[@]}"
if [ "$failures" -gt 0 ]; then
  echo "test-wheels: $failures of ${#names[@]} interpreters failed or could not be had ($SECONDS s)" >&2
  exit 1
fi
echo "test-wheels: all ${#names[@]} interpreters passed in $SECONDS s"
