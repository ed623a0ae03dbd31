#!/usr/bin/env python3
"""Prints the event-path benchmarks as a Markdown table with the goal ratios.

Usage: bench_report.py RESULT.json [BASELINE.json]
RESULT.json comes from
  update_benchmark --benchmark_repetitions=5 --benchmark_format=json
(or --benchmark_out=FILE --benchmark_out_format=json). Medians are shown;
with a baseline, its medians are shown beside them. Times are CPU time of
the counting thread, except for benchmarks that run in real time.
"""
import json
import sys

# (benchmark, base, goal); the reader case runs two threads and is measured
# in real time, so it is set against the real time of the plain case; the
# paced reader's case is the event thread's CPU time, like the plain case.
RATIOS = [
    ("BM_CountedEvent", "BM_Floor", 1.5),
    ("BM_CountedEventHeader", "BM_Floor", 1.5),
    ("BM_CountedEventBlock", "BM_Floor", 1.5),
    ("BM_CountedEventWithPacedReader", "BM_CountedEvent", 1.05),
    ("BM_DuplicateEvent", "BM_LockUnlock", 2.0),
    ("BM_StatisticsOff", "BM_LockUnlock", 2.0),
    ("BM_CountedEventWithReader/real_time", "BM_CountedEvent", 1.3),
    ("BM_CountedEventWithReader/real_time", "BM_CountedEventWithBusyThread/real_time", 1.3),
    ("BM_Objects/1000", "BM_Objects/1", 1.5),
]


def medians(path):
    with open(path) as f:
        data = json.load(f)
    result = {}
    for bench in data["benchmarks"]:
        if bench.get("aggregate_name", "median") != "median":
            continue
        counters = {k: v for k, v in bench.items() if k.startswith("bytes")}
        result[bench["run_name"]] = (bench["cpu_time"], counters, bench["real_time"])
    return result


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    now = medians(argv[1])
    before = medians(argv[2]) if len(argv) == 3 else {}
    header = "| benchmark | " + ("before (ns) | " if before else "") + "now (ns) |"
    print(header)
    print("|---|" + ("---|" if before else "") + "---|")
    for name, (cpu, counters, real) in now.items():
        if counters:
            continue
        pick = 2 if name.endswith("real_time") else 0
        row = f"| {name} | "
        if before:
            row += f"{before[name][pick]:.1f} | " if name in before else "- | "
        print(row + f"{now[name][pick]:.1f} |")
    print()
    print("| ratio | now | goal |")
    print("|---|---|---|")
    for name, base, goal in RATIOS:
        if name in now and base in now:
            pick = 2 if name.endswith("real_time") else 0
            ratio = now[name][pick] / now[base][pick]
            mark = "met" if ratio <= goal else "not met"
            print(f"| {name} / {base} | {ratio:.2f} | <= {goal} ({mark}) |")
    for name, (_, counters, _) in now.items():
        for key, value in counters.items():
            print(f"\n{name}: {key} = {value:.0f}")


if __name__ == "__main__":
    main(sys.argv)
