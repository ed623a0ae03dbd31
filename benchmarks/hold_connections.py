#!/usr/bin/env python3
"""Holds many idle TCP connections open to an HTTP server, as a crowd of idle
or stalled clients would, while a load generator measures the server.

Each connection is opened and then left alone (--kind silent: not a byte sent)
or used for one request whose answer is read, and then left alone (--kind
after-request: an idle keep-alive connection), or sends a request's header one
byte a second and never finishes it (--kind slow). A connection the server
closes is opened again after --reopen-delay seconds (1 by default), so the
crowd stays as large as the server lets it be. Connections come from --peers source addresses 127.0.0.2,
127.0.0.3, ... in turn, so that a bound per peer address meets the crowd and
not the load generator on 127.0.0.1.

Prints "ready held=N" once the first round of connects has settled (or after
--connect-seconds), and on SIGTERM, SIGINT or after --max-seconds a line
"held=N opened=N closed_by_server=N failed=N". Loopback only.
"""

import argparse
import errno
import ipaddress
import selectors
import signal
import socket
import sys
import time

SLOW_HEADER = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 4000


class Slot:
    def __init__(self, index):
        self.index = index
        self.sock = None
        self.connected = False
        self.reopen_at = 0.0
        self.sent = 0
        self.next_byte_at = 0.0


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("host", help="loopback address of the server")
    parser.add_argument("port", type=int)
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--peers", type=int, default=10,
                        help="source addresses to spread the connections over (IPv4 only)")
    parser.add_argument("--kind", choices=["silent", "after-request", "slow"], default="silent")
    parser.add_argument("--reopen-delay", type=float, default=1.0)
    parser.add_argument("--connect-seconds", type=float, default=5.0)
    parser.add_argument("--max-seconds", type=float, default=300.0)
    args = parser.parse_args()
    address = ipaddress.ip_address(args.host)
    if not address.is_loopback:
        parser.error("only loopback addresses are allowed")
    if args.count < 1 or args.count > 5000:
        parser.error("--count must be 1 to 5000")
    if args.peers < 1 or args.peers > 250:
        parser.error("--peers must be 1 to 250")
    return args, address


def main():
    args, address = parse_args()
    family = socket.AF_INET6 if address.version == 6 else socket.AF_INET
    request = (f"GET /api/v1/locations HTTP/1.1\r\nHost: {args.host}:{args.port}\r\n\r\n"
               .encode())
    selector = selectors.DefaultSelector()
    slots = [Slot(i) for i in range(args.count)]
    counts = {"opened": 0, "closed_by_server": 0, "failed": 0}
    stopping = []

    def stop(_signum, _frame):
        stopping.append(True)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def close(slot, now):
        if slot.sock is not None:
            selector.unregister(slot.sock)
            slot.sock.close()
        slot.sock = None
        slot.connected = False
        slot.reopen_at = now + args.reopen_delay

    def open_slot(slot):
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setblocking(False)
        try:
            if family == socket.AF_INET and args.peers > 1:
                sock.bind((f"127.0.0.{2 + slot.index % args.peers}", 0))
            err = sock.connect_ex((args.host, args.port))
        except OSError as e:
            err = e.errno
        if err not in (0, errno.EINPROGRESS):
            sock.close()
            counts["failed"] += 1
            slot.reopen_at = time.monotonic() + args.reopen_delay
            return
        slot.sock = sock
        slot.sent = 0
        slot.next_byte_at = 0.0
        selector.register(sock, selectors.EVENT_WRITE, slot)

    def on_event(slot, now):
        if not slot.connected:
            err = slot.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if err != 0:
                counts["failed"] += 1
                close(slot, now)
                return
            slot.connected = True
            counts["opened"] += 1
            selector.modify(slot.sock, selectors.EVENT_READ, slot)
            if args.kind == "after-request":
                try:
                    slot.sock.send(request)
                except OSError:
                    counts["closed_by_server"] += 1
                    close(slot, now)
            return
        try:
            data = slot.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            counts["closed_by_server"] += 1
            close(slot, now)

    def held():
        return sum(1 for s in slots if s.connected)

    for slot in slots:
        open_slot(slot)
    start = time.monotonic()
    ready_reported = False
    while not stopping and time.monotonic() - start < args.max_seconds:
        now = time.monotonic()
        for slot in slots:
            if slot.sock is None and now >= slot.reopen_at:
                open_slot(slot)
            elif (args.kind == "slow" and slot.connected and now >= slot.next_byte_at
                  and slot.sent < len(SLOW_HEADER)):
                try:
                    slot.sock.send(SLOW_HEADER[slot.sent:slot.sent + 1])
                    slot.sent += 1
                    slot.next_byte_at = now + 1.0
                except OSError:
                    counts["closed_by_server"] += 1
                    close(slot, now)
        for key, _ in selector.select(timeout=0.05 if args.kind == "slow" else 0.2):
            on_event(key.data, time.monotonic())
        if not ready_reported:
            pending = sum(1 for s in slots if s.sock is not None and not s.connected)
            if pending == 0 or time.monotonic() - start >= args.connect_seconds:
                print(f"ready held={held()}", flush=True)
                ready_reported = True
    if not ready_reported:
        print(f"ready held={held()}", flush=True)
    print(f"held={held()} opened={counts['opened']} closed_by_server={counts['closed_by_server']} "
          f"failed={counts['failed']}", flush=True)
    for slot in slots:
        if slot.sock is not None:
            slot.sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
