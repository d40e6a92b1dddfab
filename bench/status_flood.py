#!/usr/bin/env python3
"""Whether monitoring survives local processes that hold the status listener's places.

Starts the simulator and a relay with --status on free loopback ports, then for the run's
length keeps SILENT connections open that send nothing (each opened again as soon as the
relay drops it) and SLOW ones that send one byte a second, while curl scrapes /metrics every
0.5 s with --max-time 2. Prints the share of scrapes answered as a row of scripts/bench's
table, and exits 1 below the goal.

usage: status_flood.py RELAY SIM [--seconds 30] [--silent 100] [--slow 40] [--goal 0.95]
"""
import argparse
import re
import selectors
import socket
import subprocess
import sys
import time


def started(cmd, pattern):
    """Starts cmd and returns it with the port that its first line matching pattern names."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        match = re.search(pattern, line)
        if match:
            return proc, int(match.group(1))
    proc.kill()
    sys.exit(f"{cmd[0]} did not come up")


class Holders:
    """The connections that hold places: silent ones reopened when dropped, slow ones."""

    def __init__(self, port, silent, slow):
        self.port = port
        self.selector = selectors.DefaultSelector()
        self.reopened = 0
        for _ in range(silent):
            self.open(slow=False)
        self.slow = [self.open(slow=True) for _ in range(slow)]

    def open(self, slow):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", self.port))
        self.selector.register(s, selectors.EVENT_READ, slow)
        return s

    def tick(self, timeout):
        """Reopens what the relay has dropped, for up to timeout seconds."""
        for key, _ in self.selector.select(timeout):
            try:
                dropped = key.fileobj.recv(4096) == b""
            except OSError:
                dropped = True
            if dropped:
                self.selector.unregister(key.fileobj)
                key.fileobj.close()
                self.reopened += 1
                replacement = self.open(key.data)
                if key.data:
                    self.slow = [replacement if s is key.fileobj else s for s in self.slow]

    def trickle(self):
        for s in self.slow:
            try:
                s.send(b"G")
            except OSError:
                pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("relay")
    ap.add_argument("sim")
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--silent", type=int, default=100)
    ap.add_argument("--slow", type=int, default=40)
    ap.add_argument("--goal", type=float, default=0.95)
    args = ap.parse_args()

    sim, sim_port = started([args.sim, "--port", "0"], r"listening on [\d.]+:(\d+)")
    relay, status_port = started(
        [args.relay, "--listen", "127.0.0.1", "--port", "0", "--status", "127.0.0.1:0",
         "127.0.0.1", str(sim_port)], r"Status on [\d.]+:(\d+)")
    try:
        holders = Holders(status_port, args.silent, args.slow)
        url = f"http://127.0.0.1:{status_port}/metrics"
        scrapes = answered = 0
        start = time.monotonic()
        next_scrape = next_byte = start
        while time.monotonic() - start < args.seconds:
            now = time.monotonic()
            if now >= next_byte:
                holders.trickle()
                next_byte += 1
            if now >= next_scrape:
                scrape = subprocess.Popen(["curl", "-s", "-o", "/dev/null", "--max-time", "2",
                                           "-w", "%{http_code}", url], stdout=subprocess.PIPE,
                                          text=True)
                while scrape.poll() is None:
                    holders.tick(0.01)
                scrapes += 1
                answered += scrape.stdout.read() == "200"
                next_scrape += 0.5
            holders.tick(max(0, min(next_scrape, next_byte) - time.monotonic()))
        share = answered / scrapes
        met = "yes" if share >= args.goal else "no"
        print(f"| status: scrapes answered within 2 s, {args.silent} silent connections reopened "
              f"as dropped ({holders.reopened} times) and {args.slow} sending a byte a second "
              f"(%) | {100 * share:.1f} | {answered} of {scrapes} | | >= {100 * args.goal:.0f} "
              f"| {met} |")
        return 0 if share >= args.goal else 1
    finally:
        relay.kill()
        sim.kill()


if __name__ == "__main__":
    sys.exit(main())
