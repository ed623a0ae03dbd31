#!/usr/bin/env bash
# A fleet of simulated DAQ servers watched by one Prometheus with the rules of
# monitoring/prometheus, all on loopback, running until stopped.
#
#   scripts/fleet.sh [--tls] [N]  start N servers (default 4) and Prometheus
#   scripts/fleet.sh stop DIR     stop what a start put into DIR
#
# With --tls the servers are secured as on a network: TLS with a test CA made
# for the run by openssl (in DIR/certs), client certificates required, and a
# user "prometheus" whose password is in DIR/certs/password; Prometheus
# scrapes them with scheme https, tls_config and basic_auth.
#
# Server i has its own fault mix: the second loses 2 % of its events, the
# third has a slow, jittery path, the others are clean but for a few late and
# repeated events. Everything started is listed by process id in DIR/pids;
# stop ends exactly those. The tool is build/default/tool/daqevstat unless
# DAQEVSTAT_TOOL names another.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tool=${DAQEVSTAT_TOOL:-$root/build/default/tool/daqevstat}

stop_fleet() {
  local dir=$1
  [[ -f $dir/pids ]] || { echo "fleet.sh: $dir/pids not found" >&2; exit 2; }
  while read -r pid name; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" && echo "stopped $name (process $pid)"
    fi
  done <"$dir/pids"
  rm -rf "$dir"
}

if [[ ${1:-} == stop ]]; then
  stop_fleet "${2:?usage: fleet.sh stop DIR}"
  exit 0
fi

tls=0
if [[ ${1:-} == --tls ]]; then
  tls=1
  shift
fi
count=${1:-4}
if ! [[ $count =~ ^[0-9]+$ ]] || ((count < 1 || count > 50)); then
  echo "usage: fleet.sh [--tls] [N] (1 to 50 servers) | fleet.sh stop DIR" >&2
  exit 2
fi
for program in "$tool" prometheus python3; do
  if ! command -v "$program" >/dev/null 2>&1; then
    echo "fleet.sh: $program not found (build with scripts/test.sh; Debian: apt-get install prometheus)" >&2
    exit 1
  fi
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/daqevstat-fleet.XXXXXX")
: >"$dir/pids"
# On a failed start, stop whatever did start.
trap 'echo "fleet.sh: start failed; stopping what started" >&2; stop_fleet "$dir"' ERR

secure=()
scheme=http
if ((tls)); then
  mkdir "$dir/certs"
  "$root/tests/net/make_test_certs.sh" "$dir/certs"
  python3 - "$dir/certs" <<'PYTHON'
import ctypes, os, secrets, sys
folder = sys.argv[1]
password = secrets.token_urlsafe(18)
lib = ctypes.CDLL("libcrypt.so.1")
lib.crypt_gensalt.restype = ctypes.c_char_p
lib.crypt.restype = ctypes.c_char_p
digest = lib.crypt(password.encode(), lib.crypt_gensalt(b"$2y$", 10, None, 0)).decode()
with open(os.path.join(folder, "password"), "w") as f:
    f.write(password + "\n")
with open(os.path.join(folder, "web.yml"), "w") as f:
    f.write(f"""tls_server_config:
  cert_file: chain.pem
  key_file: server.key
  client_ca_file: ca.pem
  client_auth_type: RequireAndVerifyClientCert
basic_auth_users:
  prometheus: {digest}
""")
PYTHON
  secure=(--web-config-file "$dir/certs/web.yml")
  scheme=https
fi

faults() {
  case $1 in
    2) echo "--loss 0.02 --latency-ms 20 --jitter-ms 6" ;;
    3) echo "--ideal --latency-ms 300 --jitter-ms 150" ;;
    *) echo "--ideal --reorder 0.001 --dup 0.001 --latency-ms 10 --jitter-ms 3" ;;
  esac
}

# Waits up to 10 s for a server's "listening on" line; prints HOST:PORT.
listen_address() {
  local log=$1
  for _ in $(seq 100); do
    if grep -qo 'listening on https\?://[^/]*' "$log"; then
      grep -o 'listening on https\?://[^/]*' "$log" | head -n1 | sed 's|.*//||'
      return 0
    fi
    sleep 0.1
  done
  echo "fleet.sh: no 'listening on' line in $log" >&2
  return 1
}

targets=()
for i in $(seq "$count"); do
  # shellcheck disable=SC2046
  setsid "$tool" simulate --duration 0 --listen 127.0.0.1:0 "${secure[@]}" --seed "$i" $(faults "$i") \
    </dev/null >/dev/null 2>"$dir/server$i.log" &
  echo "$! server$i" >>"$dir/pids"
  targets+=("$(listen_address "$dir/server$i.log")")
done

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
{
  echo "global: {scrape_interval: 5s, evaluation_interval: 5s}"
  echo "rule_files:"
  echo "  - $root/monitoring/prometheus/daqevstat-recording.rules.yml"
  echo "  - $root/monitoring/prometheus/daqevstat-alerts.rules.yml"
  echo "scrape_configs:"
  echo "  - job_name: daqevstat"
  if ((tls)); then
    echo "    scheme: https"
    echo "    tls_config: {ca_file: $dir/certs/ca.pem, cert_file: $dir/certs/client.pem, key_file: $dir/certs/client.key}"
    echo "    basic_auth: {username: prometheus, password_file: $dir/certs/password}"
  fi
  echo "    static_configs:"
  echo "      - targets: [$(printf '"%s", ' "${targets[@]}" | sed 's/, $//')]"
} >"$dir/prometheus.yml"
setsid prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/data" \
  --web.listen-address="127.0.0.1:$port" </dev/null >"$dir/prometheus.log" 2>&1 &
echo "$! prometheus" >>"$dir/pids"
for _ in $(seq 100); do
  python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/-/ready', timeout=1)" \
    2>/dev/null && break
  sleep 0.2
done
trap - ERR

echo "Prometheus:  http://127.0.0.1:$port/  (alerts: http://127.0.0.1:$port/alerts)"
echo "Dashboards:"
for i in $(seq "$count"); do
  echo "  server$i  $scheme://${targets[i - 1]}/  ($(faults "$i"))"
done
echo "DaqEventsLost fires for server2 about 5 minutes after start, DaqLatencyHigh for server3"
echo "after about 10 (their for: durations); Prometheus lists them pending before that."
echo "Logs and data: $dir"
echo "Stop it all:  $0 stop $dir"
