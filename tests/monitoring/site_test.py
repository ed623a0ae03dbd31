#!/usr/bin/env python3
"""A site of two halls, run for real: hall Prometheus servers, federation of
the recorded series to a site Prometheus, remote_write to a receiver.

Hall a scrapes a clean and a lossy simulated server, hall b one clean server;
both with native histograms on, the project's recording rules loaded (windows
and `for:` durations shortened as in fleet_test.py) and their hall as an
external label. The site Prometheus federates from both halls only the
per-stream recorded series and evaluates the alerts. Hall a also sends its
recorded series over remote_write, through the relabel rule of
docs/monitoring.md, to a Prometheus that receives them.

It shows that DaqEventsLost fires at the site for the lossy server only, with
its hall's label; that the recorded p99 at the site is the hall's; that the
site holds the recorded series of both halls and not one raw series (counted
from its TSDB status); that the receiver holds hall a's recorded series only;
and prints the time to the site alert and the series at hall and site.

Exits 77 (skipped) without prometheus.

Usage: site_test.py --tool PATH --rules DIR
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fleet_test import SERVERS, start_server  # noqa: E402
from prometheus_support import (Failure, Prometheus, expect, firing, global_config,  # noqa: E402
                                log, rules_copy, run_with_prometheus, write_config)

DEADLINE_S = 75
NATIVE = ["--enable-feature=native-histograms"]
HALLS = {
    "a": {"clean": SERVERS["clean"], "lossy": SERVERS["lossy"]},
    "b": {"clean": ["simulate", "--ideal", "--latency-ms", "15", "--jitter-ms", "4",
                    "--seed", "21"]},
}
# Federated: the per-stream recorded series; the thresholds are the site's own.
FEDERATE_MATCH = '{__name__=~"daqevstat:.*",__name__!~"daqevstat:threshold:.*"}'
# docs/monitoring.md: what a hall forwards to long-term storage.
REMOTE_WRITE_KEEP = "daqevstat:.*"


def start_prometheus(folder, name, config, deadline, processes, extra=()):
    sub = os.path.join(folder, name)
    os.mkdir(sub)
    prom = Prometheus(write_config(os.path.join(sub, "prometheus.yml"), config), sub, deadline,
                      list(extra), name=name)
    processes.append(prom.process)
    return prom


def names(prom):
    return {r["metric"]["__name__"] for r in prom.query('count by (__name__) ({__name__=~".+"})')}


def recorded_count(prom):
    return len(prom.query('{__name__=~"daqevstat:.*",__name__!~"daqevstat:threshold:.*"}'))


def run(args, folder, deadline, processes):
    recording = rules_copy(folder, args.rules, "daqevstat-recording.rules.yml")
    alerts = rules_copy(folder, args.rules, "daqevstat-alerts.rules.yml")
    receiver = start_prometheus(folder, "receiver", {"global": global_config()}, deadline,
                                processes, ["--web.enable-remote-write-receiver"])
    servers = {}
    halls = {}
    for hall, members in HALLS.items():
        for name, options in members.items():
            server = start_server(args.tool, f"{hall}-{name}", deadline, options)
            processes.append(server)
            servers[(hall, name)] = server
        config = {
            "global": global_config(external_labels={"hall": hall}),
            "rule_files": [recording],
            "scrape_configs": [{"job_name": "daqevstat", "static_configs": [{"targets": [
                servers[(hall, name)].address for name in members]}]}],
        }
        if hall == "a":
            config["remote_write"] = [{
                "url": f"{receiver.url}/api/v1/write",
                "write_relabel_configs": [{"source_labels": ["__name__"],
                                           "regex": REMOTE_WRITE_KEEP, "action": "keep"}],
                "queue_config": {"batch_send_deadline": "1s"},
            }]
        halls[hall] = start_prometheus(folder, f"hall-{hall}", config, deadline, processes, NATIVE)
    started = time.monotonic()
    site = start_prometheus(folder, "site", {
        "global": global_config(),
        "rule_files": [alerts],
        "scrape_configs": [{
            "job_name": "federate-halls", "honor_labels": True, "metrics_path": "/federate",
            "params": {"match[]": [FEDERATE_MATCH]},
            "static_configs": [{"targets": [p.url[len("http://"):] for p in halls.values()]}],
        }],
    }, deadline, processes)
    log("halls: " + ", ".join(f"{h} {p.url}" for h, p in halls.items()) + f"; site {site.url}; "
        f"receiver {receiver.url}")

    lossy = servers[("a", "lossy")].address
    deadline.wait("DaqEventsLost to fire at the site",
                  lambda: firing(site, "DaqEventsLost"), 45)
    alert_after = time.monotonic() - started
    fired = [a["labels"] for a in site.alerts()
             if a["labels"]["alertname"] == "DaqEventsLost" and a["state"] == "firing"]
    expect([(f["instance"], f.get("hall")) for f in fired] == [(lossy, "a")],
           f"DaqEventsLost fires at the site for the lossy server only, hall a, "
           f"{alert_after:.1f} s after the site started")

    # The site's p99 is the hall's: the same sample, federated.
    for (hall, name), server in servers.items():
        selector = f'daqevstat:event_latency_seconds:p99_5m{{instance="{server.address}"}}'
        at_hall = halls[hall].query(f"{selector}[1m]")[0]["values"]
        at_site = site.query(f"{selector}[1m]")
        if len(at_site) != 1 or at_site[0]["metric"].get("hall") != hall:
            raise Failure(f"{hall}/{name}: at the site {at_site}")
        hall_samples = {t: v for t, v in at_hall}
        shared = [(t, v) for t, v in at_site[0]["values"] if t in hall_samples]
        expect(shared and all(hall_samples[t] == v for t, v in shared),
               f"{hall}/{name}: the site's recorded p99 is the hall's "
               f"({len(shared)} samples alike, last {1000 * float(shared[-1][1]):.1f} ms)")

    # Series: the site holds every hall's recorded series and nothing raw.
    expected = sum(recorded_count(p) for p in halls.values())

    def site_complete():
        return recorded_count(site) == expected

    deadline.wait("the site to hold every recorded series", site_complete, 10)
    status = site.api("status/tsdb")
    raw = sorted(n for n in names(site) if n.startswith("daqevstat_"))
    expect(not raw, f"the site holds no raw series ({raw[:3]})")

    def ever(selector):  # every series of the head, stale ones included
        return len(site.query(f"last_over_time({selector}[5m])"))

    per_target = 5 * len(halls)  # up, scrape_duration_seconds, ...
    alerts = ever('{__name__=~"ALERTS|ALERTS_FOR_STATE"}')
    thresholds = ever('{__name__=~"daqevstat:threshold:.*"}')  # the site's own
    expect(status["headStats"]["numSeries"] == expected + per_target + alerts + thresholds,
           f"the site's TSDB holds {status['headStats']['numSeries']} series: {expected} recorded "
           f"in the halls, {per_target} of its federation targets, {alerts} of its alerts, "
           f"{thresholds} thresholds")
    hall_series = {h: p.api("status/tsdb")["headStats"]["numSeries"] for h, p in halls.items()}
    streams = len(servers)
    log(f"figures: site alert after {alert_after:.1f} s; hall series {hall_series} for "
        f"{streams} streams; site {status['headStats']['numSeries']} series, {expected} of them "
        f"recorded ({expected / streams:.0f} per stream)")

    wanted = recorded_count(halls["a"])
    deadline.wait("the receiver to hold hall a's recorded series",
                  lambda: recorded_count(receiver) >= wanted, 15)
    others = sorted(n for n in names(receiver) if not n.startswith("daqevstat:"))
    expect(not others and recorded_count(receiver) == wanted,
           f"the remote_write receiver holds hall a's {wanted} recorded series only ({others[:3]})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--rules", required=True, help="the folder of the rule files")
    args = parser.parse_args()
    return run_with_prometheus(args, run, DEADLINE_S, "daqevstat-site-",
                               "site with two halls", (KeyError, IndexError))

if __name__ == "__main__":
    sys.exit(main())
