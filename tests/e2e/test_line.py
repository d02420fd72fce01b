"""A line that behaves like a cable: line timing, a USB adapter's packets, a line that goes
and comes back, breaks and modem lines, seen from the PC side."""

import json
import os
import time
import unittest

from varnel_peer import START_TIMEOUT, Emulator, EmulatorTestCase, FrameParser, build_frame, pane_message

GET_TIME = 0x02
GET_DEVICE_NAME = 0x06
GET_RECORDS = 0x0C


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
                sent, chunks = self.timed_request(GET_TIME)
                self.assertEqual(sum(len(d) for _, d in chunks), 16)
                # No byte before its stop bit could have left: the last one a reply's line time on.
                self.assertGreaterEqual(chunks[-1][0] - sent, 16 * c * 0.98, chunks)
                if baud == 9600:
                    # A stream, not one write: spread over most of its 16.7 ms.
                    self.assertGreaterEqual(len(chunks), 3, chunks)
                    self.assertGreaterEqual(chunks[-1][0] - chunks[0][0], 10 * c, chunks)
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
        self.assertGreaterEqual(packets[1][0] - packets[0][0], 0.18, chunks)
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


if __name__ == "__main__":
    unittest.main()
