#!/usr/bin/env bash
# HTTP load figures of the tool's server: requests per second and latency of
# GET /metrics and GET /api/v1/properties under wrk, with keep-alive clients,
# with a crowd of idle connections held open meanwhile, and with a new
# connection per request. Events flow the whole time; after each repetition
# the tool's own report must say that its counters agree with what the source
# delivered, or the run fails.
#
# A benchmark, not a test: it asserts no timing, it prints a Markdown table.
# Loopback only; every step is bounded in time.
#
# Usage: benchmarks/http_load.sh [OPTIONS]
#   --tool PATH        daqevstat binary (default build/default/tool/daqevstat)
#   --seconds N        length of one measurement (default 10)
#   --repeat N         repetitions of the whole series (default 2)
#   --rate HZ          events per second of the simulated source (default 10000)
#   --clients "A B"    wrk connections per point (default "8 64")
#   --paths "P Q"      paths to load (default "/metrics /api/v1/properties");
#                      /metrics:protobuf is /metrics asked for in the protobuf
#                      exposition (the Accept header of a Prometheus with
#                      native histograms)
#   --modes "M ..."    keepalive, idle, close (default all three)
#   --idle N           connections held open in idle mode (default 200)
#   --idle-peers N     source addresses the idle connections come from (default 10)
#   --idle-kind K      silent (nothing sent) or after-request (default silent)
#   --threads N        wrk threads (default 2)
#   --out FILE         also write the table to FILE
#   --static           also load nginx (one worker, on a loopback port) serving
#                      a byte copy of each answer, fetched from the tool as the
#                      run starts, in the same run and with the same wrk
#                      settings, for the keep-alive points
#
# Exit status: 0 when every point was measured and every repetition's totals
# agree; 1 when they do not, wrk failed or the tool did; 2 on a wrong option;
# 77 when wrk, python3 or the tool is missing (named on stderr).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

tool="$root/build/default/tool/daqevstat"
seconds=10
repeat=2
rate=10000
clients="8 64"
paths="/metrics /api/v1/properties"
modes="keepalive idle close"
idle=200
idle_peers=10
idle_kind=silent
threads=2
out=""
static=0

usage() {
  sed -n '/^# Usage:/,/^# Exit status/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while (($#)); do
  case $1 in
    --tool) tool=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --paths) paths=$2; shift 2 ;;
    --modes) modes=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --idle-peers) idle_peers=$2; shift 2 ;;
    --idle-kind) idle_kind=$2; shift 2 ;;
    --threads) threads=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --static) static=1; shift ;;
    -h | --help) usage ;;
    *) echo "http_load: unknown option $1" >&2; usage ;;
  esac
done

for number in "$seconds" "$repeat" "$idle" "$idle_peers" "$threads"; do
  [[ $number =~ ^[1-9][0-9]*$ ]] || { echo "http_load: not a positive integer: $number" >&2; exit 2; }
done
for mode in $modes; do
  case $mode in keepalive | idle | close) ;; *) echo "http_load: unknown mode $mode" >&2; exit 2 ;; esac
done
for n in $clients; do
  if ! [[ $n =~ ^[1-9][0-9]*$ ]] || ((n < threads)); then
    echo "http_load: clients must be whole numbers of at least --threads ($threads): $n" >&2
    exit 2
  fi
done

missing=()
command -v wrk >/dev/null 2>&1 || missing+=("wrk (Debian package wrk)")
command -v python3 >/dev/null 2>&1 || missing+=("python3 (Debian package python3)")
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
((static == 0)) || [[ -x $nginx_bin ]] || missing+=("nginx (Debian package nginx), for --static")
[[ -x $tool ]] || missing+=("the daqevstat tool at $tool (cmake --build build/default --target daqevstat_tool, or --tool PATH)")
if ((${#missing[@]})); then
  printf 'http_load: missing: %s\n' "${missing[@]}" >&2
  exit 77
fi

work=$(mktemp -d /tmp/http_load.XXXXXX)
tool_pid=""
holder_pid=""
nginx_pid=""

# Stops a child: pid, signal, seconds to wait before SIGKILL. Sets
# stopped_status to its exit status (137 when it had to be killed). The
# tool runs as the leader of its own process group, so SIGKILL goes to the
# whole group: a wrapper script given as --tool leaves nothing behind.
stop_pid() {
  local pid=$1 sig=$2 wait_s=$3 i
  stopped_status=0
  [[ -n $pid ]] || return 0
  kill "-$sig" "$pid" 2>/dev/null || true
  for ((i = 0; i < wait_s * 10; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null || stopped_status=$?
      return 0
    fi
    sleep 0.1
  done
  if [[ $pid == "$tool_pid" ]]; then
    kill -KILL -- "-$pid" 2>/dev/null || true
  else
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || stopped_status=$?
}

cleanup() {
  stop_pid "$nginx_pid" QUIT 5
  stop_pid "$holder_pid" TERM 5
  stop_pid "$tool_pid" INT 10
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the tool with events flowing and sets url and port.
start_tool() {
  local i
  # Fresh files: the background start truncates them only when it gets to
  # run, and the previous run's URL must not be read meanwhile.
  rm -f "$work/report.txt" "$work/tool.err"
  : >"$work/report.txt"
  : >"$work/tool.err"
  setsid "$tool" simulate --duration 0 --rate "$rate" --listen 127.0.0.1:0 \
    >"$work/report.txt" 2>"$work/tool.err" </dev/null &
  tool_pid=$!
  url=""
  for ((i = 0; i < 100; i++)); do
    url=$(grep -so 'http://127\.0\.0\.1:[0-9]*/' "$work/tool.err" | head -n1 || true)
    [[ -n $url ]] && break
    kill -0 "$tool_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z $url ]]; then
    echo "http_load: the tool did not report its URL; its output:" >&2
    cat "$work/tool.err" >&2
    exit 1
  fi
  port=${url##*:}
  port=${port%/}
}

# Stops the tool and checks its report: every counter must agree with the
# source's truth, and the tool must end cleanly (a sanitizer's report makes
# its status non-zero). Sets totals_line.
stop_tool_and_check() {
  stop_pid "$tool_pid" INT 20
  tool_pid=""
  if ((stopped_status != 0)); then
    echo "http_load: the tool ended with status $stopped_status; its messages:" >&2
    tail -n 40 "$work/tool.err" >&2
    return 1
  fi
  totals_line=$(grep -E '^  EVSTAT: counted' "$work/report.txt" || true)
  local reads
  reads=$(grep -E '^  client reads' "$work/report.txt" || true)
  if [[ -z $totals_line ]] || ! grep -q '^    agrees:' "$work/report.txt"; then
    echo "http_load: the event totals do not agree with the source after the load:" >&2
    sed -n '/^== injected by the source/,$p' "$work/report.txt" >&2
    return 1
  fi
  totals_line="${totals_line#  }; ${reads#  }"
}

start_holder() {
  : >"$work/holder.out"  # as for the tool: no line of the previous holder
  python3 "$here/hold_connections.py" 127.0.0.1 "$port" --count "$idle" --peers "$idle_peers" \
    --kind "$idle_kind" --max-seconds $((seconds + 60)) >"$work/holder.out" 2>&1 &
  holder_pid=$!
  local i
  for ((i = 0; i < 150; i++)); do
    grep -q '^ready' "$work/holder.out" && break
    kill -0 "$holder_pid" 2>/dev/null || break
    sleep 0.1
  done
  held=$(sed -n 's/^ready held=\([0-9]*\).*/\1/p' "$work/holder.out")
  [[ -n $held ]] || { echo "http_load: the idle connections could not be opened:" >&2; cat "$work/holder.out" >&2; exit 1; }
}

stop_holder() {
  stop_pid "$holder_pid" TERM 5
  holder_pid=""
  held_end=$(sed -n 's/^held=\([0-9]*\).*/\1/p' "$work/holder.out")
  reopened=$(sed -n 's/.*closed_by_server=\([0-9]*\).*/\1/p' "$work/holder.out")
}

# Copies each path's answer byte for byte into $work/static and starts nginx
# on a free loopback port with one worker serving them; sets static_url.
start_static() {
  local path i static_port
  rm -rf "$work/static" "$work/nginx"
  mkdir -p "$work/static" "$work/nginx"
  for path in $paths; do
    mkdir -p "$work/static$(dirname "$path")"
    python3 -c 'import sys, urllib.request; sys.stdout.buffer.write(urllib.request.urlopen(sys.argv[1], timeout=10).read())' \
      "${url%/}$path" >"$work/static$path"
  done
  # keepalive_requests: as many answers per connection as the tool's server
  # gives before it closes one, so both sides reconnect as often.
  static_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
user root;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  default_type text/plain;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  keepalive_requests 100;
  server {
    listen 127.0.0.1:$static_port;
    root $work/static;
  }
}
CONF
  "$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>"$work/nginx/start.err" &
  nginx_pid=$!
  static_url="http://127.0.0.1:$static_port/"
  for ((i = 0; i < 50; i++)); do
    python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=1)' \
      "${static_url%/}${paths%% *}" 2>/dev/null && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "http_load: nginx did not start:" >&2
  cat "$work/nginx/start.err" "$work/nginx/error.log" >&2 2>/dev/null || true
  exit 1
}

stop_static() {
  stop_pid "$nginx_pid" QUIT 5
  nginx_pid=""
}

# One wrk run; sets rps, p50, p99, errors. The target is the tool unless
# a fourth argument gives another base URL.
measure() {
  local path=$1 n=$2 mode=$3 line target=${4:-$url}
  local -a header=()
  [[ $mode == close ]] && header=(-H 'Connection: close')
  if [[ $path == *:protobuf ]]; then
    path=${path%:protobuf}
    header+=(-H 'Accept: application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; encoding=delimited')
  fi
  # wrk leaves an answer slower than its --timeout out of the percentiles
  # (it counts a timeout instead), which would hide the very stalls measured
  # here: the limit is the whole point.
  line=$(timeout $((seconds + 60)) wrk -t "$threads" -c "$n" -d "${seconds}s" --timeout "${seconds}s" \
    --latency -s "$here/http_load_result.lua" "${header[@]}" "${target%/}$path" 2>&1 |
    grep '^RESULT' || true)
  if [[ -z $line ]]; then
    rps="-" p50="-" p99="-" errors="wrk failed"
    status=1
    return
  fi
  local -A r=()
  local kv
  for kv in ${line#RESULT }; do r[${kv%%=*}]=${kv#*=}; done
  rps=$(awk -v q="${r[requests]}" -v d="${r[duration_us]}" 'BEGIN { printf "%.0f", q / (d / 1e6) }')
  if ((r[requests] > 0)); then
    p50=$(awk -v v="${r[p50_us]}" 'BEGIN { printf "%.1f", v / 1000 }')
    p99=$(awk -v v="${r[p99_us]}" 'BEGIN { printf "%.1f", v / 1000 }')
  else
    p50="-" p99="-"
  fi
  local socket_errors=$((r[connect] + r[read] + r[write]))
  errors=""
  ((r[requests] == 0)) && errors+="none answered "
  ((r[timeout] > 0)) && errors+="${r[timeout]} timeouts "
  ((socket_errors > 0)) && errors+="${socket_errors} socket "
  ((r[status] > 0)) && errors+="${r[status]} non-2xx "
  errors=${errors% }
  [[ -n $errors ]] || errors=0
}

machine_state() {
  local cpu
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  echo "$(nproc) cores ($cpu), load average $(cut -d' ' -f1-3 /proc/loadavg)"
}

declare -A cell_rps cell_p50 cell_p99 cell_err cell_held static_rps static_p99 static_ratio
points=()
for path in $paths; do
  for mode in $modes; do
    for n in $clients; do points+=("$path|$mode|$n"); done
  done
done

echo "http_load: ${#points[@]} points x $repeat repetitions x ${seconds} s; $(machine_state)" >&2
status=0
totals=()
states=()
for ((run = 1; run <= repeat; run++)); do
  start_tool
  ((static == 0)) || start_static
  states+=("run $run start: $(machine_state)")
  for point in "${points[@]}"; do
    IFS='|' read -r path mode n <<<"$point"
    held="" held_end="" reopened=""
    [[ $mode == idle ]] && start_holder
    measure "$path" "$n" "$mode"
    if [[ $mode == idle ]]; then
      stop_holder
      cell_held[$point]+="${cell_held[$point]:+ / }$held→$held_end (${reopened} closed)"
    fi
    cell_rps[$point]+="${cell_rps[$point]:+ / }$rps"
    cell_p50[$point]+="${cell_p50[$point]:+ / }$p50"
    cell_p99[$point]+="${cell_p99[$point]:+ / }$p99"
    cell_err[$point]+="${cell_err[$point]:+ / }$errors"
    echo "http_load: run $run $path $mode c$n: $rps req/s, p50 $p50 ms, p99 $p99 ms, errors $errors${held:+, idle held $held→$held_end}" >&2
    if ((static == 1)) && [[ $mode == keepalive ]]; then
      local_rps=$rps
      measure "$path" "$n" "$mode" "$static_url"
      static_rps[$point]+="${static_rps[$point]:+ / }$rps"
      static_p99[$point]+="${static_p99[$point]:+ / }$p99"
      ratio=$(awk -v a="$local_rps" -v b="$rps" 'BEGIN { if (b + 0 > 0 && a + 0 == a) printf "%.2f", a / b; else printf "-" }')
      static_ratio[$point]+="${static_ratio[$point]:+ / }$ratio"
      echo "http_load: run $run $path static c$n: $rps req/s, p99 $p99 ms, errors $errors; ours/static $ratio" >&2
    fi
  done
  ((static == 0)) || stop_static
  states+=("run $run end: $(machine_state)")
  if stop_tool_and_check; then
    totals+=("run $run: $totals_line")
  else
    totals+=("run $run: totals DO NOT AGREE")
    status=1
  fi
done

mode_name() {
  case $1 in
    keepalive) echo "keep-alive" ;;
    idle) echo "keep-alive, $idle idle open" ;;
    close) echo "new connection per request" ;;
  esac
}

{
  echo "| Path | Clients | Connections | Requests/s | p50 ms | p99 ms | Errors |"
  echo "|---|---|---|---|---|---|---|"
  for point in "${points[@]}"; do
    IFS='|' read -r path mode n <<<"$point"
    echo "| \`$path\` | $n | $(mode_name "$mode") | ${cell_rps[$point]} | ${cell_p50[$point]} | ${cell_p99[$point]} | ${cell_err[$point]} |"
  done
  echo
  echo "Each cell: one figure per repetition (${repeat} x ${seconds} s per point, wrk -t$threads," \
    "events at $rate/s throughout). Errors: \"none answered\", wrk's" \
    "timeouts (waits past ${seconds} s), socket errors, non-2xx answers."
  if [[ " $modes " == *" idle "* ]]; then
    echo
    echo "Idle connections held (at start → at end of each point, and how many the server closed):"
    for point in "${points[@]}"; do
      [[ $point == *"|idle|"* ]] || continue
      IFS='|' read -r path mode n <<<"$point"
      echo "- \`$path\` c$n: ${cell_held[$point]}"
    done
  fi
  if ((static == 1)); then
    echo
    echo "Against nginx (one worker) serving a byte copy of each answer, keep-alive, same run and wrk settings:"
    echo
    echo "| Path | Clients | Ours: requests/s | Ours: p99 ms | Static: requests/s | Static: p99 ms | Ours / static |"
    echo "|---|---|---|---|---|---|---|"
    for point in "${points[@]}"; do
      IFS='|' read -r path mode n <<<"$point"
      [[ $mode == keepalive ]] || continue
      echo "| \`$path\` | $n | ${cell_rps[$point]} | ${cell_p99[$point]} | ${static_rps[$point]} | ${static_p99[$point]} | ${static_ratio[$point]} |"
    done
  fi
  echo
  echo "Event totals after the load:"
  printf -- '- %s\n' "${totals[@]}"
  echo
  echo "Machine:"
  printf -- '- %s\n' "${states[@]}"
} | tee ${out:+"$out"}

exit $status
