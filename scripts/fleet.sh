#!/usr/bin/env bash
# A fleet of simulated DAQ servers watched by one Prometheus with the rules of
# monitoring/prometheus, all on loopback, running until stopped.
#
#   scripts/fleet.sh [--tls] [N]
#                               start N servers (default 4) and Prometheus
#   scripts/fleet.sh [--tls] --halls H [N]
#                               a site: the N servers shared among H halls
#                               (2 to 5), a Prometheus per hall with native
#                               histograms and the recording rules, a site
#                               Prometheus that federates the halls' recorded
#                               series and evaluates the alerts, and a
#                               receiver of hall 1's recorded series over
#                               remote_write (docs/monitoring.md)
#   scripts/fleet.sh stop DIR   stop what a start put into DIR
#
# With --tls the servers are secured as on a network: TLS with a test CA made
# for the run by openssl (in DIR/certs, valid for two days), client
# certificates required, and a user "prometheus" whose password is in
# DIR/certs/password; Prometheus scrapes them with scheme https, tls_config
# and basic_auth (the Prometheus servers themselves stay plain, on loopback).
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
  # Last started first, so that no Prometheus is left retrying to send to
  # one already gone; then wait for each to end before the data goes.
  local stopped=()
  while read -r pid name; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" && echo "stopped $name (process $pid)" && stopped+=("$pid")
    fi
  done < <(tac "$dir/pids")
  for _ in $(seq 150); do
    local running=0
    for pid in "${stopped[@]}"; do
      kill -0 "$pid" 2>/dev/null && running=1
    done
    ((running)) || break
    sleep 0.2
  done
  rm -rf "$dir"
}

if [[ ${1:-} == stop ]]; then
  stop_fleet "${2:?usage: fleet.sh stop DIR}"
  exit 0
fi

halls=0
tls=0
while [[ ${1:-} == --* ]]; do
  case $1 in
    --tls)
      tls=1
      shift
      ;;
    --halls)
      halls=${2:-}
      shift 2 || true
      if ! [[ $halls =~ ^[0-9]+$ ]] || ((halls < 2 || halls > 5)); then
        echo "usage: fleet.sh [--tls] --halls H [N] (2 to 5 halls)" >&2
        exit 2
      fi
      ;;
    *)
      echo "fleet.sh: unknown option $1" >&2
      exit 2
      ;;
  esac
done
count=${1:-4}
if ! [[ $count =~ ^[0-9]+$ ]] || ((count < 1 || count > 50)) || ((count < halls)); then
  echo "usage: fleet.sh [--tls] [--halls H] [N] (1 to 50 servers, at least one per hall) | fleet.sh stop DIR" >&2
  exit 2
fi
programs=("$tool" prometheus python3)
((tls)) && programs+=(openssl)
for program in "${programs[@]}"; do
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
  chmod 600 "$dir/certs/password" "$dir/certs/"*.key
  secure=(--web-config-file "$dir/certs/web.yml")
  scheme=https
fi

# The scrape settings of a job that scrapes the servers.
server_scrape() {
  if ((tls)); then
    echo "    scheme: https"
    echo "    tls_config: {ca_file: $dir/certs/ca.pem, cert_file: $dir/certs/client.pem, key_file: $dir/certs/client.key}"
    echo "    basic_auth: {username: prometheus, password_file: $dir/certs/password}"
  fi
}

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
    if grep -qso 'listening on https\?://[^/]*' "$log"; then
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

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_prometheus NAME PORT [OPTION...]: with DIR/NAME.yml, storage in
# DIR/NAME; waits until it is ready.
start_prometheus() {
  local name=$1 port=$2
  shift 2
  setsid prometheus --config.file="$dir/$name.yml" --storage.tsdb.path="$dir/$name" \
    --web.listen-address="127.0.0.1:$port" "$@" </dev/null >"$dir/$name.log" 2>&1 &
  echo "$! $name" >>"$dir/pids"
  for _ in $(seq 100); do
    python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/-/ready', timeout=1)" \
      2>/dev/null && return 0
    sleep 0.2
  done
}

quoted_list() {
  printf '"%s", ' "$@" | sed 's/, $//'
}

recording=$root/monitoring/prometheus/daqevstat-recording.rules.yml
alerting=$root/monitoring/prometheus/daqevstat-alerts.rules.yml
if ((halls == 0)); then
  port=$(free_port)
  {
    echo "global: {scrape_interval: 5s, evaluation_interval: 5s}"
    echo "rule_files:"
    echo "  - $recording"
    echo "  - $alerting"
    echo "scrape_configs:"
    echo "  - job_name: daqevstat"
    server_scrape
    echo "    static_configs:"
    echo "      - targets: [$(quoted_list "${targets[@]}")]"
  } >"$dir/prometheus.yml"
  start_prometheus prometheus "$port"
else
  receiver_port=$(free_port)
  echo "global: {scrape_interval: 5s, evaluation_interval: 5s}" >"$dir/receiver.yml"
  start_prometheus receiver "$receiver_port" --web.enable-remote-write-receiver
  hall_addresses=()
  for h in $(seq "$halls"); do
    members=()
    for i in $(seq "$count"); do
      (((i - 1) % halls + 1 == h)) && members+=("${targets[i - 1]}")
    done
    hall_port=$(free_port)
    hall_addresses+=("127.0.0.1:$hall_port")
    {
      echo "global: {scrape_interval: 5s, evaluation_interval: 5s, external_labels: {hall: hall$h}}"
      echo "rule_files:"
      echo "  - $recording"
      echo "scrape_configs:"
      echo "  - job_name: daqevstat"
      server_scrape
      echo "    static_configs:"
      echo "      - targets: [$(quoted_list "${members[@]}")]"
      if ((h == 1)); then
        echo "remote_write:"
        echo "  - url: http://127.0.0.1:$receiver_port/api/v1/write"
        echo "    write_relabel_configs:"
        echo "      - {source_labels: [__name__], regex: 'daqevstat:.*', action: keep}"
      fi
    } >"$dir/hall$h.yml"
    start_prometheus "hall$h" "$hall_port" --enable-feature=native-histograms
  done
  port=$(free_port)
  {
    echo "global: {scrape_interval: 5s, evaluation_interval: 5s}"
    echo "rule_files:"
    echo "  - $alerting"
    echo "scrape_configs:"
    echo "  - job_name: federate-halls"
    echo "    honor_labels: true"
    echo "    metrics_path: /federate"
    echo "    params:"
    echo "      'match[]': ['{__name__=~\"daqevstat:.*\",__name__!~\"daqevstat:threshold:.*\"}']"
    echo "    static_configs:"
    echo "      - targets: [$(quoted_list "${hall_addresses[@]}")]"
  } >"$dir/site.yml"
  start_prometheus site "$port"
fi
trap - ERR

if ((halls == 0)); then
  echo "Prometheus:  http://127.0.0.1:$port/  (alerts: http://127.0.0.1:$port/alerts)"
else
  for h in $(seq "$halls"); do
    echo "Hall $h:      http://${hall_addresses[h - 1]}/  (native histograms, recording rules)"
  done
  echo "Site:        http://127.0.0.1:$port/  (federated recorded series; alerts: /alerts)"
  echo "Receiver:    http://127.0.0.1:$receiver_port/  (hall 1's recorded series over remote_write)"
fi
echo "Dashboards:"
for i in $(seq "$count"); do
  echo "  server$i  $scheme://${targets[i - 1]}/  ($(faults "$i"))"
done
echo "DaqEventsLost fires for server2 about 5 minutes after start, DaqLatencyHigh for server3"
echo "after about 10 (their for: durations); Prometheus lists them pending before that."
if ((tls)); then
  echo "Secured: the dashboards need the client certificate and user prometheus, e.g."
  echo "  curl --cacert $dir/certs/ca.pem --cert $dir/certs/client.pem --key $dir/certs/client.key \\"
  echo "    -u prometheus:\$(cat $dir/certs/password) https://${targets[0]}/metrics"
fi
echo "Logs and data: $dir"
echo "Stop it all:  $0 stop $dir"
