#!/usr/bin/env python3
"""Scrapes /metrics of `daqevstat simulate --listen` once and lints it with promtool.

The tool runs two statistics objects with lost events and a spread latency on
a free loopback port; one scrape goes to `promtool check metrics`, which must
accept it without a single message.

Usage: promtool_check.py --tool PATH
Exit 0: clean; 1: promtool complained or the scrape failed; 77: no promtool.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

START_SECONDS = 20
SCRAPE_SECONDS = 10


def wait_for_url(err_path, tool):
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        with open(err_path, encoding="utf-8", errors="replace") as err:
            found = re.search(r"listening on (http://\S+/)", err.read())
        if found:
            return found.group(1)
        if tool.poll() is not None:
            break
        time.sleep(0.05)
    with open(err_path, encoding="utf-8", errors="replace") as err:
        raise RuntimeError("the tool printed no URL: " + err.read())


def stop(tool):
    if tool.poll() is None:
        tool.send_signal(signal.SIGINT)
        try:
            tool.wait(timeout=10)
        except subprocess.TimeoutExpired:
            tool.kill()
            tool.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    args = parser.parse_args()
    promtool = shutil.which("promtool")
    if promtool is None:
        print("promtool not found (Debian package prometheus): skipped")
        return 77

    with tempfile.TemporaryDirectory() as workdir:
        err_path = os.path.join(workdir, "err")
        with open(err_path, "wb") as err:
            tool = subprocess.Popen(
                [args.tool, "simulate", "--listen", "127.0.0.1:0", "--duration", "0",
                 "--objects", "2", "--loss", "0.01", "--latency-ms", "20", "--jitter-ms", "6"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            url = wait_for_url(err_path, tool)
            time.sleep(0.5)  # let every distribution fill
            with urllib.request.urlopen(url + "metrics", timeout=SCRAPE_SECONDS) as reply:
                text = reply.read()
        finally:
            stop(tool)

    lint = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True,
                          timeout=60, check=False)
    messages = (lint.stdout + lint.stderr).decode("utf-8", errors="replace").strip()
    if lint.returncode != 0 or messages:
        print(f"promtool check metrics: exit {lint.returncode}\n{messages}", file=sys.stderr)
        return 1
    if b"daqevstat_events_total{" not in text:
        print("the scrape has no event total:\n" + text.decode(errors="replace"), file=sys.stderr)
        return 1
    print(f"promtool check metrics: clean ({len(text.splitlines())} lines)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, RuntimeError, subprocess.SubprocessError) as failure:
        print(f"promtool check failed: {failure}", file=sys.stderr)
        sys.exit(1)
