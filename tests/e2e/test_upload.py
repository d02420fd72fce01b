"""The record upload (command 0x0C) frame by frame."""

import datetime
import time
import unittest

from varnel_peer import EmulatorTestCase, build_frame, reply_time

GET_RECORDS = 0x0C
END = b"\x02"
SLACK = datetime.timedelta(seconds=2)


def start_content(count):
    return b"\x00" + count.to_bytes(4, "big")


def expected_record(sequence, date_bytes):
    """The 110-byte synthetic record, built field by field."""
    return (b"\x01" + sequence.to_bytes(4, "big")
            + b"5QJW" + bytes(6)
            + b"12345678"
            + date_bytes
            + "设备名称".encode("utf-8") + bytes(4)
            + b"87654321"
            + "操作人员".encode("utf-8") + bytes(4)
            + bytes([2, 1]) + (300).to_bytes(2, "big")
            + (128).to_bytes(4, "big") + (129).to_bytes(4, "big")
            + b"1122334455" + b"5544332211"
            + (30).to_bytes(2, "big") + (31).to_bytes(2, "big")
            + bytes([1, 1, 1, 1]))


def kind(frame):
    return {0x00: "start", 0x01: "data", 0x02: "end"}.get(frame.content[:1][0] if frame.content else None, "?")


class UploadTestCase(EmulatorTestCase):

    def read_upload(self, timeout=30.0):
        """Frames up to and including the next end frame."""
        frames = []
        deadline = time.monotonic() + timeout
        while not frames or frames[-1].content != END:
            self.assertLess(time.monotonic(), deadline, "no end frame; got %d frames" % len(frames))
            frames.extend(self.peer.poll_frames(0.05))
            if frames and frames[-1].content != END and END in [f.content for f in frames]:
                self.fail("frames after the end frame: %r" % frames)
        for frame in frames:
            self.assertEqual(frame.address, 0x1234)
            self.assertEqual(frame.command, GET_RECORDS)
        return frames

    def check_records(self, frames, first_sequence, earliest, latest):
        """Data frames with consecutive sequence numbers, exact layout and a plausible local time."""
        for offset, frame in enumerate(frames):
            sequence = first_sequence + offset
            content = frame.content
            self.assertEqual(len(content), 110, "record %d" % sequence)
            self.assertEqual(frame.raw[5:7], b"\x00\x6e")
            self.assertEqual(content[0], 0x01)
            self.assertEqual(int.from_bytes(content[1:5], "big"), sequence)
            self.assertEqual(content[5:15], bytes.fromhex("35514A57000000000000"))
            self.assertEqual(content[72:74], bytes.fromhex("012C"))
            self.assertEqual(content[74:78], bytes.fromhex("00000080"))
            when = reply_time(content[23:30])
            self.assertTrue(earliest - SLACK <= when <= latest + SLACK,
                            "record %d time %s outside %s .. %s" % (sequence, when, earliest, latest))
            self.assertEqual(content, expected_record(sequence, content[23:30]))
            self.assertEqual(frame.raw, build_frame(GET_RECORDS, content))

    def begin_upload(self, records, frames=1):
        """Asks for the records; the first `frames` frames, the start frame announcing `records`."""
        self.peer.write(build_frame(GET_RECORDS))
        head = self.peer.read_frames(frames)
        self.assertEqual(head[0].content, start_content(records))
        return head

    def upload(self, count):
        """One complete upload of `count` records, checked frame by frame."""
        before = datetime.datetime.now().replace(microsecond=0)
        self.peer.write(build_frame(GET_RECORDS))
        frames = self.read_upload()
        after = datetime.datetime.now()
        self.assertEqual(frames[0].raw, build_frame(GET_RECORDS, start_content(count)))
        self.assertEqual(frames[-1].raw, build_frame(GET_RECORDS, END))
        self.assertEqual(len(frames), count + 2, [kind(f) for f in frames])
        self.check_records(frames[1:-1], 1, before, after)
        return frames


class UploadTest(UploadTestCase):

    def test_three_records(self):
        self.start_emulator("--records", "3")
        mark = self.emu.mark()
        frames = self.upload(3)
        self.assertEqual(frames[0].raw, bytes.fromhex("5AA512340C0005 0000000003") + frames[0].raw[-2:])
        self.peer.assert_silent(0.3)

        self.assert_logged(self.port_line("发送结束帧"), mark)
        messages = [m for m in self.emu.messages(mark) if m != "Read Data!"]
        send = "发送消息：获取文件记录"
        expected = [self.port_line("接收数据 - cmd: 12, data: "), self.port_line("data: "),
                    self.port_line("发送起始帧"), send, self.port_line("发送数据帧")]
        for index, frame in enumerate(frames[1:-1]):
            expected += ["日期 : " + frame.content[23:30].hex().upper(),
                         "FIELD_TYPE_STRING : " + frame.content[:46].hex().upper(),
                         "send file record: No. %d" % index, send]
        expected += [self.port_line("发送结束帧"), send]
        self.assertEqual(messages[:len(expected)], expected)

    def test_zero_records(self):
        self.start_emulator("--records", "0")
        mark = self.emu.mark()
        frames = self.upload(0)
        self.assertEqual([f.content for f in frames], [bytes(5), END])
        data_line = self.assert_logged(self.port_line("发送数据帧"), mark)
        self.assert_logged(self.port_line("发送结束帧"), data_line + 1)
        self.assert_not_logged(lambda m: m.startswith("send file record"), mark)
        self.peer.assert_silent(0.3)

    def test_records_differ_only_in_sequence_and_time(self):
        # Long enough to span at least two seconds of the local clock.
        self.start_emulator("--records", "150")
        frames = self.upload(150)
        records = [f.content for f in frames[1:-1]]
        times = [reply_time(r[23:30]) for r in records]
        self.assertEqual(times, sorted(times))
        self.assertGreaterEqual(len(set(times)), 2)
        numbers = [int(m.rsplit(" ", 1)[1]) for m in self.emu.messages()
                   if m.startswith("send file record: No. ")]
        self.assertEqual(numbers, list(range(150)))

    def test_record_count_from_standard_input(self):
        self.start_emulator("--records", "1")
        self.upload(1)
        self.set_record_count(4)
        self.upload(4)
        self.set_record_count(0)
        self.upload(0)

    def test_bad_record_count_commands_change_nothing(self):
        self.start_emulator("--records", "2")
        for bad in ("records abc", "records 123456789", "records -1", "records"):
            self.emu.command(bad)
        self.wait_command_processed()
        self.upload(2)
        errors = self.emu_stderr_until(lambda text: text.count("\n") >= 4)
        self.assertIn('records: expected 1 to 8 digits, got "abc"', errors)

    def test_count_change_during_upload_affects_only_later_uploads(self):
        self.start_emulator("--records", "30")
        self.begin_upload(30)
        self.emu.command("records 2")
        rest = self.read_upload()
        self.assertEqual(len(rest), 31)
        self.check_records(rest[:-1], 1, datetime.datetime.now() - datetime.timedelta(minutes=1),
                           datetime.datetime.now())
        self.upload(2)

    def test_stop_mid_upload(self):
        self.start_emulator("--records", "200")
        mark = self.emu.mark()
        head = self.begin_upload(200, frames=6)
        self.emu.command("stop")
        frames = head + self.read_upload()
        data = frames[1:-1]
        self.assertTrue(5 <= len(data) < 200, "%d data frames" % len(data))
        self.check_records(data, 1, datetime.datetime.now() - datetime.timedelta(minutes=1),
                           datetime.datetime.now())
        self.assertEqual(frames[-1].raw, build_frame(GET_RECORDS, END))
        stopped = self.assert_logged(self.port_line("m_bSend is false"), mark)
        self.assert_logged(self.port_line("发送结束帧"), stopped + 1)
        sent = [m for m in self.emu.messages(mark) if m.startswith("send file record: No. ")]
        self.assertEqual(len(sent), len(data))
        self.peer.assert_silent(0.3)
        # The service is idle again: a new upload runs to its end.
        self.set_record_count(2)
        self.upload(2)

    def test_upload_to_a_pc_side_that_stopped_reading_ends_with_a_reason(self):
        # Runs the stall bound out (5 s) once the line is full: about 8 s. Duplicated data
        # frames fill the line twice as fast.
        self.start_emulator("--records", "100000", "--fault", "record:duplicate")
        mark = self.emu.mark()
        self.begin_upload(100000)
        stalled = self.assert_logged(
            lambda m: m.startswith(self.port_line("the line took nothing for 5000 ms")), mark, timeout=30)
        self.assertIn("the PC side stopped reading, upload ended", self.emu.messages(stalled)[0])
        self.assert_logged(self.port_line("发送结束帧"), stalled + 1)
        sent = [m for m in self.emu.messages(mark) if m.startswith("send file record: No. ")]
        self.assertLess(len(sent), 100000)
        self.assertTrue(self.emu.running())

    def test_stop_while_idle_has_no_effect(self):
        self.start_emulator("--records", "3")
        self.emu.command("stop")
        self.wait_command_processed()
        self.upload(3)
        self.assert_not_logged(lambda m: m.endswith("m_bSend is false"))

    def test_nested_record_request(self):
        # The outer upload would run long; the nested one is short (the count is read at its start).
        self.start_emulator("--records", "300")
        mark = self.emu.mark()
        outer = self.begin_upload(300, frames=4)
        command = self.emu.mark()
        self.emu.command("records 5")
        # The line and standard input are read by one event loop in no fixed order: the nested
        # request goes only once the count is in force, or it may start with the old one.
        self.assert_logged("records per upload: 5", command)
        # Request bytes can be dropped when a reply clears the receive buffer: resend until answered.
        seen = []
        deadline = time.monotonic() + 20
        while not any(kind(f) == "start" for f in seen):
            self.assertLess(time.monotonic(), deadline, "nested request never answered")
            self.assertNotIn("end", [kind(f) for f in seen], "outer upload ended first")
            self.peer.write(build_frame(GET_RECORDS))
            end = time.monotonic() + 0.3
            while time.monotonic() < end and not any(kind(f) == "start" for f in seen):
                seen.extend(self.peer.poll_frames(0.02))
        split = [kind(f) for f in seen].index("start")
        outer += seen[:split]
        rest = seen[split:]
        deadline = time.monotonic() + 20
        while [f.content for f in rest].count(END) < 2:
            self.assertLess(time.monotonic(), deadline, "uploads did not end: %r" % [kind(f) for f in rest])
            rest.extend(self.peer.poll_frames(0.05))
        first_end = [f.content for f in rest].index(END)
        nested, tail = rest[:first_end + 1], rest[first_end + 1:]
        self.check_records(outer[1:], 1, datetime.datetime.now() - datetime.timedelta(minutes=1),
                           datetime.datetime.now())
        self.assertEqual(nested[0].raw, build_frame(GET_RECORDS, start_content(5)))
        self.assertEqual([kind(f) for f in nested], ["start"] + ["data"] * 5 + ["end"])
        self.check_records(nested[1:-1], 1, datetime.datetime.now() - datetime.timedelta(minutes=1),
                           datetime.datetime.now())
        # The outer upload resumes only to stop and send its own end frame.
        self.assertEqual([f.raw for f in tail], [build_frame(GET_RECORDS, END)])
        self.peer.assert_silent(0.3)
        ends = [i for i, m in enumerate(self.emu.messages(mark)) if m == self.port_line("发送结束帧")]
        self.assertEqual(len(ends), 2)
        stops = [i for i, m in enumerate(self.emu.messages(mark)) if m == self.port_line("m_bSend is false")]
        self.assertEqual(len(stops), 1)
        self.assertTrue(ends[0] < stops[0] < ends[1])

    # -- helpers ------------------------------------------------------------
    def set_record_count(self, count):
        # The console says when the count is in force; a request sent before may meet the old one.
        mark = self.emu.mark()
        self.emu.command("records %d" % count)
        self.assert_logged("records per upload: %d" % count, mark)

    def wait_command_processed(self):
        # Standard input is read as soon as it arrives; a round trip on the line follows it.
        time.sleep(0.1)
        self.assertEqual(self.peer.request(0x0D).raw, build_frame(0x0D))

    def emu_stderr_until(self, test, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            text = self.emu.stderr_snapshot()
            if test(text) or time.monotonic() > deadline:
                return text
            time.sleep(0.05)


if __name__ == "__main__":
    unittest.main()
