#!/usr/bin/env python3
"""A server secured as on a control network, met by real clients.

Starts `daqevstat shell` serving over TLS with client certificates required
and two users (a reader for Prometheus, a writer), all from a web
configuration file, with certificates made for the run by openssl. Then:
  - the tool's own client: get and set over https with --cacert, --cert,
    --key and --user, and one-line errors without the CA or the certificate;
  - curl: a scrape with the client certificate and the reader's password is
    answered, one without the certificate is refused in the handshake, one
    without the password gets 401; the reader may not write, the writer may;
    plain HTTP to the port is told to use https;
  - openssl s_client: TLS 1.1 is refused (the client allowed to offer it),
    TLS 1.2 and 1.3 are taken;
  - a real Prometheus scrapes it with scheme https, tls_config and basic_auth:
    up is 1 and, the source paused, the event counter it stored is exactly
    the server's;
  - the certificate is rotated on disk: a connection open across the
    rotation goes on being served, new ones get the new chain, and a key
    that does not match keeps the chain before it, with one line logged.

Every process is started and stopped by its process id; every wait is
bounded. Exits 77 (skipped) without curl, openssl or prometheus.

Usage: tls_network_test.py --tool PATH --certs SCRIPT
"""

import argparse
import ctypes
import http.client
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "monitoring"))
from prometheus_support import Failure, Process, expect, free_port, wait_until  # noqa: E402

SKIP = 77
DEADLINE_S = 60
READER, READER_PASSWORD = "prometheus", "scrape-secret"
WRITER, WRITER_PASSWORD = "operator", "write-secret"


def wait_for(what, probe, timeout, interval=0.2):
    return wait_until(what, probe, time.monotonic() + timeout, interval)


def bcrypt(password):
    lib = ctypes.CDLL("libcrypt.so.1")
    lib.crypt_gensalt.restype = ctypes.c_char_p
    lib.crypt.restype = ctypes.c_char_p
    salt = lib.crypt_gensalt(b"$2y$", 5, None, 0)
    return lib.crypt(password.encode(), salt).decode()


def run(args, timeout=10):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)


class Run:
    def __init__(self, tool, folder):
        self.tool_path = tool
        self.dir = folder
        self.server = None
        self.prometheus = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def curl(self, *args, cert=True, user=READER, password=READER_PASSWORD, target="/metrics"):
        command = ["curl", "-sS", "--max-time", "5", "--cacert", self.path("ca.pem"),
                   "-o", "-", "-w", "\n%{http_code}"]
        if cert:
            command += ["--cert", self.path("client.pem"), "--key", self.path("client.key")]
        if user:
            command += ["-u", f"{user}:{password}"]
        result = run(command + list(args) + [self.url + target.lstrip("/")])
        out = result.stdout.decode()
        body, _, code = out.rpartition("\n")
        return result.returncode, int(code or 0), body, result.stderr.decode()

    def s_client(self, *args):
        command = ["openssl", "s_client", "-connect", self.address, "-CAfile", self.path("ca.pem"),
                   "-cert", self.path("client.pem"), "-key", self.path("client.key"),
                   "-verify_return_error", "-brief"] + list(args)
        result = subprocess.run(command, input=b"", capture_output=True, timeout=10)
        return result.returncode, result.stdout.decode() + result.stderr.decode()

    def served_subject(self):
        _, text = self.s_client()
        match = re.search(r"Peer certificate: .*CN ?= ?([\w-]+)", text)
        return match.group(1) if match else text

    def start_server(self):
        shutil.copy(self.path("chain.pem"), self.path("live.pem"))
        shutil.copy(self.path("server.key"), self.path("live.key"))
        with open(self.path("web.yml"), "w") as f:
            f.write(f"""tls_server_config:
  cert_file: live.pem
  key_file: live.key
  client_ca_file: ca.pem
  client_auth_type: RequireAndVerifyClientCert
http_server_config:
  headers:
    Strict-Transport-Security: max-age=31536000
basic_auth_users:
  {READER}: {bcrypt(READER_PASSWORD)}
  {WRITER}: {bcrypt(WRITER_PASSWORD)}
basic_auth_writers: [{WRITER}]
""")
        self.server = Process("server", [
            self.tool_path, "shell", "--ideal", "--rate", "1000", "--listen", "127.0.0.1:0",
            "--web-config-file", self.path("web.yml")], stdin=subprocess.PIPE)
        pattern = re.compile(r"listening on https://(127\.0\.0\.1:\d+)/")

        def address():
            if self.server.proc.poll() is not None:
                raise Failure(f"server ended at start: {self.server.lines[-5:]}")
            for line in list(self.server.lines):
                if pattern.search(line):
                    return pattern.search(line).group(1)
            return None

        self.address = wait_for("the server to listen", address, 15, 0.05)
        self.url = f"https://{self.address}/"

    def check_curl(self):
        status, code, body, _ = self.curl()
        expect(status == 0 and code == 200 and "daqevstat_events_total" in body,
               "curl with the client certificate and the reader's password scrapes /metrics")
        status, code, _, error = self.curl(cert=False)
        expect(status != 0 and code == 0,
               f"curl without a client certificate is refused in the handshake ({error.strip()})")
        status, code, _, _ = self.curl(user=None)
        expect(code == 401, "curl without a password gets 401")
        status, code, _, _ = self.curl(password="wrong")
        expect(code == 401, "curl with a wrong password gets 401")
        put = ["-X", "PUT", "-H", "Content-Type: application/json", "--data", '{"value": 30}']
        target = "/api/v1/properties/EVSTAT.STAT.EV.LOST.PERIOD"
        _, code, _, _ = self.curl(*put, target=target)
        expect(code == 403, "the reader may not write (403)")
        _, code, body, _ = self.curl(*put, user=WRITER, password=WRITER_PASSWORD, target=target)
        expect(code == 200 and '"value":30' in body, "the writer may write")
        _, code, _, _ = self.curl("-I")
        status, code, _, _ = self.curl("--tls-max", "1.1", "--ciphers", "DEFAULT@SECLEVEL=0")
        expect(status != 0, "curl offering at most TLS 1.1 is refused")
        result = run(["curl", "-sS", "--max-time", "5", "http://" + self.address + "/metrics"])
        expect(b"this port speaks TLS" in result.stdout, "plain HTTP to the port is told to use TLS")

    def tool(self, *args, password=READER_PASSWORD):
        env = dict(os.environ, DAQEVSTAT_PASSWORD=password)
        env.pop("DAQEVSTAT_SERVER", None)
        result = subprocess.run([self.tool_path] + list(args), env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=15)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def check_client(self):
        files = ["--cacert", self.path("ca.pem"), "--cert", self.path("client.pem"),
                 "--key", self.path("client.key")]
        status, out, err = self.tool("get", "--server", self.url, *files, "--user", READER,
                                     "EVSTAT.STAT.ON")
        expect(status == 0 and out.strip() == "EVSTAT.STAT.ON = 1",
               f"daqevstat get over https with a certificate and a password ({err.strip()})")
        with open(self.path("writer-password"), "w") as f:
            f.write(WRITER_PASSWORD + "\n")
        status, _, err = self.tool("set", "--server", self.url, *files, "--user", WRITER,
                                   "--password-file", self.path("writer-password"),
                                   "EVSTAT.STAT.EV.LOST.PERIOD", "40", password="")
        expect(status == 0, f"daqevstat set as the writer, the password from a file ({err.strip()})")
        status, _, err = self.tool("get", "--server", self.url, "--user", READER, "EVSTAT.STAT.ON")
        expect(status == 1 and "unknown CA" in err and len(err.splitlines()) == 1,
               f"without --cacert one line names the unknown CA: {err.strip()}")
        status, _, err = self.tool("get", "--server", self.url, "--cacert", self.path("ca.pem"),
                                   "--user", READER, "EVSTAT.STAT.ON")
        expect(status == 1 and "--cert" in err and len(err.splitlines()) == 1,
               f"without a client certificate one line says one may be required: {err.strip()}")
        status, _, err = self.tool("get", "--server", self.url, *files, "--user", READER,
                                   "EVSTAT.STAT.ON", password="wrong")
        expect(status != 0 and "401" in err, f"a wrong password is told: {err.strip()}")

    def check_versions(self):
        status, text = self.s_client("-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0")
        expect(status != 0 and "Protocol version: TLSv1.1" not in text,
               "openssl s_client -tls1_1 is refused")
        for option, name in (("-tls1_2", "TLSv1.2"), ("-tls1_3", "TLSv1.3")):
            status, text = self.s_client(option)
            expect(status == 0 and f"Protocol version: {name}" in text,
                   f"openssl s_client {option} is taken")

    def check_prometheus(self):
        with open(self.path("password"), "w") as f:
            f.write(READER_PASSWORD + "\n")
        config = {
            "global": {"scrape_interval": "1s", "scrape_timeout": "1s"},
            "scrape_configs": [{
                "job_name": "secured",
                "scheme": "https",
                "tls_config": {"ca_file": self.path("ca.pem"), "cert_file": self.path("client.pem"),
                               "key_file": self.path("client.key")},
                "basic_auth": {"username": READER, "password_file": self.path("password")},
                "static_configs": [{"targets": [self.address]}],
            }],
        }
        with open(self.path("prometheus.yml"), "w") as f:
            json.dump(config, f)
        port = free_port()
        self.prometheus = Process("prometheus", [
            "prometheus", f"--config.file={self.path('prometheus.yml')}",
            f"--storage.tsdb.path={self.path('data')}",
            f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"])
        api = f"http://127.0.0.1:{port}/api/v1/query?query="

        def query(expression):
            try:
                with urllib.request.urlopen(api + urllib.parse.quote(expression), timeout=2) as r:
                    result = json.load(r)["data"]["result"]
                    return result[0]["value"][1] if result else None
            except OSError:
                return None

        expect(wait_for("up == 1", lambda: query("up") == "1", 20) == True,
               "Prometheus scrapes the server over https with a client certificate and a password")
        self.server.proc.stdin.write(b"pause\n")
        self.server.proc.stdin.flush()
        time.sleep(0.5)
        _, _, body, _ = self.curl()
        match = re.search(r"^daqevstat_events_total\{[^}]*\} (\d+)$", body, re.M)
        events = match.group(1)
        stored = wait_for("the paused counter in Prometheus",
                          lambda: query("daqevstat_events_total") == events and events, 10)
        expect(stored == events and int(events) > 0,
               f"Prometheus stored the server's event count exactly ({events})")

    def check_rotation(self):
        context = ssl.create_default_context(cafile=self.path("ca.pem"))
        context.load_cert_chain(self.path("client.pem"), self.path("client.key"))
        host, port = self.address.split(":")
        kept = http.client.HTTPSConnection(host, int(port), context=context, timeout=5)
        headers = {"Authorization": "Basic " + __import__("base64").b64encode(
            f"{READER}:{READER_PASSWORD}".encode()).decode()}

        def kept_get():
            kept.request("GET", "/api/v1/properties/EVSTAT.STAT.ON", headers=headers)
            reply = kept.getresponse()
            reply.read()
            return reply.status

        expect(kept_get() == 200, "a kept-alive connection is served before the rotation")
        expect(self.served_subject() == "daqevstat-test-server", "the first chain is served")
        # As a certificate manager does: the new files written aside, then
        # renamed over the old ones.
        for source, live in (("server2.pem", "live.pem"), ("server2.key", "live.key")):
            shutil.copy(self.path(source), self.path(live + ".new"))
            os.replace(self.path(live + ".new"), self.path(live))
        expect(self.served_subject() == "daqevstat-test-server-2",
               "after the rotation new connections get the new chain")
        expect(kept_get() == 200, "the connection open across the rotation is still served")
        kept.close()
        logged_before = len([l for l in self.server.lines if "do not load" in l])
        shutil.copy(self.path("other.key"), self.path("live.key.new"))
        os.replace(self.path("live.key.new"), self.path("live.key"))
        expect(self.served_subject() == "daqevstat-test-server-2",
               "a key that does not match keeps the chain before it")
        def logged():
            return [l for l in self.server.lines if "do not load" in l][logged_before:]

        wait_for("the line about the files that do not load", logged, 5)
        time.sleep(0.3)
        expect(len(logged()) == 1, f"and logs one line: {logged()}")

    def stop(self):
        for process in (self.prometheus, self.server):
            if process is not None:
                process.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--certs", required=True)
    args = parser.parse_args()
    for program in ("curl", "openssl", "prometheus"):
        if shutil.which(program) is None:
            print(f"skipped: no {program}")
            return SKIP
    folder = tempfile.mkdtemp(prefix="daqevstat-tls-")
    test = Run(args.tool, folder)
    timer = threading.Timer(DEADLINE_S, lambda: os.kill(os.getpid(), signal.SIGTERM))
    timer.start()
    try:
        subprocess.run([args.certs, folder], check=True, timeout=30)
        test.start_server()
        test.check_curl()
        test.check_versions()
        test.check_client()
        test.check_rotation()
        test.check_prometheus()
        print("all checks passed")
        return 0
    except Failure as e:
        print(f"FAILED: {e}")
        if test.server is not None:
            print("server said:", *test.server.lines[-10:], sep="\n  ")
        return 1
    finally:
        timer.cancel()
        test.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
