#!/usr/bin/env python3
"""The dashboard in a real (headless) browser against a running server.

With --tool, starts `daqevstat simulate --listen 127.0.0.1:0`, opens the page
in headless Chromium driven over its DevTools protocol, and checks what a
person would see: the server's locations, the event total rising between two
looks, the three distributions drawn with their percentiles, a rate, the rate
and loss trend strips filling an axis as long as what the page has seen,
writes refused without the token and done with it, and the page telling that
the server is gone and recovering when it is back, with the trends kept.

With --two-locations, runs the two-location example, whose streams end before
the page opens: percentiles equal to those of the served bins, and "no data
yet" in the loss strips that have nothing to draw.

Loopback only; every wait is bounded and each run stays under a minute.
Exits 77 (skipped) when no browser is installed.

Usage: dashboard_browser_test.py (--tool PATH | --two-locations PATH) [--screenshot FILE]
"""

import argparse
import base64
import json
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

SKIP = 77
DEADLINE_S = 50
TOKEN = "dashboard-test-token"
RATE_HZ = 1000


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self):
        return self.end - time.monotonic()

    def check(self, what):
        if self.left() <= 0:
            raise Failure(f"out of time while {what}")


# ---------------------------------------------------------------- servers

class ServerProcess:
    """A server whose output is drained all along, so that it can never
    block on it; ready once a line matched `ready` (after its address, when
    that comes on a line of its own)."""

    def __init__(self, args, output, address, ready, deadline):
        self.lines = []
        self.address = None
        self._address_pattern = re.compile(address)
        self._ready_pattern = re.compile(ready)
        self._found = threading.Event()
        pipes = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, output: subprocess.PIPE}
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, start_new_session=True, **pipes)
        threading.Thread(target=self._drain, args=(getattr(self.proc, output),), daemon=True).start()
        end = time.monotonic() + min(15, max(1, deadline.left()))
        while not self._found.wait(0.05):
            if self.proc.poll() is not None or time.monotonic() > end:
                self.stop()
                raise Failure(f"{os.path.basename(args[0])} did not get ready to serve; it wrote:\n" +
                              "\n".join(self.lines[-20:]))

    def _drain(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.lines.append(line)
            match = self._address_pattern.search(line)
            if match and self.address is None:
                self.address = match.group(1)
            if self.address is not None and self._ready_pattern.search(line):
                self._found.set()

    def stop(self):
        """Ends the run as an operator would; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return self.proc.returncode


class SimulatedServer(ServerProcess):
    """The tool serving a simulated location."""

    def __init__(self, tool, listen, deadline):
        args = [tool, "simulate", "--listen", listen, "--duration", "0", "--rate", str(RATE_HZ),
                "--objects", "2", "--loss", "0.01", "--latency-ms", "20", "--jitter-ms", "5",
                "--seed", "7", "--write-token", TOKEN]
        pattern = r"listening on (http://\S+?)/?\s*$"
        super().__init__(args, "stderr", pattern, pattern, deadline)


class TwoLocationsServer(ServerProcess):
    """The two-location example, ready once both streams have been fed."""

    def __init__(self, path, deadline):
        super().__init__([path, "--listen", "127.0.0.1:0"], "stdout", r"serving (http://\S+?)/?$",
                         r"serving until SIGINT or SIGTERM$", deadline)


def get_properties(address, location=None):
    path = (f"api/v1/locations/{urllib.parse.quote(location)}/properties" if location
            else "api/v1/properties")
    with urllib.request.urlopen(f"{address}/{path}", timeout=5) as reply:
        return json.load(reply)["properties"]


def nearest_rank_percentiles(spectrum):
    """p50, p90, p99 of a served spectrum as bin indices, nearest rank over
    the positive counts, as the tool defines them; None when empty."""
    pairs = sorted((int(k), v) for k, v in spectrum.get("bins", {}).items()
                   if k.isdigit() and int(k) <= 8191 and isinstance(v, (int, float)) and v > 0)
    total = sum(v for _, v in pairs)
    if not total:
        return None
    result = {}
    for percent in (50, 90, 99):
        if float(total).is_integer():
            rank = max(1, -(-int(total) * percent // 100))
        else:
            rank = max(1, math.ceil(total * percent / 100))
        cumulative = 0
        for index, count in pairs:
            cumulative += count
            if cumulative >= rank:
                result[f"p{percent}"] = index
                break
    return result


def get_locations(address):
    """The server's location names, or None when it serves one location only
    at the older path."""
    try:
        with urllib.request.urlopen(f"{address}/api/v1/locations", timeout=5) as reply:
            return json.load(reply)["locations"]
    except urllib.error.HTTPError as error:
        if error.code == 404:
            return None
        raise


# ---------------------------------------------------------------- browser

def find_browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    def __init__(self, path, deadline):
        self.profile = tempfile.mkdtemp(prefix="dashboard-browser-")
        self.stderr = open(os.path.join(self.profile, "stderr.txt"), "wb")
        # No sandbox: tests run as root in CI, where the sandbox refuses to start.
        args = [path, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--disable-extensions", "--disable-sync",
                "--disable-background-networking", "--remote-debugging-address=127.0.0.1",
                "--remote-debugging-port=0", f"--user-data-dir={self.profile}",
                "--window-size=1280,800", "about:blank"]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr, start_new_session=True)
        self.devtools = None
        try:
            self._connect(deadline)
        except BaseException:
            self.close()
            raise

    def _connect(self, deadline):
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        while True:
            if os.path.exists(port_file):
                text = open(port_file).read().split()
                if text:
                    self.port = int(text[0])
                    break
            if self.proc.poll() is not None:
                raise Failure(f"the browser ended at start: {self.log_tail()}")
            deadline.check("waiting for the browser to start")
            time.sleep(0.05)
        targets = None
        while not targets:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/json/list",
                                            timeout=5) as r:
                    targets = [t for t in json.load(r) if t.get("type") == "page"]
            except OSError:
                pass
            deadline.check("waiting for the browser's first page")
            time.sleep(0.05)
        self.devtools = DevTools(targets[0]["webSocketDebuggerUrl"])

    def log_tail(self):
        self.stderr.flush()
        with open(self.stderr.name, "rb") as f:
            return f.read()[-2000:].decode("utf-8", "replace")

    def close(self):
        if self.devtools:
            self.devtools.close()
        # The browser's helper processes share its process group, which
        # outlives the browser itself while any of them is left.
        for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(wait)
            except subprocess.TimeoutExpired:
                pass
        self.stderr.close()
        shutil.rmtree(self.profile, ignore_errors=True)


class DevTools:
    """Just enough of a WebSocket client (RFC 6455) to call DevTools methods."""

    def __init__(self, url):
        parts = urllib.parse.urlsplit(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {parts.path} HTTP/1.1\r\nHost: {parts.hostname}:{parts.port}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise Failure("the browser closed the DevTools connection during the handshake")
            data += chunk
        head, self.pending = data.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n", 1)[0]:
            raise Failure(f"DevTools handshake refused: {head[:200]!r}")
        self.next_id = 0
        self.events = []

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def _read(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Failure("the browser closed the DevTools connection")
            self.pending += chunk
        out, self.pending = self.pending[:n], self.pending[n:]
        return out

    def _send(self, payload, opcode=0x1):
        header = bytes([0x80 | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 1 << 16:
            header += bytes([0x80 | 126]) + struct.pack("!H", n)
        else:
            header += bytes([0x80 | 127]) + struct.pack("!Q", n)
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _message(self):
        parts = []
        while True:
            first, second = self._read(2)
            opcode = first & 0x0F
            n = second & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            mask = self._read(4) if second & 0x80 else None
            payload = self._read(n)
            if mask:
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
            if opcode == 0x8:
                raise Failure("the browser closed the DevTools connection")
            if opcode == 0x9:
                self._send(payload, 0xA)
                continue
            if opcode == 0xA:
                continue
            parts.append(payload)
            if first & 0x80:
                return json.loads(b"".join(parts))

    def call(self, method, **params):
        self.next_id += 1
        wanted = self.next_id
        self._send(json.dumps({"id": wanted, "method": method, "params": params}).encode())
        while True:
            message = self._message()
            if message.get("id") == wanted:
                if "error" in message:
                    raise Failure(f"{method}: {message['error']}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise Failure(f"evaluating {expression!r} threw: {text}")
        return result["result"].get("value")

    def page_errors(self):
        """Uncaught exceptions and error-level log entries (a blocked inline
        script shows up here as a policy violation)."""
        errors = []
        for event in self.events:
            if event["method"] == "Runtime.exceptionThrown":
                details = event["params"]["exceptionDetails"]
                errors.append(details.get("exception", {}).get("description") or details["text"])
            elif event["method"] == "Log.entryAdded":
                entry = event["params"]["entry"]
                # Failed fetches while the server is down are expected.
                if entry["level"] == "error" and entry.get("source") != "network":
                    errors.append(entry["text"])
        return errors


# ---------------------------------------------------------------- checks

class Page:
    def __init__(self, devtools, deadline):
        self.dt = devtools
        self.deadline = deadline

    def js(self, expression):
        return self.dt.evaluate(expression)

    def wait(self, expression, what, timeout=15):
        end = min(time.monotonic() + timeout, self.deadline.end)
        value = None
        while time.monotonic() < end:
            value = self.js(expression)
            if value:
                return value
            time.sleep(0.1)
        errors = self.dt.page_errors()
        raise Failure(f"timed out waiting for {what} (last value {value!r})" +
                      (f"; page errors: {errors}" if errors else ""))

    def attr(self, selector, name):
        return self.js(f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
                       f" return e ? e.getAttribute({json.dumps(name)}) : null; }})()")

    def text(self, selector):
        return self.js(f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
                       " return e ? e.textContent : null; })()")

    def number(self, testid):
        value = self.attr(f'[data-testid="{testid}"]', "data-value")
        return None if value is None else float(value)

    def updates(self):
        return int(self.attr("#objects", "data-updates") or 0)

    def type_into(self, selector, text):
        self.js(f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
                " e.focus(); e.select && e.select(); })()")
        self.dt.call("Input.insertText", text=text)

    def click(self, selector):
        self.js(f"document.querySelector({json.dumps(selector)}).click()")

    def message(self, base):
        sel = f'[data-testid="message-{base}"]'
        return self.attr(sel, "data-kind"), self.text(sel)

    def wait_message(self, base, before, what):
        sel = json.dumps(f'[data-testid="message-{base}"]')
        self.wait(f"(() => {{ const e = document.querySelector({sel});"
                  f" return e.textContent !== '' && e.textContent !== {json.dumps(before)}; }})()",
                  what)
        return self.message(base)


def expect(condition, text):
    if not condition:
        raise Failure(text)
    log(f"ok: {text}")


def check_helpers(page):
    # The scale and bar logic on data shapes the simulated run does not reach.
    expect(page.js("daqDashboard.chooseScale(2, 1060).kind") == "log",
           "bins from 2 to 1060 ms are drawn on a log axis")
    expect(page.js("daqDashboard.chooseScale(43, 603).kind") == "linear",
           "bins from 43 to 603 ms stay on a linear axis")
    expect(page.js("daqDashboard.chooseScale(0, 8191).kind") == "log",
           "a distribution reaching the clamped bin from 0 ms is drawn on a log axis")
    bars = page.js("""(() => {
        const d = daqDashboard;
        const pairs = d.binPairs({bins: {'5': 2, '6': 9, '8191': 4, 'x': 3, '9000': 1, '7': -1}});
        const x = d.axisMap(d.chooseScale(pairs[0][0], pairs[pairs.length - 1][0]), 0, 300);
        return {pairs, bars: d.layoutBars(pairs, x)};
    })()""")
    expect(bars["pairs"] == [[5, 2], [6, 9], [8191, 4]],
           "bins that are no index, beyond the last bin or not positive are ignored")
    expect(bars["bars"][-1]["clamped"] and bars["bars"][-1]["count"] == 4 and
           not any(b["clamped"] for b in bars["bars"][:-1]),
           "the last bin is drawn on its own and marked clamped")
    many = page.js("""(() => {
        const d = daqDashboard;
        const bins = {};
        for (let i = 0; i < 8191; ++i) bins[i] = 1 + (i % 7);
        const pairs = d.binPairs({bins});
        const x = d.axisMap(d.chooseScale(0, 8190), 0, 300);
        const bars = d.layoutBars(pairs, x);
        let overlap = false;
        for (let i = 1; i < bars.length; ++i) overlap ||= bars[i].x < bars[i - 1].x + bars[i - 1].width - 1e-6;
        return {n: bars.length, overlap, sum: bars.reduce((s, b) => s + b.sum, 0)};
    })()""")
    expect(many["n"] <= 300 and not many["overlap"] and
           many["sum"] == sum(1 + i % 7 for i in range(8191)),
           f"8191 filled bins make {many['n']} non-overlapping bars over 300 px that keep every entry")
    expect(page.js("daqDashboard.rateFrom([{t: 0, total: 10}, {t: 2000, total: 2010}])") == 1000,
           "the rate is events per second between the first and last read")
    expect(page.js("daqDashboard.rateFrom([{t: 0, total: 500}, {t: 1000, total: 20}])") is None,
           "no rate is shown across a counter reset")
    losses = page.js("""[
        [{t: 0, total: 0, lost: 0}, {t: 1000, total: 1000, lost: 10}],
        [{t: 0, total: 0, lost: 12}, {t: 1000, total: 1000, lost: 9}],
        [{t: 0, total: 7, lost: 3}, {t: 1000, total: 7, lost: 3}],
    ].map(daqDashboard.lossFrom)""")
    expect(losses == [1, 0, None],
           f"the loss is lost over counted events in %, 0 when late events take gaps back, "
           f"none without counted events ({losses})")
    strip = page.js("""(() => {
        const d = daqDashboard;
        const points = [{t: 0, value: 5}, {t: 10, value: null}, {t: 30, value: 6},
                        {t: 40, value: null}, {t: 50, value: 7}, {t: 900020, value: 8}];
        const kept = d.pruneTrend(points, 900035, 900000);
        return {kept: kept.map((p) => p.t), path: d.stripPath(points, (t) => t, (v) => v)};
    })()""")
    expect(strip["kept"] == [50, 900020] and strip["path"].count("M") == 3,
           f"trend points older than the window are dropped and gaps break the line ({strip})")

    # Nearest rank over 1 ms bins, as `watch` and the reports compute it.
    cases = [
        ({"10": 1, "9": 1}, (9, 10, 10)),  # bins in number order, not text order
        ({"1": 99, "40": 1}, (1, 1, 1)),  # 99 % of 100 is rank 99, exactly
        ({"1": 99, "40": 2}, (1, 1, 40)),
        ({"0": 50, "3": 40, "9": 9, "8191": 1}, (0, 3, 9)),
        ({"0": 1, "8191": 1000}, (8191, 8191, 8191)),
        ({"3": "x", "4": -2, "5": 10}, (5, 5, 5)),
        ({}, None),
    ]
    got = page.js(f"""{json.dumps([c[0] for c in cases])}.map((bins) => {{
        const p = daqDashboard.percentileBins(daqDashboard.binPairs({{bins}}));
        return p && [p.p50, p.p90, p.p99];
    }})""")
    expect(got == [list(c[1]) if c[1] else None for c in cases],
           f"p50/p90/p99 are the nearest-rank bins ({got})")

    scales = page.js("""[[3000, 300, 250, 200, 10, 1], [10, 50, 200, 380, 370, 190, 40], [1800]]
        .map(daqDashboard.chooseCountScale)""")
    expect(scales == ["log", "linear", "linear"],
           f"counts go on a log axis only where one bar dwarfs the rest ({scales})")

    spans = page.js("""(() => {
        const d = daqDashboard;
        return [d.trendSpan([{t: 0}], 20 * 60000), d.trendSpan([{t: 1000}], 1500),
                d.trendSpan([{t: 1000}], 48000), d.trendSpan([], 5),
                d.timeTicks(900000).map(d.formatAgo), d.timeTicks(20000).map(d.formatAgo)];
    })()""")
    expect(spans == [900000, 2000, 47000, None, ["now", "−5 min", "−10 min", "−15 min"],
                     ["now", "−5 s", "−10 s", "−15 s", "−20 s"]],
           f"a trend axis spans what was seen, from 2 s up to 15 min ({spans})")


def check_live_view(page, address):
    page.wait('!!document.querySelector(\'[data-testid="total-EVSTAT"][data-value]\')',
              "the event total of EVSTAT")
    expect(page.attr("#connection", "data-state") == "ok", "the page says it is live")
    expect(page.js("document.querySelectorAll('article.object').length") == 2,
           "both statistics objects are shown")
    before_server = get_properties(address)["EVSTAT.STAT.EV.TOTAL"]
    first = page.number("total-EVSTAT")
    updates = page.updates()
    page.wait(f"Number(document.querySelector('#objects').dataset.updates) >= {updates + 2}",
              "two more reads")
    second = page.number("total-EVSTAT")
    after_server = get_properties(address)["EVSTAT.STAT.EV.TOTAL"]
    expect(second > first, f"the event total rose between two looks ({first:.0f} -> {second:.0f})")
    expect(second <= after_server and second >= before_server,
           f"the total shown ({second:.0f}) lies between two direct reads "
           f"({before_server} and {after_server})")

    rate = page.wait("Number(document.querySelector('[data-testid=\"rate-EVSTAT\"]')"
                     ".getAttribute('data-value')) || 0", "a rate")
    expect(0 < rate < 10 * RATE_HZ, f"a plausible rate is shown ({rate:.0f} /s at {RATE_HZ} Hz)")

    for base in ("EVSTAT", "EVSTAT2"):
        for suffix in ("LATENCY", "PERIOD", "PERIODL"):
            name = f"{base}.STAT.EV.{suffix}.TD"
            sel = f'[data-plot="{name}"]'
            page.wait(f"Number(document.querySelector({json.dumps(sel)}).dataset.bars) > 0",
                      f"bars in {name}")
            bars = int(page.attr(sel, "data-bars"))
            drawn = page.js(f"document.querySelectorAll({json.dumps(sel + ' rect.bar')}).length")
            entries = int(page.attr(sel, "data-entries"))
            expect(bars == drawn and entries > 0,
                   f"{name} is drawn: {drawn} bars for {entries} entries")

    for testid in ("lost-EVSTAT", "lost-perc-EVSTAT", "event-EVSTAT", "type-EVSTAT", "diff-EVSTAT"):
        shown = page.text(f'[data-testid="{testid}"]')
        expect(shown not in (None, "", "—"), f"{testid} shows a value ({shown!r})")

    locations = get_locations(address)
    shown = page.js("[...document.querySelectorAll('section.location')].map((e) => e.dataset.location)")
    expect(shown == (locations if locations is not None else [""]),
           f"the page shows every location the server lists ({shown}, server: {locations})")
    cards = page.js("[...document.querySelectorAll('section.location article.object')]"
                    ".map((e) => e.dataset.location + '/' + e.dataset.object)")
    expect(len(cards) == 2 and all(c.endswith(("/EVSTAT", "/EVSTAT2")) for c in cards),
           f"each object is shown under its location ({cards})")


def trend_points(page, kind, base="EVSTAT"):
    return int(page.attr(f'[data-testid="trend-{kind}-{base}"]', "data-points") or 0)


def trend_segments(page, kind, base="EVSTAT"):
    path = page.js(f"document.querySelector('[data-testid=\"trend-{kind}-{base}\"] path')"
                   ".getAttribute('d')")
    return path.count("M")


def check_trends(page, opened):
    for kind in ("rate", "lost"):
        page.wait(f"Number(document.querySelector('[data-testid=\"trend-{kind}-EVSTAT\"]')"
                  ".dataset.points) >= 3", f"three points in the {kind} trend")
        expect(trend_segments(page, kind) >= 1,
               f"the {kind} strip is drawn ({trend_points(page, kind)} points)")
    # Once more than the shortest span has been seen, the axis is as long as
    # that: the line starts at its left edge, and no tick reaches minutes back.
    sel = '[data-testid="trend-rate-EVSTAT"]'
    page.wait(f"Number(document.querySelector({json.dumps(sel)}).dataset.span) > 3000",
              "more than 3 s in the rate trend")
    strip = page.js(f"""(() => {{
        const fig = document.querySelector({json.dumps(sel)});
        const d = fig.querySelector('path').getAttribute('d');
        return {{span: Number(fig.dataset.span), x: Number(d.slice(1).split(',')[0]),
                 ticks: [...fig.querySelectorAll('text.tick')].map((t) => t.textContent),
                 caption: fig.querySelector('figcaption').textContent}};
    }})()""")
    seen = time.monotonic() - opened
    expect(strip["span"] <= seen * 1000 and abs(strip["x"] - 48) < 1 and
           not any("min" in t for t in strip["ticks"]) and "last " in strip["caption"],
           f"the rate axis spans the {strip['span'] / 1000:.1f} s seen of {seen:.1f} s open and the "
           f"line starts at its left edge ({strip})")


def shown_percentiles(page):
    """{plot name: {p50, p90, p99} or None} as the page shows them."""
    return page.js("""Object.fromEntries([...document.querySelectorAll('[data-plot]')].map((f) =>
        [f.dataset.plot, f.dataset.p50 === undefined || !f.querySelector('.percentiles').textContent
            ? null : {p50: Number(f.dataset.p50), p90: Number(f.dataset.p90), p99: Number(f.dataset.p99)}]))""")


def check_percentiles(page, address):
    # The page's percentiles of bins read straight from the server against
    # the nearest rank computed here.
    spectra = {k: v for k, v in get_properties(address).items() if k.endswith(".TD")}
    computed = page.js(f"""Object.fromEntries(Object.entries({json.dumps(spectra)}).map(([name, value]) =>
        [name, daqDashboard.percentileBins(daqDashboard.binPairs(value))]))""")
    expected = {name: nearest_rank_percentiles(value) for name, value in spectra.items()}
    expect(computed == expected, f"the page's percentiles of the served bins are the nearest-rank "
                                 f"ones ({expected.get('EVSTAT.STAT.EV.LATENCY.TD')} for the latency)")
    expect(all(shown_percentiles(page).values()), "every distribution shows its percentiles")

    # The count axis toggle overrides the automatic choice and keeps it.
    sel = '[data-plot="EVSTAT.STAT.EV.LATENCY.TD"]'
    before = page.attr(sel, "data-count-scale")
    page.click(f'[data-testid="log-EVSTAT.STAT.EV.LATENCY.TD"]')
    flipped = "linear" if before == "log" else "log"
    updates = page.updates()
    page.wait(f"Number(document.querySelector('#objects').dataset.updates) >= {updates + 2}",
              "two more reads")
    expect(page.attr(sel, "data-count-scale") == flipped,
           f"the log-counts box turns the latency's count axis from {before} to {flipped} for good")


def check_writes(page, address):
    switch = '[data-testid="switch-EVSTAT"]'
    kind, text = page.message("EVSTAT")
    page.click(switch)
    kind, text = page.wait_message("EVSTAT", text, "the answer to a write without a token")
    expect(kind == "error" and "403" in text and "token" in text,
           f"a write without the token is refused visibly ({text!r})")
    expect(page.js(f"document.querySelector({json.dumps(switch)}).checked") is True,
           "the switch shows the unchanged state")
    expect(get_properties(address)["EVSTAT.STAT.ON"] == 1, "the refused write changed nothing")

    page.type_into('[data-testid="token"]', "not-" + TOKEN)
    page.click(switch)
    kind, text = page.wait_message("EVSTAT", text, "the answer to a write with a wrong token")
    expect(kind == "error" and "403" in text and "wrong" in text,
           f"a write with a wrong token is refused visibly ({text!r})")

    page.type_into('[data-testid="token"]', TOKEN)
    expect(page.js("sessionStorage.getItem('daqevstat.write-token')") == TOKEN and
           TOKEN not in page.js("location.href"),
           "the token is kept in session storage, not in the address")

    page.type_into('[data-testid="period-EVSTAT"]', "7")
    page.click('[data-testid="period-apply-EVSTAT"]')
    kind, text = page.wait_message("EVSTAT", text, "the answer to the period write")
    expect(kind == "ok" and get_properties(address)["EVSTAT.STAT.EV.LOST.PERIOD"] == 7,
           f"the period is written with the token ({text!r})")

    page.click('[data-testid="switch-EVSTAT2"]')
    kind, text = page.wait_message("EVSTAT2", "", "the answer to switching EVSTAT2 off")
    expect(kind == "ok" and get_properties(address)["EVSTAT2.STAT.ON"] == 0,
           f"EVSTAT2 is switched off from the page ({text!r})")
    page.wait("document.querySelector('[data-plot=\"EVSTAT2.STAT.EV.LATENCY.TD\"]')"
              ".dataset.bars === '0' && document.querySelector('[data-testid=\"state-EVSTAT2\"]')"
              ".textContent === 'off'", "EVSTAT2 shown as off with empty plots")
    expect(page.js("document.querySelector('[data-testid=\"period-EVSTAT2\"]').disabled") is True,
           "the period of a switched-off object cannot be edited")
    page.wait("document.querySelector('[data-testid=\"trend-rate-EVSTAT2\"]').dataset.ended"
              " === 'statistics off'", "the rate strip of EVSTAT2 to say why it ended")
    shown = page.js("""[...document.querySelectorAll('[data-object="EVSTAT2"] svg text')]
        .filter((t) => t.textContent === 'statistics off').length""")
    expect(shown == 5, f"every chart of EVSTAT2 says the statistics are off ({shown} of 5)")


def check_recovery(page, tool, server, deadline):
    host_port = server.address.split("//", 1)[1]
    before = trend_points(page, "rate")
    status = server.stop()
    expect(status == 0, f"the server ends cleanly on SIGTERM while serving (status {status})")
    page.wait("document.querySelector('#connection').dataset.state === 'error' &&"
              " !document.querySelector('#server-error').hidden", "the page to notice the server is gone")
    expect("No data" in page.text("#server-error"),
           f"the page says the server is gone ({page.text('#server-error')!r})")
    # The same address again; the old socket may linger for a moment.
    restarted = None
    while restarted is None:
        try:
            restarted = SimulatedServer(tool, host_port, deadline)
        except Failure:
            deadline.check("restarting the server on the same address")
            time.sleep(0.5)
    updates = page.updates()
    page.wait("document.querySelector('#connection').dataset.state === 'ok' &&"
              " document.querySelector('#server-error').hidden &&"
              f" Number(document.querySelector('#objects').dataset.updates) >= {updates + 2}",
              "the page to recover", timeout=20)
    expect(True, "the page recovered when the server came back")
    page.wait(f"Number(document.querySelector('[data-testid=\"trend-rate-EVSTAT\"]')"
              f".dataset.points) >= {before + 2}", "new points in the rate trend")
    after = trend_points(page, "rate")
    segments = trend_segments(page, "rate")
    expect(after >= before + 2 and segments >= 2,
           f"the rate trend kept its {before} points through the outage and goes on "
           f"({after} points, {segments} pieces of line around the gap)")
    return restarted


def check_two_locations(page, server):
    """A server whose streams ended before the page opened: the distributions
    are still, and the loss strips say they have nothing to draw rather than
    showing an empty frame."""
    page.wait("document.querySelectorAll('article.object').length === 2 &&"
              " Number(document.querySelector('#objects').dataset.updates) >= 3", "three reads")
    locations = get_locations(server.address)
    for location, base in zip(locations, ("DAQ1", "DAQ2")):
        sel = f'[data-testid="trend-lost-{base}"]'
        empty = page.js(f"""(() => {{
            const fig = document.querySelector({json.dumps(sel)});
            const text = fig.querySelector('svg text.empty');
            return {{data: fig.dataset.empty, shown: text ? text.textContent : null,
                     note: (fig.querySelector('svg text.empty-note') || {{}}).textContent}};
        }})()""")
        expect(empty["shown"] == "no data yet" and empty["data"] == "no data yet" and empty["note"],
               f"the loss strip of {base} says it has no data yet ({empty})")
        spectra = {k: v for k, v in get_properties(server.address, location).items() if k.endswith(".TD")}
        shown = {k: v for k, v in shown_percentiles(page).items() if k in spectra}
        expected = {name: nearest_rank_percentiles(value) for name, value in spectra.items()}
        expect(shown == expected, f"{location} shows p50/p90/p99 of the served bins ({shown})")

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--tool", help="the daqevstat tool: checks against a simulated server")
    which.add_argument("--two-locations", help="the two-location example: checks against it")
    parser.add_argument("--screenshot", help="also save what the page looks like as PNG")
    args = parser.parse_args()

    browser_path = find_browser()
    if browser_path is None:
        log("SKIP: no chromium on PATH (Debian: apt-get install chromium)")
        return SKIP

    deadline = Deadline(DEADLINE_S)
    server = browser = None
    try:
        if args.tool:
            server = SimulatedServer(args.tool, "127.0.0.1:0", deadline)
        else:
            server = TwoLocationsServer(args.two_locations, deadline)
        expect(server.address.startswith("http://127.0.0.1:"),
               f"the server listens on loopback ({server.address})")
        browser = Browser(browser_path, deadline)
        dt = browser.devtools
        dt.call("Runtime.enable")
        dt.call("Log.enable")
        dt.call("Page.enable")
        opened = time.monotonic()
        dt.call("Page.navigate", url=f"{server.address}/")
        page = Page(dt, deadline)
        page.wait("document.readyState === 'complete' && !!window.daqDashboard", "the page's script")

        if args.tool:
            check_helpers(page)
            check_live_view(page, server.address)
            check_trends(page, opened)
            check_percentiles(page, server.address)
        else:
            check_two_locations(page, server)
        if args.screenshot:
            shot = dt.call("Page.captureScreenshot", format="png")
            with open(args.screenshot, "wb") as f:
                f.write(base64.b64decode(shot["data"]))
        if args.tool:
            check_writes(page, server.address)
            server = check_recovery(page, args.tool, server, deadline)

        errors = dt.page_errors()
        expect(not errors, f"the page logged no errors {errors if errors else ''}".rstrip())
        status = server.stop()
        expect(status == 0, f"the server ends cleanly (status {status})")
    except Failure as failure:
        log(f"FAILED: {failure}")
        if server:
            log("server said:\n  " + "\n  ".join(server.lines[-10:]))
        return 1
    finally:
        if browser:
            browser.close()
        if server:
            server.stop()
    log("dashboard in browser: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
