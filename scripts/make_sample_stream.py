#!/usr/bin/env python3
"""Writes samples/sample_stream.csv, a small recorded event stream.

3000 event numbers from 1000 on, one every 100 ms of event time (300 s, so
a 15 s lost-events period rolls over many times), each with a local arrival
time 2 to 14 ms after its event time. The stream also holds:
  - gaps: every number whose offset ends in 37 (30 numbers) and a burst of
    five (offsets 1500 to 1504) are never delivered;
  - a late event: offset 800 arrives 350 ms late, after offsets 801 to 803;
  - a repeat: offset 1200 is delivered twice in a row;
  - a backwards event: right after offset 2000, offset 1990 arrives again.
Replayed, that is 2967 records, 2966 counted events and 34 lost events
(30 + 5 gaps, the late event's gap taken back when it arrives, and one more
taken back by the backwards event).

Usage: scripts/make_sample_stream.py [OUTPUT]  (default samples/sample_stream.csv)
"""

import os
import sys

FIRST_NUMBER = 1000
COUNT = 3000
START_SEC = 1700000000
STEP_USEC = 100000


def event_time(offset):
    usec = offset * STEP_USEC
    return START_SEC + usec // 1000000, usec % 1000000


def line(offset, latency_usec):
    sec, usec = event_time(offset)
    arrival = sec * 1000000 + usec + latency_usec
    return "%d,%d,%d,%d,%d" % (FIRST_NUMBER + offset, sec, usec, arrival // 1000000,
                               arrival % 1000000)


def latency(offset):
    return 2000 + (offset * 7 % 13) * 1000


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "samples",
                                                               "sample_stream.csv")
    dropped = {o for o in range(COUNT) if o % 100 == 37} | set(range(1500, 1505))
    lines = [
        "# Sample event stream for 'daqevstat replay'; written by",
        "# scripts/make_sample_stream.py, which describes its content.",
        "# event_number,timeup,timelow,arrival_sec,arrival_usec",
    ]
    for offset in range(COUNT):
        if offset in dropped or offset == 800:
            continue
        lines.append(line(offset, latency(offset)))
        if offset == 803:
            lines.append(line(800, 350000))
        if offset == 1200:
            lines.append(line(1200, latency(1200)))
        if offset == 2000:
            # An old event once more: event time of offset 1990, arriving now.
            sec, usec = event_time(2000)
            arrival = sec * 1000000 + usec + 60000
            old_sec, old_usec = event_time(1990)
            lines.append("%d,%d,%d,%d,%d" % (FIRST_NUMBER + 1990, old_sec, old_usec,
                                             arrival // 1000000, arrival % 1000000))
    with open(out, "w", encoding="ascii") as stream:
        stream.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
