"""Network rows of `make bench-peers`: varnel-emu over a pty, raw TCP and RFC 2217, a
1000-unit process (start-up, idle CPU, RSS per unit, a round-robin client) beside a bare epoll floor, and an upload's
pace over a pty and over TCP. Prints one table; ratios are taken within this one run.
--rows FILE also writes the rows and the notes as JSON, for varnel-peer-bench --network-rows
to print in its own table."""

import json
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
# WILL BINARY, DO BINARY, DO COM-PORT-OPTION: what the unit says first to an RFC 2217 client.
RFC2217_OFFER = bytes.fromhex("FFFB00FFFD00FFFD2C")
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


def start_floor(count):
    """peer-tcp-floor over COUNT ports: the same requests and replies with no work in between."""
    proc = subprocess.Popen([executable("peer-tcp-floor"), str(count), str(len(REQUEST)), REPLY.hex()],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    listens = []
    for raw in proc.stdout:
        line = raw.decode("utf-8", "replace").strip()
        if line.startswith("LISTEN "):
            listens.append(line.split("LISTEN ")[1])
        if line == "ready":
            break
    if len(listens) != count:
        raise SystemExit("peer-tcp-floor listened on %d ports of %d" % (len(listens), count))
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


def figures(name, times, cpu):
    """One row: the round trips' times in seconds and the responder's CPU seconds over them."""
    times = sorted(times)
    total = sum(times)
    return {"name": name, "request": len(REQUEST), "reply": len(REPLY),
            "p50": statistics.median(times) * 1000, "p99": times[int(len(times) * 0.99)] * 1000,
            "max": times[-1] * 1000, "rate": len(times) / total, "idle": None,
            "busy": 100 * cpu / total, "cpu": cpu / len(times) * 1e6}


def trip(link):
    """One request and its reply, byte-exact; seconds taken."""
    write, read = link
    t = time.perf_counter()
    write(REQUEST)
    got = b""
    while len(got) < len(REPLY):
        got += read(len(REPLY) - len(got))
    if got != REPLY:
        raise SystemExit("reply differs: %s" % got.hex())
    return time.perf_counter() - t


def interleaved(responders, trips, warm_up=50):
    """Round trips taken in turn from every responder (name, pid, links), so a busy machine
    slows them alike: each row's times and its process's CPU over them. A responder with
    several links (units) takes them in turn."""
    times = {name: [] for name, _, _ in responders}
    cpu = {}
    for i in range(warm_up + trips):
        if i == warm_up:
            cpu = {name: cpu_seconds(pid) for name, pid, _ in responders}
        for name, _, links in responders:
            took = trip(links[i % len(links)])
            if i >= warm_up:
                times[name].append(took)
    return [figures(name, times[name], cpu_seconds(pid) - cpu[name]) for name, pid, _ in responders]


def interleaved_groups(groups, trips, warm_up, block=100):
    """Each group of responders taken as interleaved() takes them, the groups in turn by blocks of
    BLOCK rounds: within a group the pattern is the same as alone, and a busy spell of the machine
    falls on every group alike."""
    responders = [r for group in groups for r in group]
    times = {name: [] for name, _, _ in responders}
    cpu = {name: 0.0 for name, _, _ in responders}
    for start_round in range(0, warm_up + trips, block):
        for group in groups:
            before = {name: cpu_seconds(pid) for name, pid, _ in group}
            for i in range(start_round, min(start_round + block, warm_up + trips)):
                for name, _, links in group:
                    took = trip(links[i % len(links)])
                    if i >= warm_up:
                        times[name].append(took)
            if start_round >= warm_up:
                for name, pid, _ in group:
                    cpu[name] += cpu_seconds(pid) - before[name]
    return [figures(name, times[name], cpu[name]) for name, _, _ in responders]


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
    rows_file = None
    if sys.argv[1:2] == ["--rows"] and len(sys.argv) == 3:
        rows_file = sys.argv[2]
    elif len(sys.argv) > 1:
        raise SystemExit("usage: network_bench.py [--rows FILE]")
    procs = []
    with tempfile.TemporaryDirectory() as work:
        try:
            # Uploads first, one at a time: a round-robin beside them would take their CPU.
            pty = PtyPair(work)
            proc, _ = start(["--records", "500", pty.emu_path], work)
            port = serial.Serial(pty.peer_path, 115200, timeout=2)
            pty_upload = upload_pace(port.write, lambda: port.read(max(1, port.in_waiting)))
            port.close(); proc.kill(); proc.wait()
            # Records per second from the first data frame to the end frame.
            proc, listens = start(["--records", "500", "tcp:127.0.0.1:0"], work)
            sock = tcp_client(listens[0])
            upload_rate = upload_pace(sock.sendall, lambda: sock.recv(65536))
            sock.close(); proc.kill(); proc.wait()

            # The single units side by side, a round trip to each in turn.
            pty_proc, _ = start(["--records", "0", pty.emu_path], work)
            procs.append(pty_proc)
            port = serial.Serial(pty.peer_path, 115200, timeout=2)
            tcp_proc, listens = start(["--records", "0", "tcp:127.0.0.1:0"], work)
            procs.append(tcp_proc)
            sock = tcp_client(listens[0])
            # RFC 2217 through the same bare socket client as raw TCP (the request and reply hold
            # no 0xFF, so Telnet leaves them as they are; the unit's opening offer is read first),
            # and through python3-serial's client, whose reader thread is most of its time.
            rfc_proc, rfc_listens = start(["--records", "0", "rfc2217:127.0.0.1:0"], work)
            procs.append(rfc_proc)
            rfc_sock = tcp_client(rfc_listens[0])
            offer = b""
            while len(offer) < len(RFC2217_OFFER):
                offer += rfc_sock.recv(len(RFC2217_OFFER) - len(offer))
            if offer != RFC2217_OFFER:
                raise SystemExit("RFC 2217 offer differs: %s" % offer.hex())
            serial_proc, serial_listens = start(["--records", "0", "rfc2217:127.0.0.1:0"], work)
            procs.append(serial_proc)
            link = serial.serial_for_url("rfc2217://" + serial_listens[0].split(":", 1)[1], timeout=2)
            rows = interleaved([
                ("varnel-emu over a pty (Python client)", pty_proc.pid, [(port.write, port.read)]),
                ("varnel-emu over raw TCP", tcp_proc.pid, [(sock.sendall, sock.recv)]),
                ("varnel-emu over RFC 2217 (socket client)", rfc_proc.pid, [(rfc_sock.sendall, rfc_sock.recv)]),
                ("varnel-emu over RFC 2217 (python3-serial)", serial_proc.pid, [(link.write, link.read)]),
            ], TRIPS)
            port.close(); rfc_sock.close(); link.close()

            t = time.perf_counter()
            fleet_proc, fleet_listens = start(["--records", "0"] + ["tcp:127.0.0.1:0"] * UNITS, work,
                                              count=UNITS)
            procs.append(fleet_proc)
            started = time.perf_counter() - t
            time.sleep(1)
            rss = rss_kb(fleet_proc.pid)
            cpu0 = cpu_seconds(fleet_proc.pid)
            time.sleep(5)
            idle_cpu = (cpu_seconds(fleet_proc.pid) - cpu0) / 5 * 100
            socks = [tcp_client(e) for e in fleet_listens]
            # The floor: a bare epoll responder on one port and another on as many ports as the fleet,
            # taken by the same client in the same pattern, in the same turns.
            floor_single_proc, floor_single_listens = start_floor(1)
            procs.append(floor_single_proc)
            floor_fleet_proc, floor_fleet_listens = start_floor(UNITS)
            procs.append(floor_fleet_proc)
            floor_sock = tcp_client(floor_single_listens[0])
            floor_socks = [tcp_client(e) for e in floor_fleet_listens]
            # A round trip to the next of the thousand, then one to the single TCP unit, in turn, and the
            # same to the floor: each single row of this phase is its round-robin's yardstick.
            trips = max(TRIPS, 2 * UNITS)
            single, fleet, floor_single, floor_fleet = interleaved_groups([
                [("varnel-emu over raw TCP, beside the fleet", tcp_proc.pid, [(sock.sendall, sock.recv)]),
                 ("%d TCP units, round-robin" % UNITS, fleet_proc.pid, [(s.sendall, s.recv) for s in socks])],
                [("floor: bare epoll responder, 1 port", floor_single_proc.pid, [(floor_sock.sendall, floor_sock.recv)]),
                 ("floor: bare epoll, %d ports round-robin" % UNITS, floor_fleet_proc.pid,
                  [(s.sendall, s.recv) for s in floor_socks])],
            ], trips, warm_up=UNITS)
            fleet["idle"] = idle_cpu
            rows += [single, fleet, floor_single, floor_fleet]
            for s in socks + floor_socks:
                s.close()
            sock.close()
            floor_sock.close()
        finally:
            for proc in procs:
                proc.kill()
                proc.wait()
            pty.kill()

    (pty_p50, tcp_p50, rfc_p50, serial_p50, single_p50, fleet_p50, floor_single_p50,
     floor_fleet_p50) = (row["p50"] for row in rows)
    fleet_ratio = fleet_p50 / single_p50
    floor_ratio = floor_fleet_p50 / floor_single_p50
    print("\n| %-44s | %8s | %8s | %13s | %9s | %9s |" % ("responder", "p50 ms", "p99 ms", "round trips/s",
                                                         "CPU us/rt", "p50 ratio"))
    print("|%s|%s|%s|%s|%s|%s|" % ("-" * 46, "-" * 10, "-" * 10, "-" * 15, "-" * 11, "-" * 11))
    for row, yardstick in zip(rows, (pty_p50, pty_p50, tcp_p50, tcp_p50, single_p50, single_p50,
                                     floor_single_p50, floor_single_p50)):
        print("| %-44s | %8.3f | %8.3f | %13.0f | %9.1f | %9.2f |"
              % (row["name"], row["p50"], row["p99"], row["rate"], row["cpu"], row["p50"] / yardstick))
    notes = [
        "network rows: the first four taken in turn, a round trip each; then the 1000 units in turn, each "
        "round trip followed by one to the single TCP unit; p50 ratio to the pty row (raw TCP), to the raw "
        "TCP row (RFC 2217) and to the single unit beside the fleet (round-robin); the two floor rows, a bare "
        "epoll responder on 1 and on %d ports, taken in the same turns, the floor's ratio to its own 1-port row"
        % UNITS,
        "p50 ratios: TCP/pty %.2f (goal 1.2), RFC 2217/TCP %.2f with the same socket client (goal 1.2; %.2f "
        "through python3-serial), %d-unit round-robin/single TCP %.2f (goal 1.5)"
        % (tcp_p50 / pty_p50, rfc_p50 / tcp_p50, serial_p50 / tcp_p50, UNITS, fleet_ratio),
        "round-robin/single p50: varnel-emu %.2f, floor %.2f (what the client and the kernel cost alone); "
        "varnel-emu's over the floor's %.2f" % (fleet_ratio, floor_ratio, fleet_ratio / floor_ratio),
        "%d TCP units: started and listening in %.2f s, idle CPU %.2f %% over 5 s, RSS %.0f kB (%.1f kB per "
        "unit)" % (UNITS, started, idle_cpu, rss, rss / UNITS),
        "upload of 500 records: %.1f records/s over a pty, %.1f over TCP (TCP/pty %.3f; the pace is "
        "100 records/s)" % (pty_upload, upload_rate, upload_rate / pty_upload),
    ]
    print()
    for note in notes:
        print(note)
    if rows_file:
        with open(rows_file, "w") as f:
            json.dump({"rows": rows, "notes": notes}, f)


if __name__ == "__main__":
    main()
