#!/usr/bin/env bash
# Checks for the build and test dependencies of libdaqevstat and its tool and, when some
# are missing and we are root on a system with apt-get, installs them.
# Otherwise fails with a message naming what is missing. Never reads stdin.
#
# Usage: scripts/deps.sh          (or source it and call daqevstat_deps)

daqevstat_have_header() {
  local header=$1 dir
  for dir in /usr/include /usr/local/include; do
    [[ -f "$dir/$header" ]] && return 0
  done
  return 1
}

daqevstat_cmake_ok() {
  command -v cmake >/dev/null 2>&1 || return 1
  local version major minor
  version=$(cmake --version 2>/dev/null | head -n1 | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
  major=${version%%.*}
  minor=${version#*.}
  minor=${minor%%.*}
  [[ -n "$major" && -n "$minor" ]] || return 1
  ((major > 3 || (major == 3 && minor >= 25)))
}

# Sets DAQEVSTAT_MISSING (what is missing) and DAQEVSTAT_PACKAGES (the Debian
# packages that provide it).
daqevstat_find_missing() {
  DAQEVSTAT_MISSING=()
  DAQEVSTAT_PACKAGES=()
  if ! daqevstat_cmake_ok; then
    DAQEVSTAT_MISSING+=("cmake >= 3.25")
    DAQEVSTAT_PACKAGES+=(cmake)
  fi
  if ! command -v ninja >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=(ninja)
    DAQEVSTAT_PACKAGES+=(ninja-build)
  fi
  if ! command -v g++ >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=(g++)
    DAQEVSTAT_PACKAGES+=(g++)
  fi
  if ! daqevstat_have_header gtest/gtest.h; then
    DAQEVSTAT_MISSING+=("GoogleTest headers")
    DAQEVSTAT_PACKAGES+=(libgtest-dev)
  fi
  if ! daqevstat_have_header gmock/gmock.h; then
    DAQEVSTAT_MISSING+=("GoogleMock headers")
    DAQEVSTAT_PACKAGES+=(libgmock-dev)
  fi
  if ! daqevstat_have_header benchmark/benchmark.h; then
    DAQEVSTAT_MISSING+=("Google Benchmark headers")
    DAQEVSTAT_PACKAGES+=(libbenchmark-dev)
  fi
  # The tool's command line, JSON output and line editing.
  if ! daqevstat_have_header CLI/CLI.hpp; then
    DAQEVSTAT_MISSING+=("CLI11 headers")
    DAQEVSTAT_PACKAGES+=(libcli11-dev)
  fi
  if ! daqevstat_have_header nlohmann/json.hpp; then
    DAQEVSTAT_MISSING+=("nlohmann-json headers")
    DAQEVSTAT_PACKAGES+=(nlohmann-json3-dev)
  fi
  if ! daqevstat_have_header histedit.h && ! daqevstat_have_header editline/readline.h; then
    DAQEVSTAT_MISSING+=("libedit headers")
    DAQEVSTAT_PACKAGES+=(libedit-dev)
  fi
  # The HTTP server (libdaqevstat-http, the tool's --listen) and the tests'
  # client: Boost.Beast on Boost.Asio, header-only.
  if ! daqevstat_have_header boost/beast.hpp; then
    DAQEVSTAT_MISSING+=("Boost.Beast headers")
    DAQEVSTAT_PACKAGES+=(libboost1.81-dev)
  fi
  # TLS in the HTTP server and the tool's client (OpenSSL through Asio).
  if ! daqevstat_have_header openssl/ssl.h; then
    DAQEVSTAT_MISSING+=("OpenSSL headers")
    DAQEVSTAT_PACKAGES+=(libssl-dev)
  fi
  # The web configuration file (--web-config-file, daqnet::load_web_config).
  if ! daqevstat_have_header yaml-cpp/yaml.h; then
    DAQEVSTAT_MISSING+=("yaml-cpp headers")
    DAQEVSTAT_PACKAGES+=(libyaml-cpp-dev)
  fi
  # bcrypt password hashes checked with crypt_r.
  if ! daqevstat_have_header crypt.h; then
    DAQEVSTAT_MISSING+=("libcrypt headers")
    DAQEVSTAT_PACKAGES+=(libcrypt-dev)
  fi
  # The TLS tests make their certificates with openssl and talk to the
  # server with curl and openssl s_client; they skip without them.
  if ! command -v openssl >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("openssl (for the TLS tests)")
    DAQEVSTAT_PACKAGES+=(openssl)
  fi
  if ! command -v curl >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("curl (for the TLS tests)")
    DAQEVSTAT_PACKAGES+=(curl)
  fi
  # promtool checks the metrics a scrape returns and the monitoring rules.
  if ! command -v promtool >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("promtool (for the metrics and rules tests)")
    DAQEVSTAT_PACKAGES+=(prometheus)
  fi
  # protoc decodes the protobuf exposition against net/exposition.proto in
  # the exposition test (the library writes it without a protobuf runtime).
  if ! command -v protoc >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("protoc (for the exposition test)")
    DAQEVSTAT_PACKAGES+=(protobuf-compiler)
  fi
  # The Prometheus parser the metrics test reads a scrape with, in the
  # system's own interpreter.
  if ! /usr/bin/python3 -c 'import prometheus_client' >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("Prometheus client for Python (for the metrics test)")
    DAQEVSTAT_PACKAGES+=(python3-prometheus-client)
  fi
  if ! command -v pkg-config >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=(pkg-config)
    DAQEVSTAT_PACKAGES+=(pkg-config)
  fi
  if ! command -v clang++ >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("clang (for the fuzz targets)")
    DAQEVSTAT_PACKAGES+=(clang)
  fi
  # clang only recommends its sanitizer and libFuzzer runtimes, so an install
  # without recommends lacks them.
  if ! daqevstat_have_libfuzzer; then
    DAQEVSTAT_MISSING+=("libFuzzer runtime (for the fuzz targets)")
    DAQEVSTAT_PACKAGES+=(libclang-rt-dev)
  fi
  # The HTTP load benchmark's load generator; its smoke test skips without it.
  if ! command -v wrk >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("wrk (for the HTTP load benchmark)")
    DAQEVSTAT_PACKAGES+=(wrk)
  fi
  # The static file server the HTTP load benchmark sets the answers beside
  # (--static); the benchmark runs without it otherwise.
  if ! command -v nginx >/dev/null 2>&1 && [[ ! -x /usr/sbin/nginx ]]; then
    DAQEVSTAT_MISSING+=("nginx (for the HTTP load benchmark's static comparison)")
    DAQEVSTAT_PACKAGES+=(nginx)
  fi
  # Only the dashboard's browser test needs a browser; it skips without one.
  if ! command -v chromium >/dev/null 2>&1; then
    DAQEVSTAT_MISSING+=("chromium (for the dashboard's browser test)")
    DAQEVSTAT_PACKAGES+=(chromium)
  fi
}

daqevstat_have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local runtime
  runtime=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)
  [[ "$runtime" == /* && -f "$runtime" ]]
}

daqevstat_deps() {
  daqevstat_find_missing
  ((${#DAQEVSTAT_MISSING[@]} == 0)) && return 0

  if [[ $(id -u) -ne 0 ]] || ! command -v apt-get >/dev/null 2>&1; then
    echo "deps: missing: ${DAQEVSTAT_MISSING[*]}" >&2
    echo "deps: install them (Debian: apt-get install ${DAQEVSTAT_PACKAGES[*]})" \
      "or run this script as root on a system with apt-get" >&2
    return 1
  fi

  echo "deps: installing ${DAQEVSTAT_PACKAGES[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update </dev/null || return 1
  apt-get install -y --no-install-recommends "${DAQEVSTAT_PACKAGES[@]}" </dev/null || return 1

  daqevstat_find_missing
  if ((${#DAQEVSTAT_MISSING[@]} != 0)); then
    echo "deps: still missing after installing: ${DAQEVSTAT_MISSING[*]}" >&2
    return 1
  fi
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  daqevstat_deps
fi
