#!/usr/bin/env bash
# Packaging check: what a server developer gets from an installation and from
# the Debian packages.
#
#  1. cmake --install into a temporary prefix; the tree holds no build path
#     and no run path, and every installed header compiles on its own.
#  2. The example server, as a project of its own, built against that prefix
#     with find_package and with pkg-config (a plain compiler command line),
#     and once more with find_package after the prefix has been moved; each
#     build runs and must read the statistics its event source implies.
#  3. cpack -G DEB; the two packages hold exactly what the install put in the
#     prefix; dpkg -i, the example built against the system paths both ways
#     and run, dpkg -r and -P, and nothing of the packages is left.
#
# Runs as root (it installs and removes packages). The packages are removed
# on every way out. Usage: scripts/ci_package.sh [BUILD_DIR], default
# build/default (configured and built here if needed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
exec </dev/null

build=${1:-build/default}
example="$root/examples/embed_server"
packages=(libdaqevstat-dev libdaqevstat0)
strict_flags="-Wall -Wextra -Wpedantic -Werror"

fail() {
  echo "ci_package: $*" >&2
  exit 1
}

if [[ $(id -u) -ne 0 ]]; then
  fail "must run as root: it installs and removes Debian packages"
fi
# The runtime package's Depends come from dpkg-shlibdeps; without it CPack
# would quietly leave them out.
if ! command -v dpkg-shlibdeps >/dev/null 2>&1; then
  echo "ci_package: installing dpkg-dev (dpkg-shlibdeps)" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends dpkg-dev ||
    { apt-get update && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends dpkg-dev; }
fi
for package in "${packages[@]}"; do
  if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]]; then
    fail "$package is installed already; remove it first (dpkg -P ${packages[*]})"
  fi
done

work=$(mktemp -d)
debs_installed=0
cleanup() {
  local status=$?
  if ((debs_installed)); then
    dpkg -P "${packages[@]}" >/dev/null 2>&1 || echo "ci_package: could not remove ${packages[*]}" >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  [[ "$build" == build/default ]] || fail "$build is not a configured build tree"
  cmake --preset default
fi
cmake --build "$build"
build=$(cd "$build" && pwd)

# run_example NAME BINARY: runs the example with its configuration in $work;
# it must succeed (its statistics match its source) and save the switch.
run_example() {
  local name=$1 binary=$2 conf="$work/$1.conf"
  echo "--- run: $name"
  "$binary" "$conf" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; fail "$name: run failed"; }
  tail -n 2 "$work/$name.out"
  grep -qx 'DAQ1.STAT.ON 1' "$conf" || fail "$name: the saved configuration lacks the switch"
}

# cmake_example NAME [CMAKE ARGS...]: configures and builds the example as a
# project of its own; prints the binary.
cmake_example() {
  local name=$1
  shift
  cmake -S "$example" -B "$work/$name" -G Ninja -DCMAKE_CXX_FLAGS="$strict_flags" "$@" \
    >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "$name: configure failed"; }
  cmake --build "$work/$name" >>"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log"; fail "$name: build failed"; }
  echo "$work/$name/embed_server"
}

# pkgconfig_example NAME [RPATH]: builds the example with one compiler
# command line from pkg-config; prints the binary.
pkgconfig_example() {
  local name=$1 rpath=${2:-} flags
  flags=$(pkg-config --cflags --libs daqevstat)
  # shellcheck disable=SC2086  # the flags are words
  g++ $strict_flags -o "$work/$name" "$example/embed_server.cc" $flags ${rpath:+-Wl,-rpath,$rpath}
  echo "$work/$name"
}

echo "=== package: cmake --install into a temporary prefix"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" --strip >/dev/null
(cd "$prefix" && find . -mindepth 1 | sort)

pcfile=$(find "$prefix" -name daqevstat.pc)
libdir=$(dirname "$(dirname "$pcfile")")
for lib in daqevstat daqhost; do
  dynamic=$(readelf -d "$libdir/lib$lib.so.0.1.0")
  grep -q "SONAME.*\[lib$lib\.so\.0\]" <<<"$dynamic" || fail "lib$lib has no SONAME lib$lib.so.0"
  if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then
    fail "lib$lib carries a run path"
  fi
done
if leaks=$(grep -rlF -e "$root" -e "$build" -e "$work" "$prefix"); then
  fail "build or install paths in the installed files: $leaks"
fi
# A header that includes one the install left out fails here.
for header in "$prefix"/include/daqevstat/*.h; do
  # shellcheck disable=SC2086  # the flags are words
  echo "#include \"${header##*/}\"" |
    g++ -std=c++17 $strict_flags -fsyntax-only -I"$prefix/include/daqevstat" -x c++ - ||
    fail "${header##*/} does not compile on its own"
done

echo "=== package: the example against the prefix (find_package, pkg-config)"
binary=$(cmake_example find_package -DCMAKE_PREFIX_PATH="$prefix")
run_example find_package "$binary"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
binary=$(pkgconfig_example pkg_config "$(pkg-config --variable=libdir daqevstat)")
run_example pkg_config "$binary"
unset PKG_CONFIG_PATH

# The package's version file: 0.1 is accepted, 1.0 refused.
mkdir "$work/version_check"
cat >"$work/version_check/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(version_check LANGUAGES CXX)
find_package(daqevstat 1.0 QUIET)
if(daqevstat_FOUND)
  message(FATAL_ERROR "daqevstat ${daqevstat_VERSION} accepted for a request of 1.0")
endif()
find_package(daqevstat 0.1 REQUIRED)
EOF
cmake -S "$work/version_check" -B "$work/version_check/build" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/version_check.log" 2>&1 || { cat "$work/version_check.log"; fail "version check failed"; }

echo "=== package: the example against a moved copy of the prefix"
cp -a "$prefix" "$work/moved"
mv "$prefix" "$work/prefix.away"
binary=$(cmake_example moved -DCMAKE_PREFIX_PATH="$work/moved")
run_example moved "$binary"
mv "$work/prefix.away" "$prefix"

echo "=== package: Debian packages"
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
runtime_deb=$(echo "$work"/deb/libdaqevstat0_*.deb)
dev_deb=$(echo "$work"/deb/libdaqevstat-dev_*.deb)
[[ -f "$runtime_deb" && -f "$dev_deb" ]] || fail "cpack did not make both packages"
[[ $(dpkg-deb -f "$dev_deb" Depends) == "libdaqevstat0 (= 0.1.0)" ]] ||
  fail "libdaqevstat-dev does not depend on libdaqevstat0 (= 0.1.0)"
[[ $(dpkg-deb -f "$runtime_deb" Depends) == *libstdc++6* ]] ||
  fail "libdaqevstat0 does not depend on the C++ runtime"

# Files and links of a package, relative to /usr.
package_files() { dpkg -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort; }
package_files "$runtime_deb" >"$work/runtime.files"
package_files "$dev_deb" >"$work/dev.files"
if grep -qvE '/libdaq(evstat|host)\.so\.0(\.1\.0)?$' "$work/runtime.files"; then
  fail "libdaqevstat0 holds more than the versioned libraries: $(cat "$work/runtime.files")"
fi
if grep -qE '\.so\.0' "$work/dev.files"; then fail "libdaqevstat-dev holds versioned libraries"; fi
(cd "$prefix" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort) >"$work/prefix.files"
sort "$work/runtime.files" "$work/dev.files" | diff -u "$work/prefix.files" - ||
  fail "the packages differ from the installation"

echo "--- dpkg -i"
debs_installed=1
dpkg -i "$runtime_deb" "$dev_deb"
binary=$(cmake_example system_cmake)
# An installation under /usr/local would be found first and prove nothing.
found=$(sed -n 's/^daqevstat_DIR:PATH=//p' "$work/system_cmake/CMakeCache.txt")
[[ "$found" == /usr/lib/* ]] || fail "find_package found $found, not the package's files"
run_example system_cmake "$binary"
found=$(pkg-config --variable=pcfiledir daqevstat)
[[ "$found" == /usr/lib/* ]] || fail "pkg-config found $found, not the package's file"
binary=$(pkgconfig_example system_pkg_config)
run_example system_pkg_config "$binary"

echo "--- dpkg -r"
dpkg -r "${packages[@]}"
while read -r file; do
  if [[ -e "/usr/$file" || -L "/usr/$file" ]]; then fail "/usr/$file is left after removal"; fi
done < <(cat "$work/runtime.files" "$work/dev.files")
cmake_dir=$(dirname "$(grep -m1 'daqevstat-config\.cmake$' "$work/dev.files")")
for dir in include/daqevstat "$cmake_dir"; do
  if [[ -e "/usr/$dir" ]]; then fail "/usr/$dir is left after removal"; fi
done
# Removed, the runtime package keeps only its ldconfig maintainer scripts in
# dpkg's records; purging drops those too.
echo "--- dpkg -P"
dpkg -P libdaqevstat0
debs_installed=0
for package in "${packages[@]}"; do
  if dpkg -L "$package" >/dev/null 2>&1; then fail "dpkg still knows $package"; fi
done

echo "=== package: all checks passed"
