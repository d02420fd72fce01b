"""Faults around the emulator: the line vanishing mid-request, a port already in use,
and a log file system that fills up while running."""

import os
import subprocess
import tempfile
import time
import unittest

from varnel_peer import EmulatorTestCase, Emulator, build_frame, log_file_name

GET_SERIAL = build_frame(0x04)
SERIAL_REPLY = build_frame(0x04, b"SERIALNUMBER")


def port_errors(messages):
    return [m for m in messages if m.startswith("串口错误：")]


def thread_switches(pid):
    """Context switches of every thread of a process, by thread name."""
    switches = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
            name = f.read().strip()
        with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        switches["%s (%s)" % (name, tid)] = int(fields["voluntary_ctxt_switches"]) + int(
            fields["nonvoluntary_ctxt_switches"])
    return switches


class Faults(EmulatorTestCase):

    def test_line_vanishes_mid_request(self):
        self.start_emulator()
        self.peer.write(build_frame(0x05, b"\xb0\xe2\xca\xd6")[:6])
        time.sleep(0.05)
        self.peer.close()
        self.peer = None
        self.pty.kill()
        self.assert_logged(lambda m: m.startswith("串口错误："))
        time.sleep(0.3)
        self.assertTrue(self.emu.running())
        errors = [m for m in self.emu.messages() if m.startswith("串口错误：")]
        self.assertEqual(len(errors), 1, "the port error is reported once")
        self.assert_not_logged(lambda m: m.startswith("发送消息"))
        self.assertEqual(self.shut_down(), 0)

    def test_port_in_use(self):
        self.start_emulator()
        second = Emulator([self.port_name], cwd=self.dir)
        self.addCleanup(second.cleanup)
        code = second.wait_exit()
        errors = second.stderr_text()
        self.assertEqual(code, 1)
        self.assertIn("cannot open %s" % self.port_name, errors)
        self.assertEqual(len(errors.strip().splitlines()), 1)
        # The first emulator still answers.
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        self.assertEqual(self.shut_down(), 0)


class LinkFaults(EmulatorTestCase):
    """A busy or slow PC side is not a vanished line; a vanished line comes back."""

    def drain(self, quiet=0.5, limit=30.0):
        """Every frame that arrives until the line has been quiet for `quiet` seconds."""
        frames = []
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            got = self.peer.poll_frames(quiet)
            if not got:
                return frames
            frames.extend(got)
        raise AssertionError("the line never went quiet")

    def test_backpressure_keeps_the_port_open(self):
        self.start_emulator()
        # A PC program busy elsewhere for 2 s: it writes what the line takes and reads nothing.
        # Whatever part of a request was left unwritten the unit gives up on as a stale frame.
        started = time.monotonic()
        self.assertGreater(self.peer.write_within(GET_SERIAL * 5000, 2.0), len(GET_SERIAL))
        time.sleep(max(0.0, 2.0 - (time.monotonic() - started)))
        replies = self.drain()
        self.assertGreater(len(replies), 0)
        for reply in replies:
            self.assertEqual(reply.raw, SERIAL_REPLY)
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)
        self.assertEqual(port_errors(self.emu.messages()), [])
        self.assertEqual(self.shut_down(), 0)

    def test_reply_flush_races_slow_requests(self):
        self.start_emulator()
        pair = build_frame(0x02) + GET_SERIAL
        for _ in range(50):
            self.peer.write_slowly(pair, pause=0.001)  # a 9600-baud line
            for reply in self.peer.poll_frames(0.3):
                self.assertIn(reply.command, (0x02, 0x04))
        self.drain(quiet=0.3)
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)
        self.assertEqual(port_errors(self.emu.messages()), [])
        self.assertEqual(self.shut_down(), 0)

    def test_request_behind_a_long_announcement_is_found(self):
        self.start_emulator()
        self.peer.write(bytes.fromhex("5AA51234012800"))  # announces 10240 bytes that never come
        started = time.monotonic()
        self.peer.write(GET_SERIAL)
        self.assertEqual(self.peer.read_frame(timeout=2.0).raw, SERIAL_REPLY)
        self.assertLess(time.monotonic() - started, 1.0)
        # A request whose bytes keep coming is not cut short.
        self.peer.write(GET_SERIAL[:4])
        time.sleep(0.3)
        self.peer.write(GET_SERIAL[4:])
        self.assertEqual(self.peer.read_frame().raw, SERIAL_REPLY)
        self.peer.assert_silent(0.7)
        self.assertEqual(self.shut_down(), 0)

    def test_idle_emulator_sleeps(self):
        # Frames are cut on the main thread; no thread of the process may wake while the line
        # is quiet, not even for a candidate frame left incomplete.
        self.start_emulator()
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)
        self.peer.write(build_frame(0x05, b"\xb0\xe2\xca\xd6")[:6])
        time.sleep(0.7)  # past the quiet-line pass
        before = thread_switches(self.emu.process.pid)
        time.sleep(2.0)
        after = thread_switches(self.emu.process.pid)
        self.assertEqual({t: after[t] - n for t, n in before.items() if after.get(t, n) != n}, {})
        self.assertNotIn("varnel-parse", " ".join(before))
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)
        self.assertEqual(self.shut_down(), 0)

    def vanish_line(self):
        self.peer.close()
        self.peer = None
        self.pty.kill()
        self.assert_logged(lambda m: m.startswith("串口错误："))

    def test_line_comes_back(self):
        self.start_emulator()
        self.vanish_line()
        time.sleep(1.2)  # several failed attempts, one line for them
        mark = self.emu.mark()
        self.start_pty()
        returned = time.monotonic()
        self.assert_logged("Device Opened!", mark, timeout=5.0)
        self.assert_logged("打开串口成功", mark, timeout=5.0)
        self.assertLess(time.monotonic() - returned, 1.0 + 0.5)
        self.open_peer()
        self.assertEqual(self.peer.request(0x04).raw, SERIAL_REPLY)
        messages = self.emu.messages()
        self.assertEqual(len(port_errors(messages)), 1)
        self.assertEqual(len([m for m in messages if m.startswith("打开串口失败")]), 1)
        self.assertEqual(self.shut_down(), 0)

    def test_port_taken_while_away_names_the_holder(self):
        self.start_emulator("--reopen", "1500")
        self.vanish_line()
        mark = self.emu.mark()
        self.start_pty()
        # Another program takes the port before the first attempt to open it again.
        other = Emulator([self.pty.emu_path], cwd=self.dir)
        self.addCleanup(other.cleanup)
        other.wait_ready()
        self.assert_logged("打开串口失败：in use by process %d (varnel-emu)" % other.process.pid, mark, timeout=5.0)
        self.assertEqual(self.shut_down(), 0)

    def test_no_reopen_stays_closed(self):
        self.start_emulator("--reopen", "0")
        self.vanish_line()
        mark = self.emu.mark()
        self.start_pty()
        self.open_peer()
        self.peer.write(GET_SERIAL)
        self.peer.assert_silent(1.0)
        self.assertTrue(self.emu.running())
        self.assert_not_logged("Device Opened!", mark)
        self.assertEqual(self.shut_down(), 0)

    def test_bad_reopen_value(self):
        for value in ("-1", "abc", "3600001"):
            code, _, errors = self.run_emulator("--reopen", value, "/dev/null")
            self.assertEqual(code, 2, value)
            self.assertIn("--reopen", errors)


class FullLogFileSystem(EmulatorTestCase):

    def setUp(self):
        super().setUp()
        self.mount = tempfile.mkdtemp(prefix="varnel-tmpfs-")
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.mount],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            os.rmdir(self.mount)
            self.skipTest("mounting a small tmpfs is not permitted here")
        self.addCleanup(os.rmdir, self.mount)
        self.addCleanup(subprocess.run, ["umount", "-l", self.mount])

    def test_lines_lost_while_full_then_resumed(self):
        self.start_pty()
        self.port_name = self.pty.emu_path
        self.emu = Emulator([self.port_name], cwd=self.mount)
        self.addCleanup(self.emu.cleanup)
        self.emu.wait_ready()
        self.open_peer()
        filler = os.path.join(self.mount, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, bytes(4096)) > 0:
                pass
        except OSError:
            pass  # full
        finally:
            os.close(fd)
        # The log file's last page may still hold a few lines; then writes fail.
        for _ in range(40):
            self.assertEqual(self.peer.request(0x06).content, b"DEVICENAME")
        self.assertIn("write file failed!", self.emu.lines())
        os.unlink(filler)
        self.assertEqual(self.peer.request(0x08).content, b"DEVICENUMBER")
        time.sleep(0.2)
        with open(os.path.join(self.mount, log_file_name()), "rb") as f:
            self.assertIn("发送消息：获取设备编号".encode(), f.read())
        self.assertEqual(self.shut_down(), 0)


if __name__ == "__main__":
    unittest.main()
