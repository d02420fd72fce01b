"""The unit on network lines: raw TCP and RFC 2217, with the independent clients of
python3-serial (socket:// and rfc2217://) and plain sockets."""

import json
import os
import select
import socket
import time
import unittest

import test_scenario
from varnel_peer import SANITIZER_RSS_KIB, EmulatorTestCase, build_frame
from test_upload import END, GET_RECORDS, start_content

SET_OPERATOR = 0x0F
GET_OPERATOR = 0x10


class RawTcpTest(EmulatorTestCase):

    def test_listen_line_reply_and_reconnect(self):
        emu, endpoint = self.start_network_emulator("--records", "0")
        host, port = endpoint[len("tcp:"):].rsplit(":", 1)
        self.assertEqual(host, "127.0.0.1")
        self.assertNotEqual(int(port), 0)
        # The LISTEN line comes before anything is answered, and only once.
        self.assertEqual([m for m in emu.messages() if m.startswith("LISTEN ")], ["LISTEN " + endpoint])
        self.assertFalse([m for m in emu.messages() if m.startswith("WARNING")])
        for _ in range(2):
            peer = self.open_network_peer(endpoint)
            self.assertEqual(peer.request(0x0D).raw, bytes.fromhex("5AA512340D0000DE00"))
            peer.write(build_frame(GET_RECORDS))
            frames = peer.read_frames(2)
            self.assertEqual([f.raw for f in frames],
                             [build_frame(GET_RECORDS, start_content(0)), build_frame(GET_RECORDS, END)])
            peer.close()
            self.assert_logged(lambda m: m.startswith("client ") and "waiting for the next" in m)
        # The journal says when each client came and went.
        mark = emu.mark()
        emu.command("journal 100")
        emu.wait_for(lambda m: m.startswith("{"), start=mark)
        lines = [json.loads(m) for m in emu.messages(mark) if m.startswith("{")]
        clients = [e["event"] for e in lines if e["type"] == "line" and e["event"].startswith("client")]
        self.assertEqual(clients, ["client connected", "client gone"] * 2)

    def test_second_client_is_refused_and_the_first_keeps_its_line(self):
        emu, endpoint = self.start_network_emulator("--records", "0")
        peer = self.open_network_peer(endpoint)
        self.assertEqual(peer.request(0x0D).raw, bytes.fromhex("5AA512340D0000DE00"))
        host, port = endpoint[len("tcp:"):].rsplit(":", 1)
        second = socket.create_connection((host, int(port)), timeout=5)
        self.addCleanup(second.close)
        second.sendall(build_frame(0x0D))
        # Closed at once, unanswered.
        try:
            self.assertEqual(second.recv(64), b"")
        except ConnectionResetError:
            pass
        self.assert_logged(lambda m: m.startswith("refused a second client") and endpoint in m)
        self.assertEqual(peer.request(0x0D).raw, bytes.fromhex("5AA512340D0000DE00"))

    def test_client_gone_mid_upload_ends_the_upload(self):
        emu, endpoint = self.start_network_emulator("--records", "100000")
        peer = self.open_network_peer(endpoint)
        peer.write(build_frame(GET_RECORDS))
        peer.read_frames(5)
        peer.close()
        self.assert_logged(lambda m: "waiting for the next" in m)
        # The next client finds a quiet line: no records of the ended upload.
        peer = self.open_network_peer(endpoint)
        time.sleep(0.3)
        peer.drain(quiet=0.2)
        self.assertEqual(peer.request(0x0D).raw, bytes.fromhex("5AA512340D0000DE00"))
        peer.assert_silent(0.3)

    def test_non_loopback_address_warns(self):
        emu, endpoint = self.start_network_emulator("--records", "0", endpoint="tcp:0.0.0.0:0")
        self.assert_logged(lambda m: m.startswith("WARNING: " + endpoint) and "anyone" in m)

    def test_bad_endpoints_are_usage_errors(self):
        for text in ("tcp:127.0.0.1", "tcp:127.0.0.1:70000", "rfc2217::5", "tcp:host:5x"):
            code, _, err = self.run_emulator(text)
            self.assertEqual(code, 2, text)
            self.assertIn('"%s"' % text, err)


class Rfc2217Test(EmulatorTestCase):

    def test_settings_purge_and_bytes_with_0xff(self):
        # Stateful: a text set is the text read back, so the reply carries the request's 0xFF bytes.
        scenario = os.path.join(self.dir, "stateful.json")
        with open(scenario, "w") as f:
            f.write('{"stateful": true}')
        emu, endpoint = self.start_network_emulator("--records", "5", "--scenario", scenario,
                                                    endpoint="rfc2217:127.0.0.1:0")
        peer = self.open_network_peer(endpoint, baudrate=9600)
        port = peer.port
        port.baudrate = 19200          # answered, or python3-serial raises
        port.bytesize = 7
        port.bytesize = 8
        port.reset_input_buffer()      # PURGE-DATA, answered
        port.reset_output_buffer()
        self.assert_logged("RFC 2217: 19200 8N1")
        # A request with 0xFF in its content and a reply with it: byte-exact both ways.
        name = b"\xff\xffOP\xff"
        self.assertEqual(peer.request(SET_OPERATOR, name).raw, build_frame(SET_OPERATOR))
        self.assertEqual(peer.request(GET_OPERATOR).raw, build_frame(GET_OPERATOR, name))
        peer.write(build_frame(GET_RECORDS))
        frames = peer.read_frames(7)
        self.assertEqual(frames[0].raw, build_frame(GET_RECORDS, start_content(5)))
        self.assertEqual([f.content[0] for f in frames[1:6]], [1] * 5)
        self.assertEqual([int.from_bytes(f.content[1:5], "big") for f in frames[1:6]], [1, 2, 3, 4, 5])
        self.assertEqual(frames[6].raw, build_frame(GET_RECORDS, END))
        # The settings line is written once per change: never the same settings twice in a row
        # (a slow machine may see the brief 7N1 as a change of its own).
        lines = [m for m in emu.messages() if m.startswith("RFC 2217: ")]
        self.assertEqual(lines[-1], "RFC 2217: 19200 8N1")
        self.assertFalse([a for a, b in zip(lines, lines[1:]) if a == b], lines)
        # The journal has each change the log line names.
        mark = emu.mark()
        emu.command("journal 1000")
        emu.wait_for(lambda m: m.startswith("{"), start=mark)
        events = [json.loads(m) for m in emu.messages(mark) if m.startswith("{")]
        changes = [e["settings"] for e in events if e["type"] == "line" and e["event"] == "settings changed"]
        self.assertEqual(["RFC 2217: " + c for c in changes], lines)

    def test_a_client_that_never_reads_is_not_read(self):
        # Signature requests sent without reading: the unit stops reading the client once its
        # answers pile up, so TCP holds the client back; read at last, every request was answered.
        emu, endpoint = self.start_network_emulator(endpoint="rfc2217:127.0.0.1:0")
        host, port = endpoint[len("rfc2217:"):].rsplit(":", 1)
        sock = socket.create_connection((host, int(port)))
        self.addCleanup(sock.close)
        request = bytes([255, 250, 44, 0, 255, 240])
        answer = bytes([255, 250, 44, 100]) + b"VARNEL-TEST" + bytes([255, 240])
        greeting = bytes.fromhex("FFFB00FFFD00FFFD2C")
        sock.setblocking(False)
        burst = request * 5000
        sent_bytes, stalled_since = 0, None
        # Until the client is held back for a second (or has sent far more than it should get in).
        while (stalled_since is None or time.monotonic() - stalled_since < 1.0) and sent_bytes < 100 << 20:
            try:
                # Whole requests only: a send cut short goes on where it stopped.
                offset = sent_bytes % len(burst)
                sent_bytes += sock.send(burst[offset:] if offset else burst)
                stalled_since = None
            except BlockingIOError:
                stalled_since = stalled_since or time.monotonic()
                time.sleep(0.05)
        rest = request[sent_bytes % len(request):] if sent_bytes % len(request) else b""
        sent = (sent_bytes + len(rest)) // len(request)
        emu.wait_for(lambda m: "is not reading" in m)
        # Held back by a queue of about a mebibyte and the kernel's buffers, not by gigabytes.
        self.assertLess(sent * len(answer), 64 * 1024 * 1024)
        with open("/proc/%d/status" % emu.process.pid) as status:
            rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
        self.assertLess(rss, 200 * 1024 + SANITIZER_RSS_KIB)
        expected = len(greeting) + sent * len(answer)
        received = bytearray()
        while len(received) < expected:
            readable, writable, _ = select.select([sock], [sock] if rest else [], [], 10)
            self.assertTrue(readable or writable, "%d of %d bytes came" % (len(received), expected))
            if writable:  # the last request, cut short before, once there is room
                rest = rest[sock.send(rest):]
            if readable:
                chunk = sock.recv(1 << 20)
                self.assertTrue(chunk, "the unit closed the line after %d of %d bytes" % (len(received), expected))
                received += chunk
        self.assertEqual(bytes(received), greeting + answer * sent)

    def test_varnel_pc_send_over_both_transports(self):
        import subprocess
        from varnel_peer import executable
        for form in ("tcp", "rfc2217"):
            emu, endpoint = self.start_network_emulator("--records", "0", endpoint=form + ":127.0.0.1:0")
            result = subprocess.run([executable("varnel-pc"), "send", endpoint, "0x0D"],
                                    capture_output=True, timeout=20)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(b"< 5AA512340D0000DE00", result.stdout)
            emu.cleanup()


class FleetTest(EmulatorTestCase):

    def test_three_units_keep_texts_and_fault_rules_apart(self):
        from varnel_peer import Emulator, PtyPair, START_TIMEOUT, pane_message
        pty = self.start_pty()
        units = []
        # Unit 3 uploads its one CSV row as often as its count says.
        with open(os.path.join(self.dir, "rows.csv"), "w") as f:
            f.write(test_scenario.Refused.CSV_HEADER + "\n" + test_scenario.Refused.CSV_ROW + "\n")
        for number in (1, 2, 3):
            scenario = os.path.join(self.dir, "unit%d.json" % number)
            with open(scenario, "w") as f:
                json.dump({"texts": {"operator": "OP%d" % number}, "records": {"csv": "rows.csv"}}
                          if number == 3 else {"texts": {"operator": "OP%d" % number}}, f)
            units.append({"endpoint": pty.emu_path if number == 1 else "tcp:127.0.0.1:0",
                          "scenario": scenario, "records": number})
        units[2]["faults"] = ["get-time:drop"]
        path = os.path.join(self.dir, "units.json")
        with open(path, "w") as f:
            json.dump({"units": units}, f)
        self.emu = Emulator(["--units", path], cwd=self.dir)
        self.addCleanup(self.emu.cleanup)
        self.emu.wait_for(lambda m: m == "[unit 3] 打开串口成功", timeout=START_TIMEOUT)
        listens = [m for m in self.emu.messages() if " LISTEN " in m]
        self.assertEqual([m.split(" ")[:2] for m in listens], [["[unit", "2]"], ["[unit", "3]"]])
        peers = [self.open_peer()] + [self.open_network_peer(m.split("LISTEN ")[1]) for m in listens]
        for number, peer in enumerate(peers, 1):
            self.assertEqual(peer.request(GET_OPERATOR).raw, build_frame(GET_OPERATOR, b"OP%d" % number))
            peer.write(build_frame(GET_RECORDS))
            frames = peer.read_frames(number + 2)
            self.assertEqual(frames[0].raw, build_frame(GET_RECORDS, start_content(number)))
        self.assertEqual(peers[0].request(0x02).command, 0x02)
        self.assertEqual(peers[1].request(0x02).command, 0x02)
        peers[2].write(build_frame(0x02))
        peers[2].assert_silent(0.5)
        # Every line names its unit; a unit's typed command answers for it alone.
        start = self.emu.mark()
        self.emu.command("unit 2 records 9")
        self.assert_logged("[unit 2] records per upload: 9", start)
        self.emu.command("faults")
        self.assert_logged(lambda m: m.startswith("[unit 3] ") and "get-time:drop" in m, start)
        messages = self.emu.messages(1)
        self.assertEqual([m for m in messages if not m.startswith("[unit ")], [])
        self.assertFalse([m for m in messages if m.startswith("[unit 1]") and "get-time:drop" in m])
        peers[1].write(build_frame(GET_RECORDS))
        self.assertEqual(peers[1].read_frame().raw, build_frame(GET_RECORDS, start_content(9)))
        # The orderly end's lines name their units too, none folded into another's.
        start = self.emu.mark()
        self.assertEqual(self.shut_down(), 0)
        closing = self.emu.messages(start)
        for number in (1, 2, 3):
            self.assertIn("[unit %d] Device Closed!" % number, closing)
        self.assertEqual([m for m in closing if "Device Closed!" in m and not m.startswith("[unit ")], [])

    def test_units_file_refused_whole(self):
        path = os.path.join(self.dir, "units.json")
        with open(path, "w") as f:
            json.dump({"units": [{"endpoint": "tcp:127.0.0.1:0"}, {"endpoint": "tcp:127.0.0.1:0", "records": -1}]}, f)
        code, lines, err = self.run_emulator("--units", path)
        self.assertEqual(code, 2)
        self.assertIn("unit 2: records", err)
        self.assertEqual(lines, [])


if __name__ == "__main__":
    unittest.main()
