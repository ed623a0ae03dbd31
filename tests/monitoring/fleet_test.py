#!/usr/bin/env python3
"""A fleet of simulated servers scraped by a real Prometheus with our rules.

Starts three servers on loopback, each with its own fault mix:
  clean   a few reordered and repeated events, no loss;
  lossy   2 % of events lost;
  paused  `daqevstat shell`, whose source is paused half-way through; a
          perfect stream, since a reordered event held back at the pause
          would stay a gap and count as lost.
Then one Prometheus on a free port with a temporary storage folder, scraping
them every second, with a copy of the rules whose windows and `for:` durations
are shortened so that the run ends within about a minute. It shows that every
target is up, that DaqEventsLost fires for the lossy server and the stall
alert for the paused one and for no other, that no other alert fires at all,
and that the recorded latency quantiles agree with each server's own
percentiles within the bucket error.

Every process is started and stopped by its process id; every wait is
bounded. Exits 77 (skipped) without prometheus.

Usage: fleet_test.py --tool PATH --rules DIR
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from prometheus_support import (Failure, Process, Prometheus, expect, firing,  # noqa: E402
                                global_config, log, rules_copy, run_with_prometheus,
                                write_config)

DEADLINE_S = 90
RATE_HZ = 1000
# Quantile agreement: the exposition's bucket error, max(10 %, 1 ms), plus
# one 1 ms bin (a nearest-rank percentile names a bin, not a point) and
# the difference between the last 10 s and the whole run.
QUANTILE_RELATIVE = 0.10
QUANTILE_ABSOLUTE_MS = 1.0
QUANTILE_SLACK_MS = 1.5

SERVERS = {
    "clean": ["simulate", "--ideal", "--reorder", "0.001", "--dup", "0.001", "--latency-ms", "10",
              "--jitter-ms", "3", "--seed", "11"],
    "lossy": ["simulate", "--loss", "0.02", "--latency-ms", "20", "--jitter-ms", "6",
              "--seed", "12"],
    "paused": ["shell", "--ideal", "--latency-ms", "40", "--jitter-ms", "10", "--seed", "13"],
}


def start_server(tool, name, deadline, options=None):
    """Starts SERVERS[name], or `options` (the tool's arguments) under that name."""
    args = [tool] + (options or SERVERS[name]) + ["--rate", str(RATE_HZ), "--listen", "127.0.0.1:0"]
    if args[1] == "simulate":
        args += ["--duration", "0"]
    server = Process(name, args, stdin=subprocess.PIPE if args[1] == "shell" else subprocess.DEVNULL)
    pattern = re.compile(r"listening on http://(127\.0\.0\.1:\d+)/")

    def address():
        if server.proc.poll() is not None:
            raise Failure(f"{name} ended at start: {server.lines[-10:]}")
        for line in list(server.lines):
            match = pattern.search(line)
            if match:
                return match.group(1)
        return None

    server.address = deadline.wait(f"{name} to say where it listens", address, 15, 0.05)
    return server


def fleet_config(folder, rules_dir, servers):
    config = {
        "global": global_config(),
        "rule_files": [rules_copy(folder, rules_dir, name) for name in
                       ("daqevstat-recording.rules.yml", "daqevstat-alerts.rules.yml")],
        "scrape_configs": [{
            "job_name": "daqevstat",
            "static_configs": [{"targets": [s.address for s in servers.values()]}],
        }],
    }
    return write_config(os.path.join(folder, "prometheus.yml"), config)


def get_json(address, path):
    with urllib.request.urlopen(f"http://{address}{path}", timeout=5) as reply:
        return json.load(reply)


def nearest_rank_ms(bins, q):
    """The 1 ms bin that holds the q-quantile by nearest rank."""
    counts = sorted((int(k), v) for k, v in bins.items())
    total = sum(v for _, v in counts)
    rank = max(1, -(-q * total // 1))
    seen = 0
    for index, count in counts:
        seen += count
        if seen >= rank:
            return index
    return counts[-1][0]


def check_targets_up(prom, servers, deadline):
    def all_up():
        result = prom.query('up{job="daqevstat"}')
        return len(result) == len(servers) and all(r["value"][1] == "1" for r in result)
    deadline.wait("every target to be up", all_up, 15)
    expect(True, f"all {len(servers)} targets are up")


def check_quantiles(prom, servers):
    for name, server in servers.items():
        bins = get_json(server.address, "/api/v1/properties/EVSTAT.STAT.EV.LATENCY.TD")["value"]["bins"]
        for q, series in ((0.5, "p50_5m"), (0.9, "p90_5m"), (0.99, "p99_5m")):
            result = prom.query(f'daqevstat:event_latency_seconds:{series}'
                                f'{{instance="{server.address}",base="EVSTAT"}}')
            if len(result) != 1:
                raise Failure(f"{name}: no recorded {series} ({result})")
            recorded_ms = 1000 * float(result[0]["value"][1])
            own_ms = nearest_rank_ms(bins, q)
            bound = max(QUANTILE_RELATIVE * own_ms, QUANTILE_ABSOLUTE_MS) + QUANTILE_SLACK_MS
            expect(abs(recorded_ms - own_ms) <= bound,
                   f"{name}: recorded latency {series} {recorded_ms:.1f} ms, the server's own "
                   f"{own_ms} ms (bound {bound:.1f} ms)")


def alerts_seen(prom):
    """Every (alert, instance) that was pending or firing during the run."""
    result = prom.query("max_over_time(ALERTS[10m])")
    return sorted({(r["metric"]["alertname"], r["metric"].get("instance", "")) for r in result})


def run(args, folder, deadline, processes):
    servers = {}
    for name in SERVERS:
        servers[name] = start_server(args.tool, name, deadline)
        processes.append(servers[name])
    log("servers: " + ", ".join(f"{n} {s.address}" for n, s in servers.items()))
    config = fleet_config(folder, args.rules, servers)
    started = time.monotonic()
    prom = Prometheus(config, folder, deadline)
    processes.append(prom.process)
    log(f"prometheus: {prom.url}")

    check_targets_up(prom, servers, deadline)

    lossy = servers["lossy"].address
    fired = deadline.wait("DaqEventsLost to fire", lambda: firing(prom, "DaqEventsLost"), 40)
    loss_after = time.monotonic() - started
    expect(fired == {lossy}, f"DaqEventsLost fired for the lossy server ({lossy}) only, "
                             f"{loss_after:.1f} s after Prometheus started")

    check_quantiles(prom, servers)

    paused = servers["paused"]
    paused.proc.stdin.write(b"pause\n")
    paused.proc.stdin.flush()
    paused_at = time.monotonic()
    fired = deadline.wait("DaqEventsStalled to fire", lambda: firing(prom, "DaqEventsStalled"), 30)
    expect(fired == {paused.address},
           f"DaqEventsStalled fired for the paused server ({paused.address}) only, "
           f"{time.monotonic() - paused_at:.1f} s after the pause")

    seen = alerts_seen(prom)
    wanted = sorted({("DaqEventsLost", lossy), ("DaqEventsStalled", paused.address)})
    expect(seen == wanted, f"no other alert was pending or firing during the run ({seen})")
    log(f"figures: DaqEventsLost fired {loss_after:.1f} s after Prometheus started "
        f"(scrape and evaluation every 1 s, window 10 s, for 5 s); no other server's alert fired")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--rules", required=True, help="the folder of the rule files")
    args = parser.parse_args()
    return run_with_prometheus(args, run, DEADLINE_S, "daqevstat-fleet-", "fleet with Prometheus")

if __name__ == "__main__":
    sys.exit(main())
