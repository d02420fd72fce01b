"""varnel-emu under load it must shrug off, with the figures printed:
  fairness  one client floods its unit with back-to-back get-time while another client takes
            round trips from a second unit of the same process: the second unit's latency,
            quiet and during the flood, the log written and the memory
  scenario  a large records.csv (default 63 MiB) loaded through the control API while
            get-time keeps being asked of every unit: the longest wait, the load's time, memory
  rfc2217   a client that sends signature requests and never reads: what it got to send,
            and the memory
Usage: load_bench.py [fairness|scenario|rfc2217]... (all when none); VARNEL_BIN_DIR names the
folder of varnel-emu, VARNEL_LOAD_UNITS the units (default 50), VARNEL_LOAD_CSV_MIB the CSV."""

import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from varnel_peer import build_frame, executable  # noqa: E402

GET_TIME = build_frame(0x02)
REPLY_SIZE = 16
UNITS = int(os.environ.get("VARNEL_LOAD_UNITS", "50"))
CSV_MIB = float(os.environ.get("VARNEL_LOAD_CSV_MIB", "63"))
SIGNATURE = bytes([255, 250, 44, 0, 255, 240])


class Emulator:
    def __init__(self, args, cwd):
        self.proc = subprocess.Popen([executable("varnel-emu")] + args, cwd=cwd, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.listens, self.api = [], None
        units = sum(1 for a in args if a.startswith(("tcp:", "rfc2217:")))
        opened = 0
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace")
            match = re.search(r"LISTEN \w+:127\.0\.0\.1:(\d+)", line)
            if match:
                self.listens.append(int(match.group(1)))
            match = re.search(r"CONTROL (http://\S+)", line)
            if match:
                self.api = match.group(1)
            opened += line.rstrip().endswith("打开串口成功")
            if opened == units and ("--control" not in args or self.api):
                break
        # The log keeps flowing: drained, so the unit never blocks on a full pipe.
        threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True).start()

    def rss_mb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS"):
                    return int(line.split()[1]) / 1024
        return 0.0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=20)


def round_trip(sock):
    start = time.perf_counter()
    sock.sendall(GET_TIME)
    got = b""
    while len(got) < REPLY_SIZE:
        chunk = sock.recv(64)
        if not chunk:
            raise SystemExit("a unit closed its line")
        got += chunk
    return (time.perf_counter() - start) * 1000


def percentiles(values):
    values = sorted(values)
    return (statistics.median(values), values[min(len(values) - 1, int(len(values) * 0.99))], values[-1])


def log_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder) if n.endswith(".log"))


FLOOD = """
import select, socket, sys, time
sock = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
request, burst = bytes.fromhex(sys.argv[2]), bytes.fromhex(sys.argv[2]) * 2000
sent = got = 0
end = time.monotonic() + float(sys.argv[3])
while time.monotonic() < end:
    readable, writable, _ = select.select([sock], [sock], [], 0.2)
    if readable:
        got += len(sock.recv(1 << 20))
    if writable:
        sent += sock.send(burst) // len(request)
print(sent, got)
"""


def fairness(folder):
    emu = Emulator(["tcp:127.0.0.1:0"] * UNITS, folder)
    probe = socket.create_connection(("127.0.0.1", emu.listens[1]))
    for _ in range(50):
        round_trip(probe)
    quiet = [round_trip(probe) for _ in range(500)]
    log_before, rss_before = log_bytes(folder), emu.rss_mb()
    seconds = 6.0
    # A process of its own, so the probe below never waits for it.
    flood = subprocess.Popen([sys.executable, "-c", FLOOD, str(emu.listens[0]), GET_TIME.hex(), str(seconds)],
                             stdout=subprocess.PIPE)
    time.sleep(0.5)
    loaded, peak, start = [], rss_before, time.monotonic()
    while time.monotonic() - start < seconds - 1.0:
        loaded.append(round_trip(probe))
        peak = max(peak, emu.rss_mb())
        time.sleep(0.002)
    sent, got = (int(n) for n in flood.communicate(timeout=30)[0].split())
    log_rate = (log_bytes(folder) - log_before) / seconds / 1e6
    emu.stop()
    q, f = percentiles(quiet), percentiles(loaded)
    print("fairness: %d units; unit 1 flooded with back-to-back get-time (%d sent, %d answered in %.0f s)"
          % (UNITS, sent, got // REPLY_SIZE, seconds))
    print("  unit 2 get-time round trip, ms      p50     p99     max")
    print("    quiet                         %7.2f %7.2f %7.2f" % q)
    print("    during the flood              %7.2f %7.2f %7.2f" % f)
    print("  log file written during the flood: %.2f MB/s; RSS %.0f MB before, %.0f MB at most"
          % (log_rate, rss_before, peak))


def scenario(folder):
    csv_path = os.path.join(folder, "records.csv")
    header = ("sequence,tool_model,serial_number,date_time,device_name,device_number,operator,pressure_unit,"
              "torque_unit,pressure,target_torque,actual_torque,bolt_spec,bolt_grade,target_angle,"
              "actual_angle,gear,selected_mode,working_mode,result\n")
    target = int(CSV_MIB * 1024 * 1024)
    rows = 0
    with open(csv_path, "w", encoding="utf-8", newline="") as f:
        f.write(header)
        size = len(header)
        while True:
            row = ("%d,5QJW,12345678,2026-12-08 13:01:02,扳手01,87654321,张三,2,1,300,150,%d,1122334455,"
                   "5544332211,30,31,1,1,1,1\n" % (rows % 100000000 + 1, 140 + rows % 20))
            if size + len(row.encode("utf-8")) > target:
                break
            f.write(row)
            size += len(row.encode("utf-8"))
            rows += 1
    emu = Emulator(["--control", "127.0.0.1:0"] + ["tcp:127.0.0.1:0"] * 3, folder)
    socks = [socket.create_connection(("127.0.0.1", port)) for port in emu.listens]
    waits, stop = [], threading.Event()
    peak = [emu.rss_mb()]

    def ask():
        while not stop.is_set():
            for sock in socks:
                waits.append(round_trip(sock))
            peak[0] = max(peak[0], emu.rss_mb())
            time.sleep(0.005)

    asker = threading.Thread(target=ask)
    asker.start()
    time.sleep(0.5)
    quiet = list(waits)
    before = emu.rss_mb()
    body = json.dumps({"records": {"csv": csv_path}}).encode("utf-8")
    request = urllib.request.Request(emu.api + "/units/1/scenario", data=body, method="POST",
                                     headers={"Content-Type": "application/json"})
    start = time.monotonic()
    with urllib.request.urlopen(request, timeout=600) as answer:
        status = answer.status
    took = time.monotonic() - start
    time.sleep(0.3)
    stop.set()
    asker.join()
    # Taken after the asker stopped: a round trip the load held up ends after the load.
    during = waits[len(quiet):]
    after = emu.rss_mb()
    emu.stop()
    print("scenario: a %.1f MiB records.csv (%d rows) through POST /units/1/scenario: %d in %.1f s"
          % (size / 1048576, rows, status, took))
    print("  get-time of 3 units, ms            p50     p99     max")
    print("    before the load               %7.2f %7.2f %7.2f" % percentiles(quiet))
    print("    during the load               %7.2f %7.2f %7.2f" % percentiles(during))
    print("  RSS %.0f MB before, %.0f MB at most, %.0f MB after (%.2f times the file at most)"
          % (before, peak[0], after, (peak[0] - before) * 1048576 / size))


def rfc2217(folder):
    emu = Emulator(["rfc2217:127.0.0.1:0"], folder)
    sock = socket.create_connection(("127.0.0.1", emu.listens[0]))
    sock.settimeout(2.0)
    burst, sent, peak, start = SIGNATURE * 10000, 0, emu.rss_mb(), time.monotonic()
    try:
        while time.monotonic() - start < 10 and sent < 400e6:
            sent += sock.send(burst)
            peak = max(peak, emu.rss_mb())
    except socket.timeout:
        pass
    emu.stop()
    print("rfc2217: signature requests never read: %.1f MB taken before the unit stopped reading; "
          "RSS at most %.0f MB" % (sent / 1e6, peak))


def main():
    phases = {"fairness": fairness, "scenario": scenario, "rfc2217": rfc2217}
    chosen = sys.argv[1:] or list(phases)
    for name in chosen:
        if name not in phases:
            raise SystemExit(__doc__)
        with tempfile.TemporaryDirectory(prefix="varnel-load-") as folder:
            phases[name](folder)


if __name__ == "__main__":
    main()
