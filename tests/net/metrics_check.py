#!/usr/bin/env python3
"""Reads /metrics and /api/v1/properties of a paused server and checks them.

The metrics must parse with the Prometheus client's own parser, name every
property of the location, label every sample with the location, and each
histogram's buckets must be cumulative and equal the sums of the property's
1 ms bins below each bound.

Usage: metrics_check.py URL   (exit 0: sound; 1: a check failed)
"""

import json
import math
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

SUFFIX_FAMILY = {
    ".STAT.ON": "daqevstat_stat_on",
    ".STAT.EV.TOTAL": "daqevstat_events",  # the parser drops a counter's _total
    ".STAT.EV.LOST": "daqevstat_lost_events",
    ".STAT.EV.LOST.PERIOD": "daqevstat_lost_period_seconds",
    ".STAT.EV.INFO": "daqevstat_current_event_number",
    ".STAT.EV.DIFF": "daqevstat_event_number_difference",
    ".STAT.EV.LOST.PERC": "daqevstat_lost_events_ratio",
    ".STAT.EV.LOST.PRD.PERC": "daqevstat_lost_events_period_ratio",
    ".STAT.EV.LATENCY.TD": "daqevstat_event_latency_seconds",
    ".STAT.EV.PERIOD.TD": "daqevstat_event_period_seconds",
    ".STAT.EV.PERIODL.TD": "daqevstat_event_local_period_seconds",
}


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as reply:
        return reply.headers.get("Content-Type"), reply.read().decode("utf-8")


def split_name(name):
    best = max((s for s in SUFFIX_FAMILY if name.endswith(s)), key=len)
    return name[: -len(best)], best


def main():
    url = sys.argv[1].rstrip("/")
    content_type, text = fetch(url + "/metrics")
    assert content_type.startswith("text/plain; version=0.0.4"), content_type
    families = {f.name: f for f in text_string_to_metric_families(text)}
    for family in families.values():
        for sample in family.samples:
            assert sample.labels.get("location"), f"no location label: {sample}"
    properties = json.loads(fetch(url + "/api/v1/properties")[1])["properties"]
    assert properties, "no properties"
    checked_histograms = 0
    for name, value in properties.items():
        base, suffix = split_name(name)
        family = families.get(SUFFIX_FAMILY[suffix])
        assert family is not None, f"no family for {name}"
        samples = [s for s in family.samples if s.labels.get("base") == base]
        assert samples, f"no sample for {name}"
        if suffix == ".STAT.EV.TOTAL":
            # The property holds the low 32 bits of the counter's value.
            assert family.type == "counter", family.type
            assert samples[0].value >= 0, (name, samples[0].value)
            assert samples[0].value % 2**32 == value % 2**32, (name, samples[0].value, value)
        elif suffix in (".STAT.ON", ".STAT.EV.LOST", ".STAT.EV.LOST.PERIOD"):
            assert family.type == "gauge"
            assert samples[0].value == value, (name, samples[0].value, value)
        elif suffix == ".STAT.EV.INFO":
            assert samples[0].value == value["i1_data"] % 2**32, (name, samples, value)
            info = [s for s in families["daqevstat_current_event_info"].samples
                    if s.labels.get("base") == base]
            assert info and info[0].labels["type"] == value["str_data"], info
            ordinal = [s for s in families["daqevstat_current_event_ordinal"].samples
                       if s.labels.get("base") == base]
            assert ordinal and ordinal[0].value == value["f1_data"], (ordinal, value)
        elif suffix.endswith(".TD"):
            assert family.type == "histogram", family.type
            bins = {int(k): v for k, v in value["bins"].items()}
            total = sum(bins.values())
            buckets = [s for s in samples if s.name.endswith("_bucket")]
            bounds = [float(s.labels["le"]) for s in buckets]
            assert bounds == sorted(bounds) and math.isinf(bounds[-1]), bounds
            assert len(bounds) == 62, bounds
            previous = 0
            for sample, le in zip(buckets, bounds):
                assert sample.value >= previous, f"{name}: buckets not cumulative"
                previous = sample.value
                if math.isinf(le):
                    expected = total
                else:
                    # bin i holds [i, i+1) ms (bin 0 also everything below)
                    expected = sum(v for i, v in bins.items() if i + 1 <= round(le * 1000))
                assert sample.value == expected, (name, le, sample.value, expected)
            count = [s for s in samples if s.name.endswith("_count")][0].value
            assert count == total, (name, count, total)
            expected_sum = sum(v * (i + 0.5) for i, v in bins.items()) / 1000.0
            got_sum = [s for s in samples if s.name.endswith("_sum")][0].value
            assert math.isclose(got_sum, expected_sum, rel_tol=1e-9, abs_tol=1e-9), (
                name, got_sum, expected_sum)
            checked_histograms += 1
        else:
            expected = value if value is not None else float("nan")
            if suffix.endswith(".PERC"):
                expected = expected / 100.0
            got = samples[0].value
            assert (math.isnan(got) and math.isnan(expected)) or math.isclose(
                got, expected, rel_tol=1e-6), (name, got, expected)
    assert checked_histograms > 0, "no histogram checked"
    print(f"metrics sound: {len(properties)} properties, {checked_histograms} histograms")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as failure:
        print(f"metrics check failed: {failure}", file=sys.stderr)
        sys.exit(1)
