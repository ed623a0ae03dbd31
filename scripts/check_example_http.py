#!/usr/bin/env python3
"""Runs an example server that serves HTTP and reads what it fed over HTTP.

Usage: check_example_http.py COMMAND [ARGS...]

The command (an example run with --listen) must print on standard output

    ... serving http://HOST:PORT/
    fed LOCATION BASE events N lost M       (one line per statistics object)
    ... serving until SIGINT or SIGTERM

and then serve until SIGTERM, after which it must exit with status 0. In
between this script reads, as a client would:

  - GET /api/v1/locations: exactly the fed locations, in the order fed;
  - GET /api/v1/locations/LOCATION/properties/BASE.STAT.EV.TOTAL and
    .EV.LOST: exactly N and M (and the first location's through the older
    /api/v1/properties/NAME path as well);
  - GET /metrics: every series labelled with one of the fed locations, and
    daqevstat_events_total and daqevstat_lost_events of each exactly N and M.

Everything is bounded in time: the server must get ready within 60 s, each
request gets 10 s and the stop 15 s; a server still running is killed.
Exits with 0 when every check passes, 1 otherwise.
"""

import json
import queue
import re
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

READY_SECONDS = 60
REQUEST_SECONDS = 10
STOP_SECONDS = 15

SERVING = re.compile(r"serving (http://\S+/)$")
FED = re.compile(r"^fed (\S+) (\S+) events (\d+) lost (\d+)$")
SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)(?: \S+)?$")
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


class CheckFailed(Exception):
    pass


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=REQUEST_SECONDS) as answer:
            return answer.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        raise CheckFailed(f"GET {url}: status {error.code}: {error.read()[:200]!r}") from None
    except (urllib.error.URLError, OSError) as error:
        raise CheckFailed(f"GET {url}: {error}") from None


def get_json(url):
    text = get(url)
    try:
        return json.loads(text)
    except ValueError:
        raise CheckFailed(f"GET {url}: not JSON: {text[:200]!r}") from None


def parse_metrics(text):
    """[(name, {label: value}, value)] of every sample line."""
    samples = []
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        match = SAMPLE.match(line)
        if not match:
            raise CheckFailed(f"/metrics: a line that is no sample: {line!r}")
        labels = dict(LABEL.findall(match.group(2) or ""))
        samples.append((match.group(1), labels, float(match.group(3))))
    return samples


def expect(what, got, expected):
    ok = got == expected
    print(f"  {what:<60} {got!s:>10}   expected {expected!s}{'' if ok else '   WRONG'}")
    if not ok:
        raise CheckFailed(f"{what}: {got!r}, expected {expected!r}")


def check(url, fed):
    listing = get_json(url + "api/v1/locations")
    expect("/api/v1/locations", listing.get("locations"), [location for location, *_ in fed])

    for index, (location, base, events, lost) in enumerate(fed):
        for suffix, value in ((".STAT.EV.TOTAL", events), (".STAT.EV.LOST", lost)):
            name = base + suffix
            path = f"api/v1/locations/{location}/properties/{name}"
            reply = get_json(url + path)
            expect(f"/{path}", (reply.get("name"), reply.get("value")), (name, value))
            if index == 0:
                reply = get_json(url + "api/v1/properties/" + name)
                expect(f"/api/v1/properties/{name}", reply.get("value"), value)

    samples = parse_metrics(get(url + "metrics"))
    locations = {location for location, *_ in fed}
    unlabelled = [name for name, labels, _ in samples if labels.get("location") not in locations]
    expect("/metrics series without a fed location label", unlabelled[:3], [])
    for location, base, events, lost in fed:
        for family, value in (("daqevstat_events_total", events), ("daqevstat_lost_events", lost)):
            found = [v for name, labels, v in samples
                     if name == family and labels.get("location") == location
                     and labels.get("base") == base]
            expect(f'/metrics {family}{{location="{location}",base="{base}"}}', found, [value])


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[1:]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, text=True)
    lines = queue.Queue()

    def read_output():
        for line in server.stdout:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    reader = threading.Thread(target=read_output, daemon=True)
    reader.start()
    output = []

    def next_line(deadline):
        try:
            line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            raise CheckFailed(f"no word from the server within {READY_SECONDS} s") from None
        if line is None:
            raise CheckFailed(f"the server ended early with status {server.wait()}")
        output.append(line)
        return line

    try:
        deadline = time.monotonic() + READY_SECONDS
        url = None
        fed = []
        while True:
            line = next_line(deadline)
            if line.endswith("serving until SIGINT or SIGTERM"):
                break
            if match := SERVING.search(line):
                url = match.group(1)
            elif match := FED.match(line):
                fed.append((match.group(1), match.group(2), int(match.group(3)),
                            int(match.group(4))))
        if url is None or not fed:
            raise CheckFailed("the server printed no URL or no 'fed' line")
        print(f"check_example_http: {' '.join(command)}: {url}")
        check(url, fed)

        server.send_signal(signal.SIGTERM)
        try:
            status = server.wait(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            raise CheckFailed(f"the server did not stop within {STOP_SECONDS} s of SIGTERM") \
                from None
        reader.join(timeout=STOP_SECONDS)
        if status != 0:
            raise CheckFailed(f"the server ended with status {status}")
        print("check_example_http: every figure read over HTTP is exact")
        return 0
    except CheckFailed as failure:
        print("check_example_http: FAILED: " + str(failure), file=sys.stderr)
        while True:
            try:
                line = lines.get_nowait()
            except queue.Empty:
                break
            if line is not None:
                output.append(line)
        print("--- server output:\n" + "\n".join(output), file=sys.stderr)
        return 1
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
