#!/usr/bin/env bash
# Packaging check: what a server developer and an operator get from an
# installation and from the Debian packages.
#
#  1. cmake --install into a temporary prefix; the tree holds no build path
#     and no run path, every installed header compiles on its own, the core
#     libraries need nothing beyond the C and C++ runtimes (no HTTP, no
#     Boost), and the HTTP library exports no Boost symbol and needs, defines and
#     exports nothing of protobuf.
#  2. The example servers, as projects of their own, built against that
#     prefix with find_package and with pkg-config (a plain compiler command
#     line): embed_server runs its self-check; two_locations serves two
#     locations over HTTP and scripts/check_example_http.py reads their
#     totals from the JSON routes and /metrics. Once more with find_package
#     after the prefix has been moved, embed_server read over HTTP.
#  3. cpack -G DEB; the four packages hold exactly what the install put in
#     the prefix; dpkg -i, embed_server built against the system paths both
#     ways and read over HTTP, /usr/bin/daqevstat run (--version, a replay of
#     the sample against its recorded JSON), dpkg -r and -P, and nothing of
#     the packages is left.
#
# Runs as root (it installs and removes packages). The packages are removed
# on every way out. Usage: scripts/ci_package.sh [BUILD_DIR], default
# build/default (configured and built here if needed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
exec </dev/null

build=${1:-build/default}
examples="$root/examples"
http_check=(python3 "$root/scripts/check_example_http.py")
packages=(daqevstat libdaqevstat-dev libdaqevstat-http0 libdaqevstat0)
strict_flags="-Wall -Wextra -Wpedantic -Werror"

fail() {
  echo "ci_package: $*" >&2
  exit 1
}

if [[ $(id -u) -ne 0 ]]; then
  fail "must run as root: it installs and removes Debian packages"
fi
# The packages' Depends come from dpkg-shlibdeps; without it CPack would
# quietly leave them out.
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $build/CMakeCache.txt"

# run_example NAME BINARY: runs embed_server's self-check with its
# configuration in $work; it must succeed (its statistics match its source)
# and save the switch.
run_example() {
  local name=$1 binary=$2 conf="$work/$1.conf"
  echo "--- run: $name"
  "$binary" "$conf" >"$work/$name.out" 2>&1 || { cat "$work/$name.out"; fail "$name: run failed"; }
  tail -n 2 "$work/$name.out"
  grep -qx 'DAQ1.STAT.ON 1' "$conf" || fail "$name: the saved configuration lacks the switch"
}

# serve_example NAME BINARY [ARGS...]: runs an example with --listen on a
# free loopback port and reads what it fed over HTTP; it must stop cleanly
# on SIGTERM.
serve_example() {
  local name=$1 binary=$2
  shift 2
  echo "--- serve: $name"
  "${http_check[@]}" "$binary" --listen 127.0.0.1:0 "$@" >"$work/$name.http" 2>&1 ||
    { cat "$work/$name.http"; fail "$name: the figures read over HTTP are wrong"; }
  tail -n 1 "$work/$name.http"
}

# cmake_example EXAMPLE NAME [CMAKE ARGS...]: configures and builds
# examples/EXAMPLE as a project of its own; prints the binary.
cmake_example() {
  local example=$1 name=$2
  shift 2
  cmake -S "$examples/$example" -B "$work/$name" -G Ninja -DCMAKE_CXX_FLAGS="$strict_flags" "$@" \
    >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "$name: configure failed"; }
  cmake --build "$work/$name" >>"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log"; fail "$name: build failed"; }
  echo "$work/$name/$example"
}

# pkgconfig_example EXAMPLE NAME [RPATH]: builds examples/EXAMPLE with one
# compiler command line from pkg-config; prints the binary.
pkgconfig_example() {
  local example=$1 name=$2 rpath=${3:-} flags
  flags=$(pkg-config --cflags --libs daqevstat-http)
  # shellcheck disable=SC2086  # the flags are words
  g++ $strict_flags -o "$work/$name" "$examples/$example/$example.cc" $flags \
    ${rpath:+-Wl,-rpath,$rpath}
  echo "$work/$name"
}

echo "=== package: cmake --install into a temporary prefix"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" --strip >/dev/null
(cd "$prefix" && find . -mindepth 1 | sort)

pcfile=$(find "$prefix" -name daqevstat.pc)
libdir=$(dirname "$(dirname "$pcfile")")
for lib in daqevstat daqhost daqevstat-http; do
  dynamic=$(readelf -d "$libdir/lib$lib.so.$version")
  grep -q "SONAME.*\[lib$lib\.so\.0\]" <<<"$dynamic" || fail "lib$lib has no SONAME lib$lib.so.0"
  if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then
    fail "lib$lib carries a run path"
  fi
done
if readelf -d "$prefix/bin/daqevstat" | grep -qE 'RPATH|RUNPATH'; then
  fail "bin/daqevstat carries a run path"
fi
# A server that loads the statistics alone gets no HTTP stack: the core
# libraries need the C and C++ runtimes, POSIX and each other, nothing else.
system_library='^(lib(daqhost\.so\.0|stdc\+\+\.so\.6|gcc_s\.so\.1|(c|m|pthread|dl|rt)\.so\.[0-9]+)|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$'
for lib in daqevstat daqhost; do
  while read -r needed; do
    [[ "$needed" =~ $system_library ]] || fail "lib$lib needs $needed"
  done < <(readelf -d "$libdir/lib$lib.so.$version" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done
# Nor does the HTTP library show its Boost: a server built with another Boost
# would otherwise share ours through the dynamic linker (service ids,
# per-thread call stacks, containers of Boost types), layouts apart. Symbols
# of our own code that merely name a Boost type are unique to us.
if boost_symbols=$(nm -D --defined-only "$libdir/libdaqevstat-http.so.$version" | awk '{print $3}' |
  grep -F 5boost | grep -vF 6daqnet); then
  fail "libdaqevstat-http exports $(wc -l <<<"$boost_symbols") Boost symbols," \
    "e.g. $(head -n 1 <<<"$boost_symbols" | c++filt)"
fi
# The protobuf exposition is written by our own encoder: the HTTP library
# neither needs a protobuf runtime nor defines or exports a protobuf symbol,
# so a server that links its own protobuf (any version) shares nothing with it.
if readelf -d "$libdir/libdaqevstat-http.so.$version" | grep -q 'NEEDED.*protobuf'; then
  fail "libdaqevstat-http needs a protobuf library"
fi
if protobuf_symbols=$(nm -D --defined-only "$libdir/libdaqevstat-http.so.$version" |
  awk '{print $3}' | grep -E '8protobuf|io_prometheus|prometheus6client'); then
  fail "libdaqevstat-http exports protobuf symbols, e.g. $(head -n 1 <<<"$protobuf_symbols" | c++filt)"
fi
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

echo "=== package: the examples against the prefix (find_package, pkg-config)"
binary=$(cmake_example embed_server find_package -DCMAKE_PREFIX_PATH="$prefix")
run_example find_package "$binary"
binary=$(cmake_example two_locations two_find_package -DCMAKE_PREFIX_PATH="$prefix")
serve_example two_find_package "$binary"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
rpath=$(pkg-config --variable=libdir daqevstat-http)
binary=$(pkgconfig_example embed_server pkg_config "$rpath")
run_example pkg_config "$binary"
binary=$(pkgconfig_example two_locations two_pkg_config "$rpath")
serve_example two_pkg_config "$binary"
unset PKG_CONFIG_PATH

# The package's version file: 0.1 is accepted, 1.0 refused; an unknown
# component is refused.
mkdir "$work/version_check"
cat >"$work/version_check/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(version_check LANGUAGES CXX)
find_package(daqevstat 1.0 QUIET)
if(daqevstat_FOUND)
  message(FATAL_ERROR "daqevstat ${daqevstat_VERSION} accepted for a request of 1.0")
endif()
find_package(daqevstat 0.1 QUIET COMPONENTS no_such_component)
if(daqevstat_FOUND)
  message(FATAL_ERROR "daqevstat accepted an unknown component")
endif()
find_package(daqevstat 0.1 REQUIRED COMPONENTS http)
EOF
cmake -S "$work/version_check" -B "$work/version_check/build" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/version_check.log" 2>&1 || { cat "$work/version_check.log"; fail "version check failed"; }

echo "=== package: an example against a moved copy of the prefix"
cp -a "$prefix" "$work/moved"
mv "$prefix" "$work/prefix.away"
binary=$(cmake_example embed_server moved -DCMAKE_PREFIX_PATH="$work/moved")
serve_example moved "$binary" "$work/moved.conf"
mv "$work/prefix.away" "$prefix"

echo "=== package: Debian packages"
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
runtime_deb=$(echo "$work"/deb/libdaqevstat0_*.deb)
http_deb=$(echo "$work"/deb/libdaqevstat-http0_*.deb)
dev_deb=$(echo "$work"/deb/libdaqevstat-dev_*.deb)
tool_deb=$(echo "$work"/deb/daqevstat_*.deb)
for deb in "$runtime_deb" "$http_deb" "$dev_deb" "$tool_deb"; do
  [[ -f "$deb" ]] || fail "cpack did not make $deb"
done

# depends_on DEB PACKAGE...: each package is among DEB's Depends.
depends_on() {
  local deb=$1 depends
  shift
  depends=$(dpkg-deb -f "$deb" Depends)
  for package in "$@"; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "${deb##*/} does not depend on $package: $depends"
  done
}
depends_on "$runtime_deb" libstdc++6
depends_on "$http_deb" "libdaqevstat0 (= $version)" libstdc++6
depends_on "$dev_deb" "libdaqevstat0 (= $version)" "libdaqevstat-http0 (= $version)"
depends_on "$tool_deb" "libdaqevstat0 (= $version)" "libdaqevstat-http0 (= $version)" libstdc++6

# Files and links of a package, relative to /usr.
package_files() { dpkg -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort; }
package_files "$runtime_deb" >"$work/runtime.files"
package_files "$http_deb" >"$work/http.files"
package_files "$dev_deb" >"$work/dev.files"
package_files "$tool_deb" >"$work/tool.files"
if grep -qvE "/libdaq(evstat|host)\.so\.(0|$version)$" "$work/runtime.files"; then
  fail "libdaqevstat0 holds more than the core versioned libraries: $(cat "$work/runtime.files")"
fi
if grep -qvE "/libdaqevstat-http\.so\.(0|$version)$" "$work/http.files"; then
  fail "libdaqevstat-http0 holds more than the HTTP library: $(cat "$work/http.files")"
fi
grep -qE '/libdaqevstat-http\.so\.0$' "$work/http.files" ||
  fail "libdaqevstat-http0 lacks libdaqevstat-http.so.0"
if grep -qE '\.so\.0' "$work/dev.files"; then fail "libdaqevstat-dev holds versioned libraries"; fi
grep -qx 'include/daqevstat/daqevstat_http.h' "$work/dev.files" ||
  fail "libdaqevstat-dev lacks daqevstat_http.h"
[[ $(cat "$work/tool.files") == bin/daqevstat ]] ||
  fail "daqevstat holds more or less than bin/daqevstat: $(cat "$work/tool.files")"
(cd "$prefix" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort) >"$work/prefix.files"
sort "$work/runtime.files" "$work/http.files" "$work/dev.files" "$work/tool.files" |
  diff -u "$work/prefix.files" - || fail "the packages differ from the installation"

echo "--- dpkg -i"
debs_installed=1
dpkg -i "$runtime_deb" "$http_deb" "$dev_deb" "$tool_deb"
binary=$(cmake_example embed_server system_cmake)
# An installation under /usr/local would be found first and prove nothing.
found=$(sed -n 's/^daqevstat_DIR:PATH=//p' "$work/system_cmake/CMakeCache.txt")
[[ "$found" == /usr/lib/* ]] || fail "find_package found $found, not the package's files"
serve_example system_cmake "$binary" "$work/system_cmake.conf"
grep -qx 'DAQ1.STAT.ON 1' "$work/system_cmake.conf" ||
  fail "system_cmake: the saved configuration lacks the switch"
found=$(pkg-config --variable=pcfiledir daqevstat-http)
[[ "$found" == /usr/lib/* ]] || fail "pkg-config found $found, not the package's file"
binary=$(pkgconfig_example embed_server system_pkg_config)
serve_example system_pkg_config "$binary" "$work/system_pkg_config.conf"

echo "--- /usr/bin/daqevstat"
[[ $(command -v daqevstat) == /usr/bin/daqevstat ]] || fail "daqevstat is not /usr/bin/daqevstat"
[[ $(/usr/bin/daqevstat --version) == "daqevstat $version" ]] ||
  fail "daqevstat --version: $(/usr/bin/daqevstat --version 2>&1)"
/usr/bin/daqevstat replay "$root/samples/sample_stream.csv" | tail -n 3
/usr/bin/daqevstat replay --json "$root/samples/sample_stream.csv" >"$work/replay.json"
python3 - "$work/replay.json" "$root/tests/tool/data/sample_stream.json" <<'EOF' ||
import json, sys
got, want = (json.load(open(path)) for path in sys.argv[1:])
sys.exit(0 if got == want else 1)
EOF
  fail "/usr/bin/daqevstat replay --json differs from tests/tool/data/sample_stream.json"

echo "--- dpkg -r"
dpkg -r "${packages[@]}"
while read -r file; do
  if [[ -e "/usr/$file" || -L "/usr/$file" ]]; then fail "/usr/$file is left after removal"; fi
done < <(cat "$work/runtime.files" "$work/http.files" "$work/dev.files" "$work/tool.files")
cmake_dir=$(dirname "$(grep -m1 'daqevstat-config\.cmake$' "$work/dev.files")")
for dir in include/daqevstat "$cmake_dir"; do
  if [[ -e "/usr/$dir" ]]; then fail "/usr/$dir is left after removal"; fi
done
# Removed, the library packages keep only their ldconfig maintainer scripts
# in dpkg's records; purging drops those too.
echo "--- dpkg -P"
dpkg -P libdaqevstat0 libdaqevstat-http0
debs_installed=0
for package in "${packages[@]}"; do
  if dpkg -L "$package" >/dev/null 2>&1; then fail "dpkg still knows $package"; fi
done

echo "=== package: all checks passed"
