"""How close a learned unit's timing comes to the unit it was learned from.

The stand-in bench unit of the e2e tests (replies 3-8 ms late, uploads paced 15 ms) is tapped
with varnel-pc tap while a PC-side peer sends 200 requests of each command below and a few
uploads; varnel-pc learn turns the capture into a scenario; varnel-emu serves it and the same
peer drives it through the tap again. Prints per command the median and 90th percentile of the
latency both captures show (as learn reports them) and the peer measured, and the upload's pace.

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


def tapped(work, name, requests, uploads, start_unit):
    """Drives a unit through varnel-pc tap: its capture, learned (report and scenario in
    work/name), and the PC side's figures. start_unit(port) starts the unit on that pty end."""
    os.mkdir(os.path.join(work, name))
    pc_dir = os.path.join(work, name, "pc")
    os.mkdir(pc_dir)
    pc_side = PtyPair(pc_dir)
    unit_dir = os.path.join(work, name, "unit")
    os.mkdir(unit_dir)
    unit_side = PtyPair(unit_dir)
    stop_unit = start_unit(unit_side.emu_path)
    capture = os.path.join(work, name, "capture.pcap")
    tap = subprocess.Popen([executable("varnel-pc"), "tap", "--capture", capture, pc_side.emu_path,
                            unit_side.peer_path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        peer = Peer(pc_side.peer_path)
        seen, pace = drive(peer, requests, uploads)
        peer.close()
    finally:
        tap.send_signal(signal.SIGINT)
        tap.wait(30)
        stop_unit()
        unit_side.kill()
        pc_side.kill()
    learned = subprocess.run([executable("varnel-pc"), "learn", "--out", os.path.join(work, name), "--report",
                              os.path.join(work, name, "report.json"), capture], capture_output=True, text=True)
    if learned.returncode != 0:
        raise SystemExit("learn failed: " + learned.stderr)
    with open(os.path.join(work, name, "report.json")) as f:
        report = json.load(f)
    with open(os.path.join(work, name, "learned.json")) as f:
        pauses = json.load(f)["timing"]["records"]["interval_ms"]
    latency = {row["command"]: row["latency_ms"] for row in report["commands"] if "latency_ms" in row}
    return latency, sum(pauses) / len(pauses), seen, pace


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--uploads", type=int, default=10)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="varnel-learn-timing-")
    try:
        def bench_unit(port):
            unit = BenchUnit(port)
            return unit.stop

        own_capture = os.path.join(work, "own.pcap")

        def learned_unit(port, capture=()):
            emulator = Emulator(["--scenario", os.path.join(work, "bench", "learned.json")] + list(capture) + [port],
                                cwd=work)
            emulator.wait_ready()
            return emulator.cleanup

        bench = tapped(work, "bench", args.requests, args.uploads, bench_unit)
        # The learned unit also captures its own line: the times it kept, without the line's.
        learned = tapped(work, "learned", args.requests, args.uploads,
                         lambda port: learned_unit(port, ["--capture", own_capture]))
        report = os.path.join(work, "own.json")
        subprocess.run([executable("varnel-pc"), "learn", "--out", os.path.join(work, "own"), "--report", report,
                        own_capture], capture_output=True, check=True)
        with open(report) as f:
            own = {row["command"]: row["latency_ms"] for row in json.load(f)["commands"] if "latency_ms" in row}
        # As a PC program meets it: the learned unit on the line, no tap between.
        served = PtyPair(work)
        stop = learned_unit(served.emu_path)
        try:
            peer = Peer(served.peer_path)
            direct, direct_pace = drive(peer, args.requests, args.uploads)
            peer.close()
        finally:
            stop()
            served.kill()

        print("latency in ms from a request's last byte to the reply's first, %d requests a command, median / p90"
              % args.requests)
        print("capture: as varnel-pc tap stamped it between the PC side and the unit (learn's report); its own: "
              "as the learned unit's --capture stamped it; PC side: as the peer measured it")
        print("%-24s %19s %19s %19s %19s %19s %19s" % (
            "command", "bench, capture", "learned, capture", "learned, its own", "bench, PC side",
            "learned, PC side", "learned, no tap"))
        for _, _, name in COMMANDS:
            a, b = bench[0][name], learned[0][name]
            print("%-24s %8.3f / %8.3f %8.3f / %8.3f %8.3f / %8.3f %8.3f / %8.3f %8.3f / %8.3f %8.3f / %8.3f" % (
                name, a["median"], a["p90"], b["median"], b["p90"], own[name]["median"], own[name]["p90"],
                percentile(bench[2][name], 0.5), percentile(bench[2][name], 0.9),
                percentile(learned[2][name], 0.5), percentile(learned[2][name], 0.9),
                percentile(direct[name], 0.5), percentile(direct[name], 0.9)))
        print("\nlearned vs bench, both as captured (limits: median 0.5 ms or 10 %, p90 1 ms or 15 %):")
        for _, _, name in COMMANDS:
            a, b = bench[0][name], learned[0][name]
            ok_med = abs(b["median"] - a["median"]) <= max(0.5, 0.10 * a["median"])
            ok_p90 = abs(b["p90"] - a["p90"]) <= max(1.0, 0.15 * a["p90"])
            print("%-24s median %+.3f ms (%s), p90 %+.3f ms (%s)" % (
                name, b["median"] - a["median"], "within" if ok_med else "OUTSIDE",
                b["p90"] - a["p90"], "within" if ok_p90 else "OUTSIDE"))
        print("\nupload pause, mean ms: bench %.3f captured, %.3f PC side; learned %.3f captured, %.3f PC side, "
              "%.3f no tap; learned vs bench as captured %+.2f %%" % (
                  bench[1], bench[3], learned[1], learned[3], direct_pace,
                  100.0 * (learned[1] - bench[1]) / bench[1]))
    finally:
        shutil.rmtree(work, True)


if __name__ == "__main__":
    main()
