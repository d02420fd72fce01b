"""A line that behaves like a cable: line timing, a USB adapter's packets, a line that goes
and comes back, breaks and modem lines, seen from the PC side."""

import errno
import json
import os
import select
import socket
import time
import unittest

import serial.rfc2217

from varnel_peer import START_TIMEOUT, Emulator, EmulatorTestCase, FrameParser, Peer, build_frame, pane_message

GET_TIME = 0x02
GET_DEVICE_NAME = 0x06
GET_RECORDS = 0x0C
GET_SOFTWARE = 0x0D
SOFTWARE_REPLY = bytes.fromhex("5AA512340D0000DE00")


def character(baud):
    """Seconds one 8N1 character takes."""
    return 10.0 / baud


def frame_ends(chunks):
    """(arrival of its last byte, frame) for each frame in timed chunks."""
    parser, ends = FrameParser(), []
    for at, data in chunks:
        ends.extend((at, frame) for frame in parser.feed(data))
    return ends


class LineTimingTest(EmulatorTestCase):

    def timed_request(self, command):
        sent = time.monotonic()
        self.peer.write(build_frame(command))
        return sent, self.peer.read_raw(quiet=0.3)

    def test_replies_and_uploads_take_their_line_time(self):
        records = 20
        for baud in (9600, 115200):
            with self.subTest(baud=baud):
                self.start_emulator("--line-timing", "--baud", str(baud), "--records", str(records))
                self.assert_logged("line timing: toward the PC")
                c = character(baud)
                for _ in range(3 if baud == 9600 else 1):
                    sent, chunks = self.timed_request(GET_TIME)
                    self.assertEqual(sum(len(d) for _, d in chunks), 16)
                    # No byte before its stop bit could have left: the last one a reply's line time on.
                    self.assertGreaterEqual(chunks[-1][0] - sent, 16 * c * 0.98, chunks)
                    streamed = len(chunks) >= 3 and chunks[-1][0] - chunks[0][0] >= 10 * c
                    if streamed:
                        break
                if baud == 9600:
                    # A stream, not one write: spread over most of its 16.7 ms. A reader held up
                    # by a loaded machine joins the reads, so one of three tries has to show it.
                    self.assertTrue(streamed, chunks)
                _, chunks = self.timed_request(GET_RECORDS)
                ends = frame_ends(chunks)
                self.assertEqual([len(f.raw) for _, f in ends], [14] + [119] * records + [10])
                # Every pause counts from the frame's last byte: 10 ms plus each frame's own time.
                ideal = records * (0.010 + 119 * c) + 0.010 + 10 * c
                took = ends[-1][0] - ends[0][0]
                self.assertGreaterEqual(took, ideal * 0.99)
                self.assertLess(took, ideal * 1.5 + 1.0)
                self.shut_down()

    def test_both_directions_add_the_request_line_time(self):
        baud = 2400
        self.start_emulator("--line-timing=both", "--baud", str(baud))
        self.assert_logged("line timing: toward the PC, from the PC")
        sent, chunks = self.timed_request(GET_TIME)
        self.assertEqual(sum(len(d) for _, d in chunks), 16)
        self.assertGreaterEqual(chunks[-1][0] - sent, (9 + 16) * character(baud) * 0.98)

    def test_network_lines_take_the_units_file_and_the_clients_rate(self):
        units = os.path.join(self.dir, "units.json")
        with open(units, "w") as f:
            json.dump({"units": [{"endpoint": "tcp:127.0.0.1:0", "line_timing": True, "baud": 9600}]}, f)
        # A TCP line at the units file's rate; an RFC 2217 unit started at 115200 at the 9600 its
        # client sets.
        for args in (["--units", units], ["--line-timing", "rfc2217:127.0.0.1:0"]):
            with self.subTest(args=args):
                self.emu = Emulator(args, cwd=self.dir)
                self.addCleanup(self.emu.cleanup)
                index = self.emu.wait_for(lambda m: m.startswith("LISTEN "), timeout=START_TIMEOUT)
                self.emu.wait_ready()
                self.open_network_peer(pane_message(self.emu.lines()[index])[len("LISTEN "):], baudrate=9600)
                if args[0] == "--line-timing":
                    self.assert_logged("RFC 2217: 9600 8N1")
                sent, chunks = self.timed_request(GET_TIME)
                self.assertEqual(sum(len(d) for _, d in chunks), 16)
                self.assertGreaterEqual(chunks[-1][0] - sent, 16 * character(9600) * 0.98, chunks)
                self.shut_down()

    def test_adapter_packets_leave_full_or_after_the_latency(self):
        self.start_emulator("--adapter", "latency=200,packet=16")
        self.assert_logged("line timing: toward the PC, USB adapter 200 ms / 16 bytes")
        # A full packet leaves at once; the 3 bytes after it wait out the latency timer.
        sent, chunks = self.timed_request(GET_DEVICE_NAME)
        self.assertEqual(b"".join(d for _, d in chunks), build_frame(GET_DEVICE_NAME, b"DEVICENAME"))
        packets = self.packets(chunks)
        self.assertEqual([len(p) for _, p in packets], [16, 3], chunks)
        self.assertLess(packets[0][0] - sent, 0.15)
        # From the request, as a reader held up on the first packet would shorten the gap.
        self.assertGreaterEqual(packets[1][0] - sent, 0.18, chunks)
        _, chunks = self.timed_request(GET_TIME)
        self.assertEqual([len(p) for _, p in self.packets(chunks)], [16], chunks)

    @staticmethod
    def packets(chunks, gap=0.05):
        """The reads of one packet (a read may take part of it) joined: (first arrival, bytes)."""
        packets = []
        for at, data in chunks:
            if packets and at - packets[-1][2] < gap:
                packets[-1] = (packets[-1][0], packets[-1][1] + data, at)
            else:
                packets.append((at, data, at))
        return [(at, data) for at, data, _ in packets]


class LineFaultTest(EmulatorTestCase):

    def journal(self, kind="line"):
        mark = self.emu.mark()
        self.emu.command("journal 1000")
        self.emu.wait_for(lambda m: m.startswith("{"), start=mark)
        return [e for e in (json.loads(m) for m in self.emu.messages(mark) if m.startswith("{"))
                if e["type"] == kind or kind is None]

    def test_vanish_on_a_pty_hangs_up_ends_the_upload_and_comes_back(self):
        # The unit's own pseudo terminal: pulling it is seen on the PC's open end.
        link = os.path.join(self.dir, "pc")
        self.port_name = "pty:" + link
        self.emu = Emulator(["--records", "100000", self.port_name], cwd=self.dir)
        self.addCleanup(self.emu.cleanup)
        self.emu.wait_ready()
        self.peer = Peer(link)
        self.addCleanup(self.peer.close)
        self.peer.write(build_frame(GET_RECORDS))
        self.peer.read_frames(3)
        self.emu.command("fault line:vanish=1500")
        self.assert_logged("the line is gone for 1500 ms")
        fd = self.peer.port.fileno()
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        self.assertTrue(any(events & select.POLLHUP for _, events in poller.poll(5000)))
        try:
            while os.read(fd, 4096):
                pass
        except OSError as error:
            self.assertEqual(error.errno, errno.EIO)
        self.assertFalse(os.path.lexists(link), "refused while gone: nothing to open")
        self.assert_logged(self.port_line("device is not open"))
        self.peer.close()
        self.assert_logged("the line is back", timeout=10)
        self.peer = Peer(link)
        self.assertEqual(self.peer.request(GET_SOFTWARE).raw, SOFTWARE_REPLY)
        events = [e["event"] for e in self.journal() if e["event"] in ("vanished", "back")]
        self.assertEqual(events, ["vanished", "back"])
        self.assertEqual([e["how"] for e in self.journal("upload-end")], ["line-closed"])
        # Not a lost line: the reopen policy said nothing.
        self.assert_not_logged(lambda m: m.startswith("串口错误"))

    def test_vanish_cuts_network_clients_off_and_refuses_new_ones(self):
        for scheme in ("tcp", "rfc2217"):
            with self.subTest(scheme=scheme):
                emu, endpoint = self.start_network_emulator("--fault", "line:vanish=1500@2",
                                                            endpoint=scheme + ":127.0.0.1:0")
                host, port = endpoint.split(":", 1)[1].rsplit(":", 1)
                client = socket.create_connection((host, int(port)), timeout=5)
                self.addCleanup(client.close)
                client.sendall(build_frame(GET_SOFTWARE))
                time.sleep(0.2)
                client.sendall(build_frame(GET_SOFTWARE))  # the second request takes the line away
                received = b""
                try:
                    while True:
                        data = client.recv(4096)
                        if not data:
                            break
                        received += data
                except ConnectionResetError:
                    pass
                self.assertEqual(received.count(SOFTWARE_REPLY), 1, received)
                self.assert_logged("the line is gone for 1500 ms")
                with self.assertRaises(ConnectionRefusedError):
                    socket.create_connection((host, int(port)), timeout=5).close()
                self.assert_logged("the line is back", timeout=10)
                peer = self.open_network_peer(endpoint)
                self.assertEqual(peer.request(GET_SOFTWARE).raw, SOFTWARE_REPLY)
                peer.close()
                self.shut_down()

    def test_garble_changes_every_byte_it_hits(self):
        self.start_emulator("--fault", "line:garble=1")
        self.peer.write(build_frame(GET_SOFTWARE))
        chunks = self.peer.read_raw()
        data = b"".join(d for _, d in chunks)
        self.assertEqual(len(data), len(SOFTWARE_REPLY))
        self.assertFalse([i for i, (a, b) in enumerate(zip(data, SOFTWARE_REPLY)) if a == b], data.hex())
        self.emu.command("fault clear")
        self.assert_logged("fault rules cleared")
        self.assertEqual(self.peer.request(GET_SOFTWARE).raw, SOFTWARE_REPLY)

    def test_break_and_modem_lines_are_refused_on_a_pty(self):
        self.start_emulator()
        for rule in ("line:break=100", "line:modem=cts-off"):
            self.emu.command("fault " + rule)
        deadline = time.monotonic() + 10
        while self.emu.stderr_snapshot().count("(a pty or raw TCP; RFC 2217 and a real port do)") < 2:
            self.assertLess(time.monotonic(), deadline, self.emu.stderr_snapshot())
            time.sleep(0.05)
        self.assertIn('fault rule "line:break=100": %s carries no break' % self.port_name,
                      self.emu.stderr_snapshot())

    def test_rfc2217_client_sees_modem_lines_and_a_break_and_its_dtr_rts_are_noted(self):
        emu, endpoint = self.start_network_emulator(endpoint="rfc2217:127.0.0.1:0")
        peer = self.open_network_peer(endpoint + "?poll_modem")
        port = peer.port
        self.assertEqual((port.dsr, port.cts, port.cd), (True, True, True))

        def until(condition, what):
            deadline = time.monotonic() + 10
            while not condition():
                self.assertLess(time.monotonic(), deadline, what)
                time.sleep(0.05)

        emu.command("fault line:modem=dsr-off@for=1500ms")
        until(lambda: not port.dsr, "DSR never went off")
        self.assertEqual((port.cts, port.cd), (True, True))
        until(lambda: port.dsr, "DSR never came back")
        # The client asks for breaks; the bit is set while the break lasts.
        port.rfc2217_send_subnegotiation(serial.rfc2217.SET_LINESTATE_MASK, b"\x10")
        time.sleep(0.2)
        emu.command("fault line:break=800")
        until(lambda: port._linestate & serial.rfc2217.LINESTATE_MASK_BREAK_DETECT, "no break seen")
        until(lambda: not port._linestate & serial.rfc2217.LINESTATE_MASK_BREAK_DETECT, "the break never ended")
        self.assertEqual(peer.request(GET_SOFTWARE).raw, SOFTWARE_REPLY)

        # The PC side's DTR and RTS: one line and one event per change, the last values kept.
        mark = emu.mark()
        port.dtr = False
        port.dtr = False
        port.rts = False
        port.dtr = True
        self.assert_logged("RFC 2217: DTR on", mark)
        self.assertEqual([m for m in emu.messages(mark) if m.startswith("RFC 2217: ")],
                         ["RFC 2217: DTR off", "RFC 2217: RTS off", "RFC 2217: DTR on"])
        changes = [(e["dtr"], e["rts"]) for e in self.journal() if e["event"] == "control lines"]
        self.assertEqual(changes, [(False, True), (False, False), (True, False)])
        mark = emu.mark()
        emu.command("state")
        emu.wait_for(lambda m: m.startswith("{"), start=mark)
        state = json.loads(next(m for m in emu.messages(mark) if m.startswith("{")))
        self.assertEqual(state["control_lines"], {"dtr": True, "rts": False})

    def test_dtr_drop_stops_an_upload_when_the_scenario_says_so(self):
        scenario = os.path.join(self.dir, "dtr.json")
        with open(scenario, "w") as f:
            json.dump({"on_dtr_drop": "stop-upload"}, f)
        emu, endpoint = self.start_network_emulator("--records", "100000", "--scenario", scenario,
                                                    endpoint="rfc2217:127.0.0.1:0")
        peer = self.open_network_peer(endpoint)
        peer.write(build_frame(GET_RECORDS))
        peer.read_frames(3)
        peer.port.dtr = False
        self.assert_logged("DTR dropped: the upload stops (on_dtr_drop)")
        self.assert_logged(lambda m: m.endswith(">> m_bSend is false"))
        ends = self.journal("upload-end")
        self.assertEqual([e["how"] for e in ends], ["stopped"])


if __name__ == "__main__":
    unittest.main()
