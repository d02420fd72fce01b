"""Faults around the emulator: the line vanishing mid-request, a port already in use,
and a log file system that fills up while running."""

import os
import subprocess
import tempfile
import time
import unittest

from varnel_peer import EmulatorTestCase, Emulator, build_frame, log_file_name


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
        code = second.wait_exit()
        errors = second.stderr_text()
        self.assertEqual(code, 1)
        self.assertIn("cannot open %s" % self.port_name, errors)
        self.assertEqual(len(errors.strip().splitlines()), 1)
        # The first emulator still answers.
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        self.assertEqual(self.shut_down(), 0)


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
