"""A full 10000-record upload read to the end, every record checked."""

import datetime
import time
import unittest

from varnel_peer import EmulatorTestCase, build_frame

RECORDS = 10000
GET_RECORDS = 0x0C
FIXED_TAIL = (bytes([2, 1]) + (300).to_bytes(2, "big") + (128).to_bytes(4, "big") + (129).to_bytes(4, "big")
              + b"1122334455" + b"5544332211" + (30).to_bytes(2, "big") + (31).to_bytes(2, "big")
              + bytes([1, 1, 1, 1]))


class UploadSoak(EmulatorTestCase):

    def test_ten_thousand_records(self):
        self.start_emulator("--records", str(RECORDS))
        earliest = datetime.datetime.now().replace(microsecond=0)
        started = time.monotonic()
        self.peer.write(build_frame(GET_RECORDS))

        frames = []
        deadline = time.monotonic() + 400
        while not frames or frames[-1].content != b"\x02":
            self.assertLess(time.monotonic(), deadline, "upload stalled after %d frames" % len(frames))
            frames.extend(self.peer.poll_frames(0.2))
        elapsed = time.monotonic() - started
        latest = datetime.datetime.now() + datetime.timedelta(seconds=1)

        self.assertEqual(frames[0].content, b"\x00" + RECORDS.to_bytes(4, "big"))
        self.assertEqual(frames[-1].content, b"\x02")
        records = frames[1:-1]
        self.assertEqual(len(records), RECORDS, "missing or extra data frames")
        sequences = [int.from_bytes(f.content[1:5], "big") for f in records]
        self.assertEqual(sequences, list(range(1, RECORDS + 1)), "records out of order, missing or duplicated")
        for frame in records:
            c = frame.content
            self.assertEqual(frame.command, GET_RECORDS)
            self.assertEqual(len(c), 110)
            self.assertEqual(c[0], 1)
            self.assertEqual(c[5:23], b"5QJW" + bytes(6) + b"12345678")
            stamp = datetime.datetime(int.from_bytes(c[23:25], "big"), *c[25:30])
            self.assertTrue(earliest <= stamp <= latest, "record %d time %s" % (c[1], stamp))
            self.assertEqual(c[30:70], "设备名称".encode() + bytes(4) + b"87654321" + "操作人员".encode() + bytes(4))
            self.assertEqual(c[70:], FIXED_TAIL)
        self.peer.assert_silent(0.3)
        print("\n%d records in %.1f s: %.1f records/s" % (RECORDS, elapsed, RECORDS / elapsed))
        self.assertEqual(self.shut_down(), 0)


if __name__ == "__main__":
    unittest.main()
