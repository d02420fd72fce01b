"""Network rows of `make bench-peers`: varnel-emu over a pty, raw TCP and RFC 2217, a
1000-unit process (start-up, idle CPU, RSS per unit, a round-robin client) and an upload's
pace over TCP. Prints one table; ratios are taken within this one run."""

import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
import serial  # noqa: E402
from varnel_peer import FrameParser, PtyPair, build_frame, executable  # noqa: E402

REQUEST = build_frame(0x0D)
REPLY = bytes.fromhex("5AA512340D0000DE00")
TRIPS = int(os.environ.get("VARNEL_NET_TRIPS", "2000"))
UNITS = int(os.environ.get("VARNEL_NET_UNITS", "1000"))
CLK = os.sysconf("SC_CLK_TCK")


def start(args, cwd, count=1):
    proc = subprocess.Popen([executable("varnel-emu")] + args, cwd=cwd, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    listens = []
    opened = 0
    for raw in proc.stdout:
        line = raw.decode("utf-8", "replace")
        if " LISTEN " in line:
            listens.append(line.split("LISTEN ")[1].strip())
        if line.rstrip().endswith("打开串口成功"):
            opened += 1
            if opened == count:
                break
    # Keep draining the log so the unit never blocks on a full pipe.
    import threading
    threading.Thread(target=lambda: [None for _ in proc.stdout], daemon=True).start()
    return proc, listens


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def exchange(io_write, io_read, trips):
    times = []
    for i in range(trips + 50):
        t = time.perf_counter()
        io_write(REQUEST)
        got = b""
        while len(got) < len(REPLY):
            got += io_read(len(REPLY) - len(got))
        if got != REPLY:
            raise SystemExit("reply differs: %s" % got.hex())
        if i >= 50:
            times.append(time.perf_counter() - t)
    return statistics.median(times) * 1000, len(times) / sum(times)


def upload_pace(write, read):
    """Records per second of a 500-record upload, from its first data frame to its end frame:
    as many pauses as records lie between them."""
    write(build_frame(0x0C))
    parser, frames, first = FrameParser(), [], None
    while not frames or frames[-1].content[:1] != b"\x02":
        frames += parser.feed(read())
        if first is None and len(frames) >= 2:
            first = time.perf_counter()
    return (len(frames) - 2) / (time.perf_counter() - first)


def tcp_client(endpoint):
    host, port = endpoint.split(":", 1)[1].rsplit(":", 1)
    sock = socket.create_connection((host, int(port)))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def main():
    rows = []
    with tempfile.TemporaryDirectory() as work:
        pty = PtyPair(work)
        proc, _ = start(["--records", "0", pty.emu_path], work)
        port = serial.Serial(pty.peer_path, 115200, timeout=2)
        pty_p50, pty_rate = exchange(port.write, port.read, TRIPS)
        port.close(); proc.kill(); proc.wait()
        proc, _ = start(["--records", "500", pty.emu_path], work)
        port = serial.Serial(pty.peer_path, 115200, timeout=2)
        pty_upload = upload_pace(port.write, lambda: port.read(max(1, port.in_waiting)))
        port.close(); proc.kill(); proc.wait(); pty.kill()
        rows.append(("varnel-emu over a pty", pty_p50, pty_rate))

        proc, listens = start(["--records", "0", "tcp:127.0.0.1:0"], work)
        sock = tcp_client(listens[0])
        tcp_p50, tcp_rate = exchange(sock.sendall, sock.recv, TRIPS)
        sock.close()
        # An upload over TCP: records per second from the start frame to the end frame.
        proc.kill(); proc.wait()
        proc, listens = start(["--records", "500", "tcp:127.0.0.1:0"], work)
        sock = tcp_client(listens[0])
        upload_rate = upload_pace(sock.sendall, lambda: sock.recv(65536))
        sock.close(); proc.kill(); proc.wait()
        rows.append(("varnel-emu over raw TCP", tcp_p50, tcp_rate))

        proc, listens = start(["--records", "0", "rfc2217:127.0.0.1:0"], work)
        link = serial.serial_for_url("rfc2217://" + listens[0].split(":", 1)[1], timeout=2)
        rfc_p50, rfc_rate = exchange(link.write, link.read, TRIPS)
        link.close(); proc.kill(); proc.wait()
        rows.append(("varnel-emu over RFC 2217 (python3-serial)", rfc_p50, rfc_rate))

        t = time.perf_counter()
        proc, listens = start(["--records", "0"] + ["tcp:127.0.0.1:0"] * UNITS, work, count=UNITS)
        started = time.perf_counter() - t
        time.sleep(1)
        rss = rss_kb(proc.pid)
        cpu0 = cpu_seconds(proc.pid)
        time.sleep(5)
        idle_cpu = (cpu_seconds(proc.pid) - cpu0) / 5 * 100
        socks = [tcp_client(e) for e in listens]
        times = []
        for round_ in range(max(1, TRIPS // UNITS) + 1):
            for s in socks:
                t0 = time.perf_counter()
                s.sendall(REQUEST)
                got = b""
                while len(got) < len(REPLY):
                    got += s.recv(len(REPLY) - len(got))
                if got != REPLY:
                    raise SystemExit("fleet reply differs: %s" % got.hex())
                if round_ > 0:
                    times.append(time.perf_counter() - t0)
        fleet_p50 = statistics.median(times) * 1000
        for s in socks:
            s.close()
        proc.kill(); proc.wait()

    print("\n| %-44s | %8s | %13s | %9s |" % ("responder", "p50 ms", "round trips/s", "p50 ratio"))
    print("|%s|%s|%s|%s|" % ("-" * 46, "-" * 10, "-" * 15, "-" * 11))
    for name, p50, rate in rows:
        print("| %-44s | %8.3f | %13.0f | %9s |" % (name, p50, rate, "%.2f" % (p50 / pty_p50)))
    print("| %-44s | %8.3f | %13s | %9s |" % ("%d TCP units, round-robin" % UNITS, fleet_p50, "-",
                                             "%.2f" % (fleet_p50 / tcp_p50)))
    print("\nratios: TCP/pty %.2f, RFC 2217/TCP %.2f, %d-unit round-robin/single TCP %.2f"
          % (tcp_p50 / pty_p50, rfc_p50 / tcp_p50, UNITS, fleet_p50 / tcp_p50))
    print("%d TCP units: started and listening in %.2f s, idle CPU %.2f %% over 5 s, RSS %.0f kB "
          "(%.1f kB per unit)" % (UNITS, started, idle_cpu, rss, rss / UNITS))
    print("upload: %.1f records/s over TCP, %.1f over a pty (ratio %.3f)"
          % (upload_rate, pty_upload, upload_rate / pty_upload))


if __name__ == "__main__":
    main()
