#!/usr/bin/env python3
"""Scrapes /metrics again and again from one loopback source address, each
scrape on a new connection with its own deadline, as a Prometheus on another
host would while a crowd (benchmarks/hold_connections.py) holds the server's
connections.

Prints one line: scrapes, how many were answered 200 within the deadline,
the other outcomes by kind, and the latency of the answered ones (median,
p99, max, in ms). Loopback only; the count and every wait are bounded.
"""

import argparse
import ipaddress
import socket
import sys
import time


def scrape(host, port, source, deadline):
    start = time.monotonic()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(deadline)
    try:
        sock.bind((source, 0))
        sock.connect((host, port))
        sock.sendall(f"GET /metrics HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"
                     .encode())
        data = b""
        while time.monotonic() - start < deadline:
            sock.settimeout(max(0.001, deadline - (time.monotonic() - start)))
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        return "timeout", None
    except OSError:
        return "error", None
    finally:
        sock.close()
    elapsed = time.monotonic() - start
    if elapsed >= deadline:
        return "timeout", None
    status = data[9:12].decode(errors="replace") if data.startswith(b"HTTP/1.1 ") else "none"
    return status, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("--source", default="127.0.0.6")
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--interval", type=float, default=0.2)
    parser.add_argument("--deadline", type=float, default=1.0)
    args = parser.parse_args()
    for address in (args.host, args.source):
        if not ipaddress.ip_address(address).is_loopback:
            parser.error("only loopback addresses are allowed")
    if args.count < 1 or args.count > 10000:
        parser.error("--count must be 1 to 10000")
    outcomes = {}
    latencies = []
    for _ in range(args.count):
        status, elapsed = scrape(args.host, args.port, args.source, args.deadline)
        outcomes[status] = outcomes.get(status, 0) + 1
        if status == "200":
            latencies.append(elapsed * 1000)
        time.sleep(args.interval)
    latencies.sort()

    def at(q):
        return latencies[min(len(latencies) - 1, int(q * len(latencies)))] if latencies else 0.0

    others = " ".join(f"{k}={v}" for k, v in sorted(outcomes.items()) if k != "200")
    print(f"scrapes={args.count} answered_200={outcomes.get('200', 0)} {others} "
          f"p50_ms={at(0.5):.1f} p99_ms={at(0.99):.1f} max_ms={latencies[-1] if latencies else 0:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
