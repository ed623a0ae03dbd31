#!/usr/bin/env python3
"""Native histograms read by a real Prometheus, against the classic buckets.

One Prometheus with native histograms on (scrape and rule evaluation every
second, the project's recording rules with their windows shortened) scrapes
five targets:
  native, classic   the precision table's distributions (written by
                    exposition_sample, counts growing with each scrape) in
                    the protobuf exposition and in the text;
  sim-native        a simulated server, directly: it answers the protobuf;
  sim-classic       the same server through a proxy that asks for the text,
                    so that the hall has half its servers on each kind.
It shows that the native targets are stored as native histograms only and
the classic ones as buckets only; prints the precision table (exact
nearest-rank percentile, classic and native histogram_quantile, worst error
of each) and requires the native one within max(3 %, 1 ms); requires the
recorded p50/p90/p99 of every target to be the quantile of its own kind;
and prints the series per stream of both kinds from the TSDB status.

Exits 77 (skipped) without prometheus.

Usage: native_test.py --tool PATH --sample PATH --rules DIR
"""

import argparse
import http.server
import json
import os
import subprocess
import sys
import threading
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet_test import start_server  # noqa: E402
from prometheus_support import (Failure, Prometheus, expect, global_config, log,  # noqa: E402
                                rules_copy, run_with_prometheus, write_config)

DEADLINE_S = 60
VERSIONS = 120
PROTOBUF = ("application/vnd.google.protobuf; proto=io.prometheus.client.MetricFamily; "
            "encoding=delimited")
QUANTILES = (0.5, 0.9, 0.99)


class Targets(http.server.ThreadingHTTPServer):
    """/native and /classic: the sample's scrapes, the next version at each
    request; /proxy: the simulated server's /metrics asked for as text."""

    daemon_threads = True

    def __init__(self, folder, upstream):
        super().__init__(("127.0.0.1", 0), Handler)
        self.folder = folder
        self.upstream = upstream
        self.served = {"native": 0, "classic": 0}
        self.lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        kind = self.path.strip("/")
        if kind == "proxy":
            request = urllib.request.Request(f"http://{self.server.upstream}/metrics",
                                             headers={"Accept": "text/plain"})
            with urllib.request.urlopen(request, timeout=2) as reply:
                body, kind_type = reply.read(), reply.headers["Content-Type"]
        elif kind in self.server.served:
            with self.server.lock:
                self.server.served[kind] = min(self.server.served[kind] + 1, VERSIONS)
                version = self.server.served[kind]
            name = f"native-{version}.pb" if kind == "native" else f"classic-{version}.txt"
            with open(os.path.join(self.server.folder, name), "rb") as f:
                body = f.read()
            kind_type = PROTOBUF if kind == "native" else "text/plain; version=0.0.4; charset=utf-8"
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", kind_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def native_config(folder, rules_dir, targets, sim):
    here = f"127.0.0.1:{targets.server_address[1]}"
    jobs = [("native", here, "/native"), ("classic", here, "/classic"),
            ("sim-native", sim, "/metrics"), ("sim-classic", here, "/proxy")]
    config = {
        "global": global_config(),
        "rule_files": [rules_copy(folder, rules_dir, "daqevstat-recording.rules.yml")],
        "scrape_configs": [{"job_name": job, "metrics_path": metrics_path,
                            "static_configs": [{"targets": [target]}]}
                           for job, target, metrics_path in jobs],
    }
    return write_config(os.path.join(folder, "prometheus.yml"), config)


def value(prom, expr):
    result = prom.query(expr)
    if len(result) != 1:
        raise Failure(f"{expr}: {len(result)} results ({result})")
    return float(result[0]["value"][1])


def series_names(prom, job):
    return {r["metric"]["__name__"] for r in prom.query(f'count by (__name__) ({{job="{job}"}})')}


def check_kinds(prom):
    native = series_names(prom, "native")
    classic = series_names(prom, "classic")
    expect("daqevstat_event_latency_seconds" in native and
           not any(n.endswith("_bucket") for n in native),
           "the protobuf target is stored as native histograms, without buckets")
    expect("daqevstat_event_latency_seconds_bucket" in classic and
           "daqevstat_event_latency_seconds" not in classic,
           "the text target is stored as classic buckets")


def precision_table(prom, exact):
    rows = []
    worst = {"classic": 0.0, "native": 0.0}
    for key, entry in exact.items():
        for q in QUANTILES:
            e = entry[str(q)]
            native = value(prom, f'histogram_quantile({q}, '
                                 f'daqevstat_event_latency_seconds{{job="native",base="{key}"}})')
            classic = value(prom, f'histogram_quantile({q}, daqevstat_event_latency_seconds_bucket'
                                  f'{{job="classic",base="{key}"}})')
            errors = {}
            for kind, got in (("classic", classic), ("native", native)):
                # In units of max(3 %, 1 ms): 1.0 is the bound asked of native.
                errors[kind] = abs(got - e) / max(0.03 * e, 0.001)
                worst[kind] = max(worst[kind], errors[kind])
            rows.append((entry["what"], q, e, classic, errors["classic"], native, errors["native"]))
    log("| distribution | q | exact (ms) | classic (ms) | error | native (ms) | error |")
    log("|---|---|---|---|---|---|---|")
    for what, q, e, classic, ec, native, en in rows:
        log(f"| {what} | {q} | {1000 * e:.3f} | {1000 * classic:.3f} | {ec:.2f} | "
            f"{1000 * native:.3f} | {en:.2f} |")
    log(f"worst error in units of max(3 %, 1 ms): classic {worst['classic']:.2f}, "
        f"native {worst['native']:.2f}")
    expect(worst["native"] <= 1.0, "every native quantile within max(3 %, 1 ms) of the exact one")


def check_recorded(prom):
    for job in ("native", "classic", "sim-native", "sim-classic"):
        source = ('daqevstat_event_latency_seconds' if "native" in job else
                  'daqevstat_event_latency_seconds_bucket')
        for q, name in zip(QUANTILES, ("p50_5m", "p90_5m", "p99_5m")):
            recorded = {r["metric"]["base"]: float(r["value"][1]) for r in prom.query(
                f'daqevstat:event_latency_seconds:{name}{{job="{job}"}}')}
            own = {r["metric"]["base"]: float(r["value"][1]) for r in prom.query(
                f'histogram_quantile({q}, rate({source}{{job="{job}"}}[10s]))')}
            if not recorded or set(recorded) != set(own):
                raise Failure(f"{job}: recorded {name} {recorded}, its own kind gives {own}")
            for base, got in recorded.items():
                # The rule ran up to a second before the query.
                if abs(got - own[base]) > max(0.05 * own[base], 0.002):
                    raise Failure(f"{job} {base}: recorded {name} {got}, own kind {own[base]}")
        log(f"ok: {job}: recorded p50/p90/p99 come from its "
            f"{'native histogram' if 'native' in job else 'classic buckets'}")


def series_per_stream(prom):
    status = prom.api("status/tsdb")
    for job in ("sim-native", "sim-classic"):
        scraped = value(prom, f'count({{job="{job}",base="EVSTAT",__name__=~"daqevstat_[a-z_]+"}})')
        recorded = value(prom, f'count({{job="{job}",base="EVSTAT",__name__=~"daqevstat:.+"}})')
        log(f"figures: {job}: {scraped:.0f} scraped and {recorded:.0f} recorded series for its "
            f"one stream (TSDB head: {status['headStats']['numSeries']} series in all)")
    return status


def run(args, folder, deadline, processes):
    samples = os.path.join(folder, "samples")
    os.mkdir(samples)
    subprocess.run([args.sample, samples, str(VERSIONS)], check=True, timeout=60)
    with open(os.path.join(samples, "exact.json")) as f:
        exact = json.load(f)
    sim = start_server(args.tool, "lossy", deadline)
    processes.append(sim)
    targets = Targets(samples, sim.address)
    threading.Thread(target=targets.serve_forever, daemon=True).start()
    try:
        config = native_config(folder, args.rules, targets, sim.address)
        prom = Prometheus(config, folder, deadline, ["--enable-feature=native-histograms"])
        processes.append(prom.process)
        deadline.wait("every target scraped five times", lambda: all(
            r["value"][1] == "1" for r in prom.query('up')) and
            len(prom.query('count_over_time(up[1m]) >= 5')) == 4, 30)
        deadline.wait("the recorded quantiles of every target", lambda: len(prom.query(
            'daqevstat:event_latency_seconds:p99_5m')) == 2 * len(exact) + 2, 20)
        check_kinds(prom)
        precision_table(prom, exact)
        check_recorded(prom)
        series_per_stream(prom)
    finally:
        targets.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--sample", required=True, help="the exposition_sample program")
    parser.add_argument("--rules", required=True, help="the folder of the rule files")
    args = parser.parse_args()
    return run_with_prometheus(args, run, DEADLINE_S, "daqevstat-native-",
                               "native histograms with Prometheus", (subprocess.SubprocessError,))

if __name__ == "__main__":
    sys.exit(main())
