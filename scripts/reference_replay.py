#!/usr/bin/env python3
"""A second, independent model of the event statistics, for cross-checking.

It counts a CSV stream with arrival columns the way the library does and
compares the result with `daqevstat replay --json` property by property.

  reference_replay.py TOOL [--period SEC] FILE   compare one stream
  reference_replay.py TOOL --random N [--seed S] compare N generated streams

Exit status 0 when every value agrees, 1 otherwise.
"""

import argparse
import json
import random
import struct
import subprocess
import sys
import tempfile

SPECTRUM_LENGTH = 8192
BASE = "EVSTAT"


def f32(x):
    """Rounds a double to the nearest single-precision float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def i32(x):
    """Reads the low 32 bits of an integer as two's complement."""
    x &= 0xFFFFFFFF
    return x - (1 << 32) if x & 0x80000000 else x


def bin_of(ms):
    if ms < 1.0:
        return 0
    if ms >= SPECTRUM_LENGTH:
        return SPECTRUM_LENGTH - 1
    return int(ms)


class Model:
    def __init__(self, period):
        self.period = period
        self.total = 0
        self.lost = 0
        self.first = 0
        self.prev = None  # (number, timeup, timelow)
        self.cur_number = 0
        self.period_start = 0
        self.lost_period = 0
        self.events_period = 0
        self.ring = [0] * 32
        self.last_arrival = None
        self.diff = 0.0
        self.perc_total = 0.0
        self.perc_period = 0.0
        self.info = None
        self.spectra = {"LATENCY": {}, "PERIOD": {}, "PERIODL": {}}
        self.negative_lines = []

    def fill(self, name, ms):
        b = bin_of(ms)
        self.spectra[name][b] = self.spectra[name].get(b, 0) + 1

    def event(self, number, up, low, asec, ausec):
        if number == 0 or up == 0 or number == self.cur_number:
            return
        self.cur_number = number
        self.ring[number & 31] = number
        arrival = float(asec) * 1e6 + float(ausec)
        if self.last_arrival is None:
            self.last_arrival = arrival
        else:
            self.fill("PERIODL", (arrival - self.last_arrival) / 1000.0)
            self.last_arrival = arrival
        self.total += 1
        if self.period_start == 0:
            self.period_start = asec
        if asec - self.period_start < self.period:
            self.events_period = i32(self.events_period + 1)
        else:
            self.events_period = 0
            self.lost_period = 0
            self.period_start = asec
        self.info = (i32(number), f32(float(self.total)), f32(low / 1000.0), up)
        event_time = float(up) * 1e6 + float(low)
        self.fill("LATENCY", (arrival - event_time) / 1000.0)
        if self.first == 0 or self.first > number:
            self.first = number
        if self.prev is None:
            self.prev = (number, up, low)
            return
        prev_number, prev_up, prev_low = self.prev
        self.fill("PERIOD", (event_time - (float(prev_up) * 1e6 + float(prev_low))) / 1000.0)
        val = i32(number - prev_number)
        self.diff = f32(float(val))
        if val > 1:
            slot = 31 if number & 31 == 0 else (number - 1) & 31
            late = (self.ring[slot] + 1) & 0xFFFFFFFF == number
            if not late:
                n = i32(self.lost + val - 1)
                if n < 0:
                    self.negative_lines.append(
                        "NEGATIVE LOST EVENTS %d   cur_event:%d  prev_event:%d  val:%d"
                        % (n, i32(number), i32(prev_number), val))
                else:
                    self.lost = n
                if self.period_start != 0 and self.events_period != 0:
                    self.lost_period = i32(self.lost_period + val - 1)
        elif val < 0:
            self.lost = i32(self.lost - 1)
            if self.period_start != 0 and self.events_period != 0 and self.lost_period >= 1:
                self.lost_period -= 1
        self.perc_total = f32(f32(f32(float(self.lost)) / f32(float(self.total))) * 100.0)
        if self.events_period != 0:
            self.perc_period = f32(
                f32(f32(float(self.lost_period)) / f32(float(self.events_period))) * 100.0)
        if val >= 0:
            self.prev = (number, up, low)


def read_csv(path):
    records = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            records.append([int(x) for x in line.split(",")])
    return records


def expected(records, period):
    model = Model(period)
    for number, up, low, asec, ausec in records:
        model.event(number, up, low, asec, ausec)
    return model


def compare(tool, path, period):
    args = [tool, "replay", "--json"]
    if period is not None:
        args += ["--period", str(period)]
    run = subprocess.run(args + [path], capture_output=True, text=True, check=True)
    # Standard output is the JSON alone; the library's own lines go to
    # standard error.
    got = json.loads(run.stdout)["properties"]
    model = expected(read_csv(path), period if period is not None and period > 0 else 15)

    problems = []

    def check(name, want, have):
        if want != have:
            problems.append("%s: expected %r, got %r" % (name, want, have))

    p = BASE + ".STAT."
    check("TOTAL", i32(model.total), got[p + "EV.TOTAL"])
    check("LOST", model.lost, got[p + "EV.LOST"])
    check("DIFF", model.diff, f32(got[p + "EV.DIFF"]))
    check("LOST.PERC", model.perc_total, f32(got[p + "EV.LOST.PERC"]))
    check("LOST.PRD.PERC", model.perc_period, f32(got[p + "EV.LOST.PRD.PERC"]))
    if model.info is not None:
        info = got[p + "EV.INFO"]
        check("INFO", model.info,
              (info["i1_data"], f32(info["f1_data"]), f32(info["f2_data"]), info["tm"]))
    for name in ("LATENCY", "PERIOD", "PERIODL"):
        bins = {int(k): v for k, v in got[p + "EV." + name + ".TD"]["bins"].items()}
        check(name, model.spectra[name], bins)
    check("NEGATIVE lines", model.negative_lines, run.stderr.splitlines())
    return problems


def random_stream(rng, path):
    """Gaps, repeats, backwards steps, late events, wraps and period ends."""
    number = rng.choice([1, 1000, 0xFFFFFFF0, rng.randrange(1, 1 << 32)])
    up, low = 1700000000, 0
    asec, ausec = 1700000000, rng.randrange(1000000)
    lines = []
    for _ in range(rng.randrange(1, 400)):
        r = rng.random()
        if r < 0.70:
            step = 1
        elif r < 0.82:
            step = rng.randrange(2, 40)
        elif r < 0.90:
            step = -rng.randrange(1, 10)
        elif r < 0.95:
            step = 0
        else:
            step = rng.choice([0x7FFFFFFF, -0x7FFFFFFF, 1 << 31, rng.randrange(1 << 32)])
        number = (number + step) & 0xFFFFFFFF
        low += rng.randrange(0, 300000)
        up += low // 1000000
        low %= 1000000
        if rng.random() < 0.02:
            up += rng.randrange(1, 30)
        ausec += rng.randrange(0, 2000000 if rng.random() < 0.05 else 300000)
        asec += ausec // 1000000
        ausec %= 1000000
        lines.append("%d,%d,%d,%d,%d" % (number, up if rng.random() > 0.01 else 0, low, asec, ausec))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("file", nargs="?")
    parser.add_argument("--period", type=int)
    parser.add_argument("--random", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    failures = 0
    if args.file:
        problems = compare(args.tool, args.file, args.period)
        for problem in problems:
            print("%s: %s" % (args.file, problem))
        failures += bool(problems)
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory() as tmp:
        for i in range(args.random):
            path = "%s/stream%d.csv" % (tmp, i)
            random_stream(rng, path)
            period = rng.choice([None, 1, 3, 15, 0, -2])
            problems = compare(args.tool, path, period)
            if problems:
                failures += 1
                print("stream %d (seed %d, period %s):" % (i, args.seed, period))
                for problem in problems[:5]:
                    print("  " + problem)
                with open(path) as f:
                    print("  first lines: " + " | ".join(f.read().splitlines()[:8]))
    checked = (1 if args.file else 0) + args.random
    print("%d passed, %d failed" % (checked - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
