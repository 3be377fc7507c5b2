#!/usr/bin/env bash
# Runs tests/python against the portable wheels in dist/, each where it runs:
#   x86-64 glibc: the image's pyenv CPython 3.9 to 3.13, and clean Debian roots
#     (bullseye: glibc 2.31 and CPython 3.9, the oldest served; trixie; forky:
#     3.14; sid: 3.15)
#   ARM64: a clean Debian bullseye arm64 root, run under qemu-user-static
#   musl: CPython built with musl-gcc from Debian's CPython source, which has no
#     pip: the wheel and the test tools are installed by unpacking them.
# The roots are debootstrap --variant=minbase installations with no libyaml and
# no OpenSSL headers, which show that a wheel stands alone; they and the musl
# CPython are kept in the cache (scripts/wheel-toolchain.sh) and each run works
# on a fresh copy. Every environment gets the wheel (--no-deps) and the test
# tools, offline, from wheels fetched on the host. Prints a table; fails when an
# environment fails or cannot be had.
#   scripts/test-wheels.sh [NAME...]   (default: all; names as in the table)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wheel-toolchain.sh
source "$root/scripts/wheel-toolchain.sh"
venv="$root/.venv/bin"
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
mirror=http://deb.debian.org/debian
# Debian roots, one a line: name, release, architecture, debootstrap script
# (this debootstrap has no forky script; sid's makes it) and the interpreter
# tested there, which the root gets with its venv package. A later CPython in
# Debian is one more line.
debian_roots='
bullseye       bullseye amd64 bullseye python3
trixie         trixie   amd64 trixie   python3
forky          forky    amd64 sid      python3
sid-3.15       sid      amd64 sid      python3.15
bullseye-arm64 bullseye arm64 bullseye python3
'
declare -A root_release root_arch root_script root_python
root_names=()
while read -r name release arch script python; do
  [ -n "$name" ] || continue
  root_names+=("$name")
  root_release[$name]=$release root_arch[$name]=$arch root_script[$name]=$script root_python[$name]=$python
done <<<"$debian_roots"
# A cached root older than this is made anew, so that testing releases move on.
root_max_age_days=7
# The wheel goes in with --no-deps: its one dependency (tomli, before 3.11) comes with these.
test_tools=(pytest mypy pyyaml tomli pygls==2.1.1)  # pygls: the language server type-checks with it
clean_path=/usr/sbin:/usr/bin:/sbin:/bin
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(3.9 3.10 3.11 3.12 3.13 "${root_names[@]}" musl)

wheel_for() {
  local found=("$root"/dist/tamsel-*-cp39-abi3-"$1".whl)
  [ -f "${found[0]}" ] ||
    { echo "test-wheels: no $1 wheel in dist/ (scripts/build-wheel.sh makes it)" >&2; exit 1; }
  echo "${found[0]}"
}
x86_64_wheel=$(wheel_for manylinux2014_x86_64)
aarch64_wheel=$(wheel_for manylinux2014_aarch64)
musl_wheel=$(wheel_for musllinux_1_2_x86_64)

# The roots take about 300 MB each: under /var/tmp, not a memory-backed /tmp.
work=$(mktemp -d /var/tmp/tamsel-wheels.XXXXXX)
logs="$root/build/test-wheels"
rm -rf "$logs" && mkdir -p "$logs"
# Everything mounted below $work, deepest first: the /proc of a root, and whatever
# a failed debootstrap left mounted.
mounts_below() {
  awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
unmount_below() {
  local mount
  for mount in $(mounts_below "$1"); do
    umount "$mount" 2>/dev/null || umount -l "$mount" || true
  done
  [ -z "$(mounts_below "$1")" ]
}
cleanup() {
  if unmount_below "$work"; then
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
columns='%-15s %-16s %-30s %7s %7s %8s %8s  %s'
# row NAME PYTHON WHERE PASSED FAILED SKIPPED SECONDS [NOTE]
row() {
  rows+=("$(printf "$columns" "$@")")
  echo "${rows[-1]}"
}

# Wheels of the test tools for CPython X.Y on a platform, fetched once on the
# host: neither pip's configuration nor the certificates of the host reach into
# a root. pip evaluates environment markers for the interpreter it runs in, so
# that of the same version fetches when there is one.
#   tools_for X.Y PLATFORM [PYTHON]
tools_for() {
  local dir="$work/tools/$1-$2" fetch=("$venv/python" -m pip download --python-version "$1")
  [ -z "${3:-}" ] || fetch=("$3" -m pip download)
  [ "$2" = native ] || fetch+=(--platform "$2" --python-version "$1")
  if [ ! -d "$dir" ]; then
    "${fetch[@]}" -q -d "$dir" --only-binary=:all: "${test_tools[@]}" >>"$logs/downloads.log" 2>&1 ||
      { rm -rf "$dir"; return 1; }
  fi
  echo "$dir"
}

# The shell script that installs and runs the tests with pip, and the one that
# runs them with the wheels unpacked into SITE (for an interpreter without
# pip). Paths are as the environment sees them.
#   pip_script ENV TOOLS WHEEL TREE [PYTHON]
pip_script() {
  cat <<EOF
set -e
${5:-python3} -m venv "$1"
"$1/bin/python" -m pip install -q --no-index --find-links "$2" ${test_tools[*]}
"$1/bin/python" -m pip install -q --no-index --no-deps "$3"
cd "$4"
"$1/bin/python" -c 'import platform; print("python", platform.python_version())'
"$1/bin/python" -m pytest -q -p no:cacheprovider -rfEs tests/python
EOF
}
# mypy's stubtest keeps its cache in sqlite3, which this CPython lacks (there is
# no musl build of it here); the stubs are checked on every other row.
musl_deselected=tests/python/test_stubs.py::test_stubs_match_the_module
#   unpack_script PYTHON SITE TREE
unpack_script() {
  cat <<EOF
set -e
cd "$3"
export PYTHONPATH="$2"
"$1" -c 'import platform; print("python", platform.python_version())'
"$1" -m pytest -q -p no:cacheprovider -rfEs tests/python --deselect "$musl_deselected"
EOF
}

# Runs a script (on stdin) in an environment and records its row.
#   run_tests NAME WHERE STARTED SCRIPT COMMAND...
run_tests() {
  local name=$1 where=$2 started=$3 script=$4
  shift 4
  local log="$logs/$name.log" summary passed failed skipped errors status=0
  "$@" >>"$log" 2>&1 <<<"$script" || status=$?
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
    unavailable "$minor" "pyenv x86-64" 0 "no CPython $minor under $pyenv_root/versions"
    return
  fi
  if ! tools=$(tools_for "$minor" native "$python"); then
    unavailable "$minor" "pyenv x86-64" "$((SECONDS - started))" "the test tools for $minor could not be fetched"
    return
  fi
  env="$work/env-$minor"
  mkdir -p "$work/home"
  run_tests "$minor" "pyenv x86-64" "$started" "$(pip_script "$env" "$tools" "$x86_64_wheel" "$work/tree")" \
    env -i PATH="$(dirname "$python"):$clean_path" HOME="$work/home" LANG=C.UTF-8 \
    PIP_CONFIG_FILE=/dev/null PIP_DISABLE_PIP_VERSION_CHECK=1 /bin/sh -s
}

# Lets the kernel run ARM64 programs through qemu-user-static (F: the emulator
# is opened now, so a root needs no copy of it).
enable_arm64() {
  local format=/usr/share/binfmts/qemu-aarch64 magic mask interpreter
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] && return 0
  [ -f "$format" ] || return 1
  magic=$(sed -n 's/^magic //p' "$format")
  mask=$(sed -n 's/^mask //p' "$format")
  interpreter=$(sed -n 's/^interpreter //p' "$format")
  echo ":qemu-aarch64:M:0:$magic:$mask:$interpreter:PF" >/proc/sys/fs/binfmt_misc/register
}

# A cached root as a tar file, made by debootstrap when missing or too old.
# Prints its path.
#   cached_root NAME
cached_root() {
  local name=$1 tarball="$TAMSEL_CACHE/roots/$1.tar" made="$work/made-$1"
  if [ -f "$tarball" ] && [ -z "$(find "$tarball" -mtime +"$root_max_age_days")" ]; then
    echo "$tarball"
    return
  fi
  mkdir -p "$TAMSEL_CACHE/roots"
  debootstrap --arch="${root_arch[$name]}" --variant=minbase \
    --include="${root_python[$name]},${root_python[$name]}-venv" \
    "${root_release[$name]}" "$made" "$mirror" "/usr/share/debootstrap/scripts/${root_script[$name]}" \
    >"$logs/$name-debootstrap.log" 2>&1 || { unmount_below "$made" || true; return 1; }
  unmount_below "$made" || return 1
  tar -C "$made" -cf "$tarball.new" . && mv "$tarball.new" "$tarball"
  rm -rf --one-file-system "$made"
  echo "$tarball"
}

# Removes a root once nothing is mounted inside it; else leaves it, for the
# exit's clean-up to try again, and says so.
#   discard_root TARGET
discard_root() {
  if unmount_below "$1"; then
    rm -rf --one-file-system "$1"
  else
    echo "test-wheels: $1 kept, for a mount inside it would not go" >&2
  fi
}

# in_root TARGET COMMAND...: runs a command in a root with a clean environment.
in_root() {
  local target=$1
  shift
  env -i PATH="$clean_path" HOME=/root LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 \
    TAMSEL_TEST_EMULATED="${emulated:-}" chroot "$target" "$@"
}

test_debian() {
  local name=$1 started=$SECONDS target="$work/root-$1" minor tools tarball wheel=$x86_64_wheel
  local where="Debian ${root_release[$1]} ${root_arch[$1]} root" platform=native emulated=
  local python=${root_python[$1]}
  if [ "$(id -u)" != 0 ] || ! command -v debootstrap >/dev/null; then
    unavailable "$name" "$where" 0 "making a root needs root and debootstrap"
    return
  fi
  if [ "${root_arch[$name]}" = arm64 ]; then
    where="$where, QEMU"
    wheel=$aarch64_wheel
    platform=manylinux2014_aarch64
    emulated=1
    if ! enable_arm64; then
      unavailable "$name" "$where" 0 "ARM64 programs cannot be run here (qemu-user-static, binfmt_misc)"
      return
    fi
  fi
  if ! tarball=$(cached_root "$name"); then
    unavailable "$name" "$where" "$((SECONDS - started))" \
      "debootstrap failed (log: ${logs#"$root"/}/$name-debootstrap.log)"
    return
  fi
  mkdir -p "$target" && tar -C "$target" -xf "$tarball"
  echo "$name: root ready in $((SECONDS - started)) s" >"$logs/$name.log"
  mount -t proc proc "$target/proc"
  if ! minor=$(in_root "$target" "$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); then
    unavailable "$name" "$where" "$((SECONDS - started))" "the root's $python does not run"
    discard_root "$target"
    return
  fi
  local host_python
  host_python=$(ls -d "$pyenv_root"/versions/"$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  if [ "$platform" != native ] && [ -n "$host_python" ]; then
    tools=$(tools_for "$minor" "$platform" "$host_python") || tools=
  else
    tools=$(tools_for "$minor" "$platform") || tools=
  fi
  if [ -z "$tools" ]; then
    unavailable "$name" "$where" "$((SECONDS - started))" "the test tools for $minor could not be fetched"
    discard_root "$target"
    return
  fi
  mkdir -p "$target/opt/tamsel"
  cp -r "$tools" "$target/opt/tamsel/tools"
  cp "$wheel" "$target/opt/tamsel/"
  cp -r "$work/tree" "$target/opt/tamsel/tree"
  run_tests "$name" "$where" "$started" \
    "$(pip_script /opt/tamsel/env /opt/tamsel/tools "/opt/tamsel/$(basename "$wheel")" /opt/tamsel/tree "$python")" \
    in_root "$target" /bin/sh -s
  discard_root "$target"
}

# CPython built against musl with musl-gcc, from Debian's CPython source, kept
# in the cache. Prints its python3. Without zlib, ssl and ctypes, which have no
# musl builds here: enough to import the module and run the tests.
musl_python() {
  local prefix="$TAMSEL_CACHE/musl-python-${python_source[1]}" tarball tree
  if [ -x "$prefix/bin/python3" ]; then
    echo "$prefix/bin/python3"
    return
  fi
  command -v musl-gcc >/dev/null || return 1
  tarball=$(debian_source "${python_source[@]}") || return 1
  tree=$(unpack "$tarball" "$work/musl-python-src")
  rm -rf "$prefix"
  # musl-gcc answers --print-multiarch as the glibc compiler it wraps, which
  # configure takes for a mismatch with the musl triplet.
  printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && exit 0\nexec musl-gcc "$@"\n' >"$work/musl-cc"
  chmod +x "$work/musl-cc"
  # No pkg-config: the machine's libraries are glibc's, and would be taken for musl's.
  (cd "$tree" &&
    PKG_CONFIG_LIBDIR="$work/no-pkg-config" PKG_CONFIG_PATH='' \
      ./configure CC="$work/musl-cc" --prefix="$prefix" --without-ensurepip --disable-test-modules &&
    make -j"$(nproc)" && make install) >"$logs/musl-python-build.log" 2>&1 || { rm -rf "$prefix"; return 1; }
  rm -rf "$tree"
  echo "$prefix/bin/python3"
}

test_musl() {
  local started=$SECONDS python tools minor where="musl CPython x86-64"
  if ! python=$(musl_python); then
    unavailable musl "$where" "$((SECONDS - started))" \
      "CPython did not build against musl (log: ${logs#"$root"/}/musl-python-build.log)"
    return
  fi
  minor=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  local host_python
  host_python=$(ls -d "$pyenv_root"/versions/"$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  if ! tools=$(tools_for "$minor" musllinux_1_2_x86_64 $host_python); then
    unavailable musl "$where" "$((SECONDS - started))" "the test tools for $minor could not be fetched"
    return
  fi
  # Installed as pip would, into a copy of the interpreter: the wheels unpacked
  # into its site-packages (by the host's Python, for this one has no zlib to
  # inflate them) and the console scripts that their entry points name.
  local prefix="$work/musl-python" site wheel
  cp -a "$(dirname "$(dirname "$python")")" "$prefix"
  python="$prefix/bin/python3"
  site=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  for wheel in "$tools"/*.whl "$musl_wheel"; do
    "$venv/python" -m zipfile -e "$wheel" "$site"
  done
  "$venv/python" -c '
import configparser, pathlib, sys
site, python = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
for points in site.glob("*.dist-info/entry_points.txt"):
    parser = configparser.ConfigParser(delimiters=("=",))
    parser.read(points)
    for name, target in parser.items("console_scripts") if parser.has_section("console_scripts") else []:
        module, _, function = target.strip().partition(":")
        script = python.with_name(name)
        script.write_text(f"#!{python}\nimport sys\nfrom {module} import {function}\nsys.exit({function}())\n")
        script.chmod(0o755)
' "$site" "$python"
  # mypy keeps its cache in files then (its stubtest reads no such
  # configuration: deselected above).
  mkdir -p "$work/home"
  printf '[mypy]\nsqlite_cache = False\n' >"$work/home/.mypy.ini"
  run_tests musl "$where" "$started" "$(unpack_script "$python" "$site" "$work/tree")" \
    env -i PATH="$clean_path" HOME="$work/home" LANG=C.UTF-8 /bin/sh -s
}

# Makes every missing root and the musl CPython at once, before the tests: each
# takes minutes, mostly waiting on the network, on dpkg or on the emulator. One
# that fails here is tried again, and reported, by its own row.
prepare_environments() {
  local name pids=() pid
  for name in "${names[@]}"; do
    if [ -n "${root_release[$name]:-}" ] && [ "$(id -u)" = 0 ] && command -v debootstrap >/dev/null; then
      [ "${root_arch[$name]}" != arm64 ] || enable_arm64 || continue
      (cached_root "$name" >/dev/null 2>&1) &
      pids+=($!)
    elif [ "$name" = musl ]; then
      (musl_python >/dev/null 2>&1) &
      pids+=($!)
    fi
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || true
  done
}

"$root/scripts/copy-tracked.sh" "$work/tree"
prepared=$SECONDS
prepare_environments
echo "roots and the musl CPython ready in $((SECONDS - prepared)) s"
echo "testing $(cd "$root/dist" && echo tamsel-*.whl)"
printf "$columns\n" name interpreter where passed failed skipped seconds note
for name in "${names[@]}"; do
  case "$name" in
    3.*) test_pyenv "$name" ;;
    musl) test_musl ;;
    *)
      if [ -n "${root_release[$name]:-}" ]; then
        test_debian "$name"
      else
        unavailable "$name" "-" 0 "no such environment in the matrix"
      fi
      ;;
  esac
done

echo
printf "$columns\n" name interpreter where passed failed skipped seconds note
printf '%s\n' "${rows[@]}"
if [ "$failures" -gt 0 ]; then
  echo "test-wheels: $failures of ${#names[@]} environments failed or could not be had ($SECONDS s)" >&2
  exit 1
fi
echo "test-wheels: all ${#names[@]} environments passed in $SECONDS s"
