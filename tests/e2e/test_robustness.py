"""Request framing under awkward byte streams, checksum errors and a vanishing line."""

import random
import signal
import time
import unittest

from varnel_peer import EmulatorTestCase, build_frame, crc_wire

GET_SERIAL = build_frame(0x04)
SERIAL_REPLY = build_frame(0x04, b"SERIALNUMBER")


class FramingTest(EmulatorTestCase):

    def setUp(self):
        super().setUp()
        self.start_emulator("--records", "3")

    def assert_answered(self):
        """A clean request still gets its exact reply."""
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)

    def test_request_written_one_byte_at_a_time(self):
        self.peer.write_slowly(GET_SERIAL)
        self.assertEqual(self.peer.read_frame().raw, SERIAL_REPLY)
        mark = self.emu.mark()
        self.peer.write_slowly(build_frame(0x09, b"\x01abc"))
        self.assertEqual(self.peer.read_frame().raw, build_frame(0x09))
        self.assert_logged(self.port_line("设置加锁[abc]"), mark)

    def test_incomplete_frame_waits_for_its_rest(self):
        frame = build_frame(0x0B, bytes.fromhex("00000064"))
        self.peer.write(frame[:9])
        self.peer.assert_silent(0.4)
        self.peer.write(frame[9:])
        self.assertEqual(self.peer.read_frame().raw, build_frame(0x0B))

    def test_requests_glued_into_one_write(self):
        mark = self.emu.mark()
        self.peer.write(build_frame(0x02) + build_frame(0x04) + build_frame(0x06, b"x") + build_frame(0x0D))
        replies = self.peer.read_frames(4)
        self.assertEqual([r.command for r in replies], [0x02, 0x04, 0x06, 0x0D])
        self.assertEqual(len(replies[0].content), 7)
        self.assertEqual(replies[1].raw, SERIAL_REPLY)
        self.assertEqual(replies[2].raw, build_frame(0x06, b"DEVICENAME"))
        self.assertEqual(replies[3].raw, bytes.fromhex("5AA512340D0000DE00"))
        self.peer.assert_silent(0.3)
        received = [m for m in self.emu.messages(mark) if "接收数据" in m]
        self.assertEqual(received, [self.port_line("接收数据 - cmd: %s" % c)
                                    for c in ("2, data: ", "4, data: ", "6, data: 78", "13, data: ")])

    def test_request_wrapped_in_noise(self):
        noises = [
            (b"\x00\x11\x22\xff", b""),
            (b"\x5a", b""),                                  # 5A 5A A5: first 5A dropped
            (b"\x00\x5a", b""),
            (b"\x5a\x00\xa5", b""),                          # not a header
            (b"\x5a\xa5", b""),                              # header, then a length far too large
            (b"\x5a\xa5\x12\x34\x16\x00\x00", b""),          # unknown command 0x16
            (b"\x5a\xa5\x12\x34\x82", b""),                  # command with the top bit set
            (b"\x5a\xa5\x12\x34\x00", b""),
            (b"\x5a\xa5\x12\x34\x02\x28\x01", b""),          # length 10241
            (b"", b"\x00\xff\x5a"),                          # trailing bytes
            (b"\xa5\x5a\xa5\x5a\x5a", b"\xa5"),
        ]
        for before, after in noises:
            with self.subTest(before=before.hex(), after=after.hex()):
                mark = self.emu.mark()
                self.peer.write(before + GET_SERIAL + after)
                self.assertEqual(self.peer.read_frame().raw, SERIAL_REPLY)
                self.peer.assert_silent(0.1)
                self.assert_not_logged(lambda m: m.startswith("crc error"), mark)
                self.assertEqual(len([m for m in self.emu.messages(mark) if "接收数据" in m]), 1)
                self.assert_answered()

    def test_frame_inside_rejected_bytes_is_found(self):
        # A false header claims 3 content bytes, swallowing the start of the real frame.
        noise = b"\x5a\xa5\x00\x00\x01\x00\x03"
        stream = noise + GET_SERIAL
        expected_crc = crc_wire(stream[:10]).hex().upper()
        mark = self.emu.mark()
        self.peer.write(stream)
        self.assertEqual(self.peer.read_frame().raw, SERIAL_REPLY)
        self.assert_logged("crc error![%s]" % expected_crc, mark)
        self.assertEqual(len([m for m in self.emu.messages(mark) if "接收数据" in m]), 1)

    def test_bad_checksum_is_logged_and_not_answered(self):
        good = build_frame(0x02)
        cases = [good[:-1] + b"\x04", good[:-2] + b"\x03\xee",
                 build_frame(0x0B, bytes.fromhex("00000064"))[:-3] + b"\x65" + build_frame(0x0B, bytes.fromhex("00000064"))[-2:]]
        for frame in cases:
            with self.subTest(frame=frame.hex()):
                mark = self.emu.mark()
                self.peer.write(frame)
                # The computed checksum, in wire order, not the received one.
                self.assert_logged("crc error![%s]" % crc_wire(frame[:-2]).hex().upper(), mark)
                self.peer.assert_silent(0.4)
                self.assert_not_logged(lambda m: "接收数据" in m, mark)
                self.assert_answered()
        self.assertEqual(crc_wire(good[:-2]).hex().upper(), "EE03")

    def test_unknown_commands_are_not_answered(self):
        for command in (0x16, 0x00, 0x82, 0xFF):
            with self.subTest(command=command):
                mark = self.emu.mark()
                self.peer.write(build_frame(command))
                self.peer.assert_silent(0.4)
                self.assert_not_logged(lambda m: "接收数据" in m or m.startswith("Unknown CMD")
                                       or m.startswith("crc error"), mark)
                self.assert_answered()

    def test_largest_content_accepted_larger_rejected(self):
        # No 0x5A inside, so the rejected frame's bytes cannot hold a false header.
        rng = random.Random(7)
        content = bytes(rng.choice([b for b in range(256) if b != 0x5A]) for _ in range(10240))
        mark = self.emu.mark()
        self.assertEqual(self.peer.request(0x11, content).raw, build_frame(0x11))
        self.assert_logged(self.port_line("接收数据 - cmd: 17, data: %s" % content.hex()), mark)
        mark = self.emu.mark()
        self.peer.write(build_frame(0x11, content + b"\x00"))
        self.peer.assert_silent(0.5)
        self.assert_not_logged(lambda m: "接收数据" in m, mark)
        self.assert_answered()

    def test_address_is_not_checked(self):
        self.peer.write(build_frame(0x08, address=0x0000))
        reply = self.peer.read_frame()
        self.assertEqual(reply.raw, build_frame(0x08, b"DEVICENUMBER"))

    def test_random_noise_then_requests(self):
        rng = random.Random(42)
        noise = bytes(b for b in (rng.randrange(256) for _ in range(4000)) if b != 0x5A)
        self.peer.write(noise)
        self.peer.assert_silent(0.4)
        self.assert_answered()
        self.assertEqual(self.peer.request(0x0C).content, b"\x00\x00\x00\x00\x03")


class FloodTest(EmulatorTestCase):

    def test_answers_after_a_flood_the_pc_side_did_not_read(self):
        # The replies fill the line back to us while we only write: the unit's writes fail
        # with EAGAIN, and it must still read (and answer) once we read again.
        self.start_emulator("--records", "3")
        for rules in ((), ("*:noise=10240",)):
            with self.subTest(rules=rules):
                for rule in rules:
                    self.emu.command("fault " + rule)
                sent = self.peer.flood(build_frame(0x02), 1.5)
                self.assertGreater(sent, 100)
                self.assertGreater(self.peer.drain(), 0)
                self.emu.command("fault clear")
                self.peer.drain(0.2)
                # A deaf unit leaves our side of the line full: the write itself would block.
                self.peer.port.write_timeout = 3.0
                self.assertEqual(self.peer.request(0x04, timeout=3.0).raw, SERIAL_REPLY)
                self.assertEqual(len(self.peer.request(0x02, timeout=3.0).content), 7)


class VanishingLineTest(EmulatorTestCase):

    def test_pty_vanishes_mid_upload(self):
        self.start_emulator("--records", "200")
        mark = self.emu.mark()
        self.peer.write(build_frame(0x0C))
        self.assertEqual([f.content[0] for f in self.peer.read_frames(5)], [0, 1, 1, 1, 1])
        self.peer.close()
        self.pty.kill()

        gone = self.assert_logged(self.port_line("device is not open"), mark)
        self.assert_logged(self.port_line("发送结束帧"), gone + 1)
        time.sleep(0.5)
        self.assertTrue(self.emu.running(), "emulator ended when its line vanished")
        after = self.emu.messages(gone)
        self.assertFalse([m for m in after if m.startswith("发送消息")], after)
        self.assertTrue(any(m in ("串口未打开!", "串口尚未打开!") for m in after), after)
        records = [m for m in self.emu.messages(mark) if m.startswith("send file record: No. ")]
        self.assertLess(len(records), 200)

        closing = self.emu.mark()
        self.emu.signal(signal.SIGTERM)
        self.assertEqual(self.emu.wait_exit(), 0)
        self.assert_logged("Device Closed!", closing)


if __name__ == "__main__":
    unittest.main()
