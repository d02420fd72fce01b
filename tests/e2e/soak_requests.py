"""Thousands of request/reply round trips with noise and bad checksums in between."""

import random
import time
import unittest

from varnel_peer import EmulatorTestCase, build_frame, reply_time

ROUND_TRIPS = 5000
TEXT_REPLIES = {0x04: b"SERIALNUMBER", 0x06: b"DEVICENAME", 0x08: b"DEVICENUMBER", 0x10: b"OPERATOR"}


def noise(rng):
    """Bytes that can never start a frame: no 0x5A in them."""
    return bytes(rng.choice([b for b in range(256) if b != 0x5A]) for _ in range(rng.randint(1, 40)))


def bad_checksum_frame(rng):
    """A complete frame whose checksum is wrong and whose other bytes hold no 0x5A."""
    content = bytes(rng.choice([b for b in range(256) if b != 0x5A]) for _ in range(rng.randint(0, 20)))
    frame = bytearray(build_frame(rng.randint(1, 21), content))
    frame[-1] ^= 0x01
    if 0x5A in frame[2:]:
        frame[-2:] = b"\x00\x00"
    return bytes(frame)


class RequestSoak(EmulatorTestCase):

    def test_round_trips_with_noise(self):
        rng = random.Random(20261208)
        self.start_emulator("--records", "1")
        started = time.monotonic()
        bad = 0
        for i in range(ROUND_TRIPS):
            command = rng.choice([c for c in range(1, 22)])
            content = bytes(rng.randrange(256) for _ in range(rng.randint(0, 48)))
            prefix = b""
            roll = rng.random()
            if roll < 0.2:
                prefix = noise(rng)
            elif roll < 0.3:
                prefix = bad_checksum_frame(rng)
                bad += 1
            self.peer.write(prefix + build_frame(command, content))
            expected = 3 if command == 0x0C else 1
            frames = self.peer.read_frames(expected)
            for frame in frames:
                self.assertEqual(frame.address, 0x1234, "round trip %d" % i)
                self.assertEqual(frame.command, command, "round trip %d" % i)
            reply = frames[0].content
            if command == 0x02:
                reply_time(reply)
            elif command in TEXT_REPLIES:
                self.assertEqual(reply, TEXT_REPLIES[command], "round trip %d" % i)
            elif command == 0x0C:
                self.assertEqual([f.content[0] for f in frames], [0, 1, 2])
            else:
                self.assertEqual(reply, b"", "round trip %d" % i)
        self.peer.assert_silent(0.3)
        elapsed = time.monotonic() - started
        crc_lines = [m for m in self.emu.messages() if m.startswith("crc error![")]
        self.assertGreaterEqual(len(crc_lines), 1)
        print("\n%d round trips (%d behind a bad checksum) in %.1f s" % (ROUND_TRIPS, bad, elapsed))
        self.assertEqual(self.shut_down(), 0)


if __name__ == "__main__":
    unittest.main()
