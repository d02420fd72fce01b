"""How close a learned unit's timing comes to the unit it was learned from.

The stand-in bench unit of the e2e tests (replies 3-8 ms late, uploads paced 15 ms) is tapped
with varnel-pc tap while a PC-side peer sends 200 requests of each command below and a few
uploads; varnel-pc learn turns the capture into a scenario; varnel-emu serves it and the same
peer measures it from the PC side. Prints per command the median and 90th percentile of the
latency the capture shows beside those measured of the learned unit, and the upload's pace.

    VARNEL_BIN_DIR=build/bin /usr/bin/python3 bench/learn_timing.py [--requests N] [--uploads N]
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from varnel_peer import BenchUnit, Emulator, FrameParser, Peer, PtyPair, build_frame, executable  # noqa: E402

COMMANDS = [(0x02, b"", "get-time"), (0x06, b"", "get-device-name"), (0x09, b"\x00", "set-lock-status"),
            (0x11, bytes.fromhex("0001B0E2CAD6000000000000000003E805"), "import-torque-mode-data")]
RECORDS = 0x0C


def percentile(samples, q):
    ordered = sorted(samples)
    at = q * (len(ordered) - 1)
    below = int(at)
    above = min(below + 1, len(ordered) - 1)
    return ordered[below] + (ordered[above] - ordered[below]) * (at - below)


def exchange(peer, command, content, frames):
    """Milliseconds from the request's last byte to the reply's first, and from the reply's first
    frame to its last."""
    parser = FrameParser()
    peer.write(build_frame(command, content))
    sent = time.perf_counter()
    first = None
    done = []
    while len(done) < frames:
        peer.port.timeout = 5
        data = peer.port.read(max(1, peer.port.in_waiting))
        if not data:
            raise AssertionError("no reply to 0x%02X" % command)
        now = time.perf_counter()
        first = first or now
        done += [now] * len(parser.feed(data))
    return (first - sent) * 1000.0, (done[-1] - done[0]) * 1000.0


def drive(peer, requests, uploads):
    """Per command its latencies, and the mean pause of the uploads, as the PC side sees them."""
    seen = {name: [] for _, _, name in COMMANDS}
    for _ in range(requests):
        for command, content, name in COMMANDS:
            seen[name].append(exchange(peer, command, content, 1)[0])
            time.sleep(0.002)
    pace = []
    for _ in range(uploads):
        pace.append(exchange(peer, RECORDS, b"", BenchUnit.RECORDS + 2)[1] / (BenchUnit.RECORDS + 1))
    return seen, sum(pace) / len(pace)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--uploads", type=int, default=10)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="varnel-learn-timing-")
    processes = []
    try:
        os.mkdir(os.path.join(work, "pc"))
        os.mkdir(os.path.join(work, "unit"))
        pc_side, unit_side = PtyPair(os.path.join(work, "pc")), PtyPair(os.path.join(work, "unit"))
        processes += [pc_side, unit_side]
        bench = BenchUnit(unit_side.emu_path)
        capture = os.path.join(work, "bench.pcap")
        tap = subprocess.Popen([executable("varnel-pc"), "tap", "--capture", capture, pc_side.emu_path,
                                unit_side.peer_path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        peer = Peer(pc_side.peer_path)
        bench_seen, bench_pace = drive(peer, args.requests, args.uploads)
        peer.close()
        tap.send_signal(signal.SIGINT)
        tap.wait(30)
        bench.stop()

        learned = subprocess.run([executable("varnel-pc"), "learn", "--out", work, "--report",
                                  os.path.join(work, "report.json"), capture], capture_output=True, text=True)
        if learned.returncode != 0:
            raise SystemExit("learn failed: " + learned.stderr)
        with open(os.path.join(work, "report.json")) as f:
            report = json.load(f)
        captured = {row["command"]: row["latency_ms"] for row in report["commands"] if "latency_ms" in row}
        with open(os.path.join(work, "learned.json")) as f:
            pauses = json.load(f)["timing"]["records"]["interval_ms"]

        served = PtyPair(os.path.join(work))
        processes.append(served)
        emulator = Emulator(["--scenario", os.path.join(work, "learned.json"), served.emu_path], cwd=work)
        processes.append(emulator)
        emulator.wait_ready()
        peer = Peer(served.peer_path)
        learned_seen, learned_pace = drive(peer, args.requests, args.uploads)
        peer.close()

        print("latency in ms, %d requests a command; capture: as varnel-pc tap stamped it; "
              "PC side: as the peer measured it" % args.requests)
        print("%-26s %21s %21s %21s  %s" % ("command", "capture median / p90", "bench PC side",
                                             "learned PC side", "learned vs capture"))
        for _, _, name in COMMANDS:
            cap = captured[name]
            med, p90 = percentile(learned_seen[name], 0.5), percentile(learned_seen[name], 0.9)
            bmed, bp90 = percentile(bench_seen[name], 0.5), percentile(bench_seen[name], 0.9)
            ok_med = abs(med - cap["median"]) <= max(0.5, 0.10 * cap["median"])
            ok_p90 = abs(p90 - cap["p90"]) <= max(1.0, 0.15 * cap["p90"])
            print("%-26s %9.3f / %9.3f %9.3f / %9.3f %9.3f / %9.3f  median %+.3f (%s), p90 %+.3f (%s)"
                  % (name, cap["median"], cap["p90"], bmed, bp90, med, p90, med - cap["median"],
                     "within" if ok_med else "OUTSIDE", p90 - cap["p90"], "within" if ok_p90 else "OUTSIDE"))
        captured_mean = sum(pauses) / len(pauses)
        print("upload pause: capture mean %.3f ms; bench PC side mean %.3f ms; learned PC side mean %.3f ms "
              "(%+.2f %% of the capture's)" % (captured_mean, bench_pace, learned_pace,
                                                100.0 * (learned_pace - captured_mean) / captured_mean))
    finally:
        for process in reversed(processes):
            if isinstance(process, Emulator):
                process.cleanup()
            else:
                process.kill()
        shutil.rmtree(work, True)


if __name__ == "__main__":
    main()
