"""What the tests that run a real Prometheus share: failures and their log,
bounded waits, child processes stopped by their process id, the rule files
with shortened windows, the configuration, the Prometheus server with its HTTP
API, and the start, clean-up and exit code of a run."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

SKIP = 77
# Shortened windows and durations for the test copy of the rules; the scrape
# and evaluation interval is 1 s.
WINDOWS = {"[5m]": "[10s]", "[2m]": "[5s]"}
FOR = {"5m": "5s", "10m": "5s", "1h": "30s", "2m": "3s"}


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def expect(condition, text):
    if not condition:
        raise Failure(text)
    log(f"ok: {text}")


def wait_until(what, probe, end, interval):
    """Calls probe until it returns something true, up to the monotonic time
    `end`; returns that."""
    value = None
    while time.monotonic() < end:
        value = probe()
        if value:
            return value
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what} (last: {value!r})")


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def wait(self, what, probe, timeout, interval=0.5):
        """Calls probe until it returns something true, for at most `timeout`
        seconds and never past the deadline; returns that."""
        return wait_until(what, probe, min(time.monotonic() + timeout, self.end), interval)


class Process:
    """A child in its own session; its output is drained all along so that it
    never blocks on a full pipe."""

    def __init__(self, name, args, stdin=subprocess.DEVNULL):
        self.name = name
        self.lines = []
        self.proc = subprocess.Popen(args, stdin=stdin, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for raw in self.proc.stdout:
            self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return self.proc.returncode


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def shortened_rules(text):
    for long, short in WINDOWS.items():
        text = text.replace(long, short)
    return re.sub(r"^(\s*for:\s*)(\S+)\s*$", lambda m: m.group(1) + FOR[m.group(2)], text,
                  flags=re.M)


def rules_copy(folder, rules_dir, name):
    """Writes rules_dir/name with shortened windows into folder; returns its path."""
    with open(os.path.join(rules_dir, name)) as f:
        text = shortened_rules(f.read())
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def global_config(**more):
    config = {"scrape_interval": "1s", "scrape_timeout": "1s", "evaluation_interval": "1s"}
    config.update(more)
    return config


def write_config(path, config):
    with open(path, "w") as f:
        json.dump(config, f, indent=1)  # JSON is YAML
    return path


class Prometheus:
    def __init__(self, config, folder, deadline, extra_args=(), name="prometheus"):
        self.process = None
        for _ in range(3):  # the free port may be taken before Prometheus binds it
            port = free_port()
            self.url = f"http://127.0.0.1:{port}"
            self.process = Process(name, [
                "prometheus", f"--config.file={config}",
                f"--storage.tsdb.path={os.path.join(folder, 'data')}",
                f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn", *extra_args])
            try:
                deadline.wait("Prometheus to be ready", self._ready, 20, 0.2)
                return
            except Failure:
                self.process.stop()
        raise Failure(f"Prometheus did not start: {self.process.lines[-10:]}")

    def _ready(self):
        if self.process.proc.poll() is not None:
            raise Failure(f"Prometheus ended: {self.process.lines[-10:]}")
        try:
            with urllib.request.urlopen(f"{self.url}/-/ready", timeout=2) as reply:
                return reply.status == 200
        except OSError:
            return False

    def api(self, path, **params):
        url = f"{self.url}/api/v1/{path}"
        if params:
            url += "?" + urllib.parse.urlencode(params)
        with urllib.request.urlopen(url, timeout=5) as reply:
            body = json.load(reply)
        if body.get("status") != "success":
            raise Failure(f"{path}: {body}")
        return body["data"]

    def query(self, expr):
        return self.api("query", query=expr)["result"]

    def alerts(self):
        return self.api("alerts")["alerts"]


def firing(prom, alertname):
    return {a["labels"].get("instance") for a in prom.alerts()
            if a["labels"]["alertname"] == alertname and a["state"] == "firing"}


def run_with_prometheus(args, run, deadline_s, prefix, title, errors=()):
    """Calls run(args, folder, deadline, processes) in a fresh temporary folder;
    then stops every process it started, newest first, and removes the folder.
    Returns the exit code: 77 without prometheus, 1 on a failure (with the
    last lines of every process), 0 when every check passed."""
    if shutil.which("prometheus") is None:
        log("SKIP: no prometheus on PATH (Debian: apt-get install prometheus)")
        return SKIP
    deadline = Deadline(deadline_s)
    folder = tempfile.mkdtemp(prefix=prefix)
    processes = []
    try:
        run(args, folder, deadline, processes)
    except (Failure, OSError, urllib.error.URLError, *errors) as failure:
        log(f"FAILED: {failure!r}")
        for process in processes:
            log(f"{process.name} said:\n  " + "\n  ".join(process.lines[-8:]))
        return 1
    finally:
        for process in reversed(processes):
            process.stop()
        shutil.rmtree(folder, ignore_errors=True)
    log(f"{title}: all checks passed")
    return 0
