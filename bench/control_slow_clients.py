"""Slow clients against the control API: N connections that each send a request header one byte
a second (connecting again whenever they are cut), then an authorized GET /units on a
connection of its own, five times. Prints the slowest answer for each N and how many slow
clients it takes to delay an authorized request past 1 s (or that none of the counts tried did);
then the median time of a request on a kept-alive connection and on a new one.
VARNEL_BIN_DIR names the programs' folder; --counts 8,32,... the numbers of slow clients."""

import argparse
import http.client
import os
import statistics
import re
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from varnel_peer import executable  # noqa: E402

TOKEN = "bench-token"
DRIP = b"GET /units HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"s" * 4000
BOUND_S = 1.0
TRIES = 5


def start_emulator():
    proc = subprocess.Popen([executable("varnel-emu"), "--control", "127.0.0.1:0", "--control-token", TOKEN,
                             "tcp:127.0.0.1:0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    for raw in proc.stdout:
        match = re.search(r"CONTROL http://127\.0\.0\.1:(\d+)", raw.decode("utf-8", "replace"))
        if match:
            threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
            return proc, int(match.group(1))
    raise SystemExit("varnel-emu printed no CONTROL line")


def drip(port, stop, connected):
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                connected.set()
                for byte in DRIP:
                    if stop.is_set():
                        return
                    sock.send(bytes([byte]))
                    stop.wait(1.0)
        except OSError:
            stop.wait(0.05)


def authorized_request(port):
    """Seconds until the answer's status line, or None when none came within 10 s."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(b"GET /units HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                         TOKEN.encode() + b"\r\nConnection: close\r\n\r\n")
            if not sock.recv(64).startswith(b"HTTP/1.1 200 "):
                return None
    except OSError:
        return None
    return time.monotonic() - start


def slowest_answer(count):
    proc, port = start_emulator()
    stop = threading.Event()
    flags = [threading.Event() for _ in range(count)]
    threads = [threading.Thread(target=drip, args=(port, stop, flag), daemon=True) for flag in flags]
    try:
        for thread in threads:
            thread.start()
        for flag in flags:
            flag.wait(10)
        # Every slow client has sent a few bytes and waits.
        time.sleep(2.0)
        times = []
        for _ in range(TRIES):
            times.append(authorized_request(port))
            time.sleep(0.3)
        return None if None in times else max(times)
    finally:
        stop.set()
        proc.terminate()
        proc.wait(30)
        for thread in threads:
            thread.join(5)


def keep_alive_times(count=200):
    """Median milliseconds of GET /units on one kept-alive connection and on new connections."""
    proc, port = start_emulator()
    headers = {"Authorization": "Bearer " + TOKEN}
    try:
        kept, fresh = [], []
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        for _ in range(count):
            start = time.monotonic()
            connection.request("GET", "/units", headers=headers)
            connection.getresponse().read()
            # The API closes a connection after a few requests; http.client opens the next one.
            kept.append(time.monotonic() - start)
        connection.close()
        for _ in range(count):
            start = time.monotonic()
            single = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            single.request("GET", "/units", headers=headers)
            single.getresponse().read()
            single.close()
            fresh.append(time.monotonic() - start)
        return statistics.median(kept) * 1e3, statistics.median(fresh) * 1e3
    finally:
        proc.terminate()
        proc.wait(30)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", default="1,8,16,24,32,48,64,128,256")
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    print("%-14s %s" % ("slow clients", "slowest authorized answer of %d [ms]" % TRIES))
    delayed = None
    for count in counts:
        slowest = slowest_answer(count)
        print("%-14d %s" % (count, "none within 10 s" if slowest is None else "%.1f" % (slowest * 1e3)))
        if delayed is None and (slowest is None or slowest > BOUND_S):
            delayed = count
    if delayed is None:
        print("no count tried (up to %d) delays an authorized request past %g s" % (counts[-1], BOUND_S))
    else:
        print("%d slow clients delay an authorized request past %g s" % (delayed, BOUND_S))
    kept, fresh = keep_alive_times()
    print("GET /units, median: %.2f ms on a kept-alive connection, %.2f ms on a new one" % (kept, fresh))


if __name__ == "__main__":
    main()
