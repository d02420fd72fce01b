"""Reply bytes of every command except the record upload, and their log lines."""

import datetime
import unittest

from varnel_peer import EmulatorTestCase, build_frame, crc16, reply_time

# Protocol names as the send log line shows them.
NAMES = {
    0x01: "设置时间", 0x02: "获取时间", 0x03: "设置出厂编号", 0x04: "获取出厂编号",
    0x05: "设置设备名称", 0x06: "获取设备名称", 0x07: "设置设备编号", 0x08: "获取设备编号",
    0x09: "设置锁定状态", 0x0A: "设置使用密码", 0x0B: "设置使用次数", 0x0C: "获取文件记录",
    0x0D: "清除文件记录", 0x0E: "设置回退信息", 0x0F: "设置操作人名", 0x10: "获取操作人名",
    0x11: "导入数据-扭矩模式", 0x12: "导入数据-螺栓模式", 0x13: "导入数据-角度模式",
    0x14: "导入数据-挡位模式", 0x15: "导入数据-传感器模式",
}

# Requests that are acknowledged with an empty reply, each with a well-formed example content.
ACKED = {
    0x01: bytes.fromhex("07EA0C08090A0B"),
    0x03: b"SN-0001",
    0x05: bytes.fromhex("B0E2CAD6"),                      # GB2312 text
    0x07: b"12345678",
    0x09: b"\x011234",
    0x0A: b"pass",
    0x0B: bytes.fromhex("00000064"),
    0x0D: b"",
    0x0E: bytes.fromhex("005A0A"),
    0x0F: bytes.fromhex("D5C5C8FD"),                      # GB2312 text
    0x11: bytes.fromhex("0001") + b"W1".ljust(10, b"\0") + bytes.fromhex("00000064" "05"),
    0x12: (b"ABC".ljust(10, b"\0") + b"\x00\x02" + b"M10".ljust(10, b"\0") + b"M12".ljust(10, b"\0")
           + b"\x01" + b"8.8".ljust(10, b"\0") + bytes.fromhex("00000032" "00000046") + b"\x01\x00\x00"),
    0x13: bytes.fromhex("005A"),
    0x14: bytes.fromhex("02" "010000000A" "0200000014"),
    0x15: bytes.fromhex("0001") + b"S1".ljust(10, b"\0") + bytes.fromhex("00000100"),
}

TEXTS = {0x04: b"SERIALNUMBER", 0x06: b"DEVICENAME", 0x08: b"DEVICENUMBER", 0x10: b"OPERATOR"}


class RepliesTest(EmulatorTestCase):

    def setUp(self):
        super().setUp()
        self.start_emulator("--records", "0")

    def assert_request_logged(self, command, content, start):
        received = self.assert_logged(
            self.port_line("接收数据 - cmd: %d, data: %s" % (command, content.hex())), start)
        handled = self.assert_logged(self.port_line("data: %s" % content.hex()), received + 1)
        self.assert_logged("发送消息：%s" % NAMES[command], handled + 1)

    def test_worked_examples_on_the_wire(self):
        # The peer's own framing agrees with the two published examples.
        self.assertEqual(build_frame(0x02), bytes.fromhex("5AA5123402 0000 EE03"))
        self.assertEqual(build_frame(0x0D), bytes.fromhex("5AA512340D 0000 DE00"))
        self.assertEqual(crc16(b"123456789"), 0x4B37)
        reply = self.peer.request(0x0D)
        self.assertEqual(reply.raw, bytes.fromhex("5AA512340D0000DE00"))

    def assert_acknowledged_empty(self, requests):
        """Each (command, content) is answered with an empty reply and its content logged."""
        for command, content in requests:
            with self.subTest(command=command):
                mark = self.emu.mark()
                reply = self.peer.request(command, content)
                self.assertEqual(reply.raw, build_frame(command, b""))
                self.assert_request_logged(command, content, mark)

    def test_set_requests_are_acknowledged_empty(self):
        self.assert_acknowledged_empty(sorted(ACKED.items()))
        self.peer.assert_silent(0.3)

    def test_set_requests_with_empty_content(self):
        self.assert_acknowledged_empty((command, b"") for command in sorted(ACKED))

    def test_set_requests_with_malformed_content(self):
        odd = {0x01: b"\xff", 0x0B: b"\x01\x02\x03\x04\x05\x06", 0x0E: b"\x00",
               0x11: bytes(range(256)) * 2, 0x13: b"\x00\x5a\xa5\x12\x34",
               0x05: b"\x00" * 40, 0x09: b"\x02zz"}
        self.assert_acknowledged_empty(sorted(odd.items()))

    def test_each_request_handled_once_in_order(self):
        mark = self.emu.mark()
        for command in sorted(ACKED):
            self.peer.request(command, ACKED[command])
        messages = self.emu.messages(mark)
        handled = [m for m in messages if m.startswith(self.port_line("data: "))]
        self.assertEqual(handled, [self.port_line("data: %s" % ACKED[c].hex()) for c in sorted(ACKED)])

    def test_fixed_texts(self):
        for command, text in sorted(TEXTS.items()):
            with self.subTest(command=command):
                mark = self.emu.mark()
                reply = self.peer.request(command)
                self.assertEqual(reply.address, 0x1234)
                self.assertEqual(reply.command, command)
                self.assertEqual(reply.raw[5:7], len(text).to_bytes(2, "big"))
                self.assertEqual(reply.content, text)
                self.assertEqual(reply.raw, build_frame(command, text))
                self.assert_request_logged(command, b"", mark)

    def test_get_with_unexpected_content_still_answers(self):
        reply = self.peer.request(0x06, b"\x01\x02")
        self.assertEqual(reply.raw, build_frame(0x06, b"DEVICENAME"))

    def test_get_never_returns_what_was_set(self):
        self.assertEqual(self.peer.request(0x05, "测试".encode("gb2312")).content, b"")
        self.assertEqual(self.peer.request(0x06).content, b"DEVICENAME")
        self.assertEqual(self.peer.request(0x0F, b"Zhang").content, b"")
        self.assertEqual(self.peer.request(0x10).content, b"OPERATOR")
        self.assertEqual(self.peer.request(0x03, b"XYZ").content, b"")
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        self.assertEqual(self.peer.request(0x07, b"1").content, b"")
        self.assertEqual(self.peer.request(0x08).content, b"DEVICENUMBER")

    def test_get_time_is_the_local_clock(self):
        mark = self.emu.mark()
        before = datetime.datetime.now().replace(microsecond=0)
        reply = self.peer.request(0x02)
        after = datetime.datetime.now()
        self.assertEqual(reply.raw[:7], bytes.fromhex("5AA51234020007"))
        self.assertEqual(len(reply.raw), 16)
        when = reply_time(reply.content)
        slack = datetime.timedelta(seconds=2)
        self.assertTrue(before - slack <= when <= after + slack, "%s not within %s .. %s" % (when, before, after))
        self.assert_request_logged(0x02, b"", mark)

    def test_get_time_after_set_time_is_still_the_local_clock(self):
        self.assertEqual(self.peer.request(0x01, bytes.fromhex("07D0010100000000")).content, b"")
        when = reply_time(self.peer.request(0x02).content)
        self.assertLess(abs((when - datetime.datetime.now()).total_seconds()), 3)

    def test_lock_with_text(self):
        mark = self.emu.mark()
        self.assertEqual(self.peer.request(0x09, b"\x01abc").raw, build_frame(0x09))
        data_line = self.assert_logged(self.port_line("data: 01616263"), mark)
        self.assert_logged(self.port_line("设置加锁[abc]"), data_line + 1)

    def test_lock_without_text(self):
        mark = self.emu.mark()
        self.assertEqual(self.peer.request(0x09, b"\x01").raw, build_frame(0x09))
        self.assert_logged(self.port_line("设置加锁[]"), mark)

    def test_unlock(self):
        for content in (b"\x00", b"\x00abc", b""):
            with self.subTest(content=content):
                mark = self.emu.mark()
                self.assertEqual(self.peer.request(0x09, content).raw, build_frame(0x09))
                self.assert_logged(self.port_line("设置解锁"), mark)
                self.assert_not_logged(lambda m: "设置加锁" in m, mark)

    def test_other_lock_state_only_acknowledged(self):
        mark = self.emu.mark()
        self.assertEqual(self.peer.request(0x09, b"\x02abc").raw, build_frame(0x09))
        self.assert_logged(self.port_line("data: 02616263"), mark)
        # A later request proves the handler has finished logging.
        self.peer.request(0x0D)
        self.assert_not_logged(lambda m: "设置加锁" in m or "设置解锁" in m, mark)


if __name__ == "__main__":
    unittest.main()
