# Sourced by the wheel scripts: the pinned toolchain (zig from PyPI), the pinned
# sources of libyaml and OpenSSL from Debian's source packages, and the static
# libraries built from them for one target. Everything is kept in a cache
# outside the clone, so that a second build reuses it; a cold one makes it all.
#   TAMSEL_CACHE   where (default /var/cache/tamsel when writable, else ~/.cache/tamsel)

zig_version=0.17.1
# Debian release whose deb-src lines the private apt configuration holds: its
# OpenSSL is a supported series (3.5, a long-term one).
debian_sources=trixie
# package version orig-tarball sha256 (of Debian's orig tarball, which is upstream's)
libyaml_source=(libyaml 0.2.5-2 libyaml_0.2.5.orig.tar.gz
  fa240dbf262be053f3898006d502d514936c818e422afdcf33921c63bed9bf2e)
openssl_source=(openssl 3.5.7-1~deb13u2 openssl_3.5.7.orig.tar.gz
  a8c0d28a529ca480f9f36cf5792e2cd21984552a3c8e4aa11a24aa31aeac98e8)
# libcrypto holds what the engine calls, SHA-256 through EVP, and what that
# needs (the default provider and its random generator): no protocols, engines,
# loadable modules, configuration file, error texts or algorithms that the
# engine never calls. The assembly stays, SHA-256's above all.
openssl_options=(no-shared no-module no-dso no-engine no-dynamic-engine no-tests no-apps no-docs
  no-autoload-config no-err no-deprecated no-legacy no-bulk no-sock no-http no-async
  no-thread-pool no-default-thread-pool no-secure-memory no-uplink no-ui-console no-comp
  no-ssl no-tls no-dtls no-quic no-srtp no-psk no-nextprotoneg no-ssl-trace no-ktls
  no-ocsp no-cms no-ts no-ct no-cmp no-srp no-rfc3779 no-multiblock no-integrity-only-ciphers
  no-ec no-ec2m no-dh no-dsa no-gost no-sm2 no-ml-dsa no-ml-kem no-slh-dsa
  no-argon2 no-scrypt no-siv no-ocb no-cmac no-siphash no-poly1305 no-chacha
  no-aria no-camellia no-idea no-seed no-des no-rc2 no-rc4 no-bf no-cast no-sm4
  no-blake2 no-whirlpool no-rmd160 no-md4 no-mdc2 no-sm3)
python_source=(python3.13 3.13.5-2+deb13u5 python3.13_3.13.5.orig.tar.xz
  93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640)

if [ -z "${TAMSEL_CACHE:-}" ]; then
  if mkdir -p /var/cache/tamsel 2>/dev/null && [ -w /var/cache/tamsel ]; then
    TAMSEL_CACHE=/var/cache/tamsel
  else
    TAMSEL_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tamsel
  fi
fi
mkdir -p "$TAMSEL_CACHE"
export ZIG_GLOBAL_CACHE_DIR="$TAMSEL_CACHE/zig-cache"
export ZIG_LOCAL_CACHE_DIR="$TAMSEL_CACHE/zig-cache"

toolchain_fail() {
  echo "wheel toolchain: $*" >&2
  exit 1
}

# Runs a command with its output in a log file, shown only if it fails.
#   logged LOG COMMAND...
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 60 "$log" >&2; return 1; }
}

# zig in a virtual environment of its own, and a directory of wrappers per
# target (cc, c++, ar, ranlib) that CMake and configure scripts take as one
# program each. Prints the wrappers' directory.
#   zig_wrappers TARGET
zig_wrappers() {
  local target=$1 venv="$TAMSEL_CACHE/zig-$zig_version" zig tool dir
  if [ ! -x "$venv/zig" ]; then
    rm -rf "$venv"
    python3 -m venv "$venv/env" >&2
    logged "$TAMSEL_CACHE/zig-install.log" "$venv/env/bin/python" -m pip install -q "ziglang==$zig_version" ||
      toolchain_fail "ziglang $zig_version could not be installed"
    zig=$("$venv/env/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    ln -s "$zig" "$venv/zig"
  fi
  dir="$venv/targets/$target"
  mkdir -p "$dir"
  # For musl, executables too are linked against its shared C library: CMake's
  # compiler checks link one, and a static link would make zig build all of
  # musl (40 s) for a module that never uses it.
  local link=
  [[ $target == *-musl ]] && link=' -dynamic'
  for tool in cc c++; do
    wrapper "$dir/$tool" "$(printf 'exec "%s" %s -target %s%s "$@"' "$venv/zig" "$tool" "$target" "$link")"
  done
  for tool in ar ranlib; do
    wrapper "$dir/$tool" "$(printf 'exec "%s" %s "$@"' "$venv/zig" "$tool")"
  done
  echo "$dir"
}

# Writes a one-line shell script unless it already says that: renamed into
# place, so that a build running it meanwhile sees the old one or the new one.
#   wrapper PATH LINE
wrapper() {
  local text
  text=$(printf '#!/bin/sh\n%s\n' "$2")
  [ -x "$1" ] && [ "$(cat "$1")" = "$text" ] && return
  printf '%s\n' "$text" >"$1.new.$$"
  chmod +x "$1.new.$$"
  mv -f "$1.new.$$" "$1"
}

# zig builds a target's C library parts and libc++ the first time it links for
# it, on one core: started early and side by side, they overlap the rest.
#   warm_zig TARGET
warm_zig() {
  local tools dir
  tools=$(zig_wrappers "$1")
  dir=$(mktemp -d)
  printf '#include <string>\nint size(const std::string& s) { return static_cast<int>(s.size()); }\n' >"$dir/warm.cpp"
  logged "$dir/warm.log" "$tools/c++" -shared -fPIC "$dir/warm.cpp" -o "$dir/warm.so" ||
    { rm -rf "$dir"; toolchain_fail "zig cannot link C++ for $1"; }
  rm -rf "$dir"
}

# Fetches a Debian source package's files through a private apt configuration
# (the machine's own sources stay as they are), checks the orig tarball against
# its pinned digest and prints its path.
#   debian_source PACKAGE VERSION ORIG SHA256
debian_source() {
  local package=$1 version=$2 orig=$3 sha256=$4 apt="$TAMSEL_CACHE/apt" dir="$TAMSEL_CACHE/sources"
  mkdir -p "$dir"
  if [ ! -f "$dir/$orig" ]; then
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    echo "deb-src http://deb.debian.org/debian $debian_sources main" >"$apt/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
    logged "$apt/update.log" apt-get "${opts[@]}" update || toolchain_fail "apt-get update of the private deb-src list failed"
    (cd "$dir" && logged "$apt/source-$package.log" apt-get "${opts[@]}" source --download-only "$package=$version") ||
      toolchain_fail "the Debian source package $package $version could not be fetched"
  fi
  echo "$sha256  $dir/$orig" | sha256sum --check --quiet >&2 ||
    { rm -f "$dir/$orig"; toolchain_fail "$orig does not have the pinned SHA-256 $sha256"; }
  echo "$dir/$orig"
}

# Unpacks a checked tarball into an empty directory and prints the source tree.
#   unpack TARBALL DIR
unpack() {
  rm -rf "$2" && mkdir -p "$2"
  tar -xf "$1" -C "$2"
  echo "$2"/*/
}

# What every target's build shares, fetched or made once before they run side
# by side: zig with each target's wrappers, and the checked sources.
#   fetch_toolchain TARGET...
fetch_toolchain() {
  local target
  for target in "$@"; do
    zig_wrappers "$target" >/dev/null
  done
  debian_source "${libyaml_source[@]}" >/dev/null
  debian_source "${openssl_source[@]}" >/dev/null
}

# Eight hex digits that name OpenSSL's options.
options_digest() {
  printf '%s\n' "${openssl_options[@]}" | sha256sum | cut -c1-8
}

# OpenSSL generates AES-GCM and AES-XTS code for AVX-512 whenever the
# assembler knows the instructions: 700 KB of a module for ciphers the engine
# never calls. Told that it does not, it generates the stub that reports the
# instructions missing, and AES keeps its AES-NI code.
#   without_avx512_aes TREE
without_avx512_aes() {
  local script
  for script in crypto/modes/asm/aes-gcm-avx512.pl crypto/aes/asm/aesni-xts-avx512.pl; do
    grep -q '^open OUT' "$1/$script" || toolchain_fail "$script no longer reads as expected"
    sed -i 's/^open OUT/$avx512vaes = 0;\n&/' "$1/$script"
  done
}

# Static libyaml and libcrypto for one target, with headers and a pkg-config
# file for yaml-0.1; prints their prefix. Built once per target and pinned set.
#   static_deps TARGET OPENSSL_TARGET
static_deps() {
  local target=$1 openssl_target=$2 tools prefix build tree tarball
  # A change of OpenSSL's options makes another prefix, never reuses the old one.
  prefix="$TAMSEL_CACHE/deps/$target-yaml${libyaml_source[1]}-ssl${openssl_source[1]}-$(options_digest)"
  if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    return
  fi
  tools=$(zig_wrappers "$target")
  rm -rf "$prefix" && mkdir -p "$prefix/lib/pkgconfig" "$prefix/include" "$prefix/licenses"
  build="$TAMSEL_CACHE/deps/build-$target"

  # libyaml: its eight sources and one header, without its autotools.
  tarball=$(debian_source "${libyaml_source[@]}")
  tree=$(unpack "$tarball" "$build/yaml")
  local version=${libyaml_source[1]%-*}
  (cd "$tree/src" &&
    logged "$build/yaml.log" "$tools/cc" -O2 -fPIC -fvisibility=hidden -I../include -DYAML_DECLARE_STATIC \
      -DYAML_VERSION_MAJOR="${version%%.*}" -DYAML_VERSION_MINOR="$(echo "$version" | cut -d. -f2)" \
      -DYAML_VERSION_PATCH="${version##*.}" -DYAML_VERSION_STRING="\"$version\"" -c ./*.c &&
    "$tools/ar" rcs "$prefix/lib/libyaml.a" ./*.o) || toolchain_fail "libyaml did not build for $target"
  cp "$tree/include/yaml.h" "$prefix/include/"
  cp "$tree/License" "$prefix/licenses/libyaml-LICENSE"
  cat >"$prefix/lib/pkgconfig/yaml-0.1.pc" <<EOF
prefix=$prefix
Name: LibYAML
Description: Library to parse and emit YAML
Version: $version
Cflags: -I\${prefix}/include -DYAML_DECLARE_STATIC
Libs: -L\${prefix}/lib -lyaml
EOF

  # libcrypto alone (openssl_options), each function in a section of its own
  # so that the link keeps only what is reached.
  tarball=$(debian_source "${openssl_source[@]}")
  tree=$(unpack "$tarball" "$build/openssl")
  without_avx512_aes "$tree"
  (cd "$tree" &&
    logged "$build/openssl-configure.log" ./Configure "$openssl_target" --prefix="$prefix" --libdir=lib \
      "${openssl_options[@]}" CC="$tools/cc" AR="$tools/ar" RANLIB="$tools/ranlib" \
      CFLAGS="-O2 -fPIC -fvisibility=hidden -ffunction-sections -fdata-sections" &&
    logged "$build/openssl-make.log" make -j"$(nproc)" build_generated &&
    logged "$build/openssl-make.log" make -j"$(nproc)" libcrypto.a) ||
    toolchain_fail "OpenSSL's libcrypto did not build for $target"
  # policy_hash's speed rests on SHA-256's assembly (SHA-NI and AVX2, ARMv8).
  # (grep reads all of readelf's output: one that stopped early would fail the pipe.)
  readelf -sW "$tree/libcrypto.a" | grep -E ' (sha256_block_data_order_shaext|sha256_block_armv8)$' >/dev/null ||
    toolchain_fail "libcrypto for $target lacks SHA-256's assembly"
  cp "$tree/libcrypto.a" "$prefix/lib/"
  cp -r "$tree/include/openssl" "$prefix/include/"
  cp "$tree/LICENSE.txt" "$prefix/licenses/openssl-LICENSE.txt"
  rm -rf "$build"
  touch "$prefix/.complete"
  echo "$prefix"
}
