"""Capture files of a session, the Wireshark dissector on them, replay with a diff, and the
line tap. The capture is read back with this module's own pcap reader and writer."""

import json
import errno
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

from varnel_peer import EXIT_TIMEOUT, EmulatorTestCase, PtyPair, build_frame, executable

PCAP_MAGIC_US = 0xA1B2C3D4
LINK_USER0 = 147
TO_UNIT, TO_PC, DISCARDED = 0, 1, 2
SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DISSECTOR = os.path.join(SOURCE_DIR, "tools", "wireshark", "varnel.lua")

# One request per command, with contents the renderer accepts.
REQUESTS = [
    (0x01, "07E801050903 07"), (0x02, ""), (0x03, "534E313233343536"), (0x04, ""),
    (0x05, "B0E2CAD6"), (0x06, ""), (0x07, "444E31"), (0x08, ""), (0x09, "00"), (0x0A, "5057"),
    (0x0B, "00000004"), (0x0C, ""), (0x0D, ""), (0x0E, "005A0A"), (0x0F, "B0E2CAD6"), (0x10, ""),
    (0x11, "0001B0E2CAD6000000000000000003E805"),
    (0x12, "4231000000000000000000014D31300000000000000001382E380000000000000000000000000064"),
    (0x13, "005A"), (0x14, "02010000012C0200000190"), (0x15, "000153310000000000000000000000C8"),
]


def read_pcap(path):
    """(link type, [(seconds, microseconds, direction, bytes)]) of a microsecond pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, major, minor, _, _, snaplen, link = struct.unpack("<IHHiIII", data[:24])
    if magic != PCAP_MAGIC_US or (major, minor) != (2, 4):
        raise AssertionError("not a little-endian microsecond pcap file: %s" % data[:8].hex())
    packets, offset = [], 24
    while offset < len(data):
        sec, usec, caplen, length = struct.unpack("<IIII", data[offset:offset + 16])
        body = data[offset + 16:offset + 16 + caplen]
        if caplen != length or len(body) != caplen or caplen < 1:
            raise AssertionError("packet at %d cut short" % offset)
        packets.append((sec, usec, body[0], body[1:]))
        offset += 16 + caplen
    return link, packets


def run_pc(*args, timeout=60):
    return subprocess.run([executable("varnel-pc")] + [str(a) for a in args], capture_output=True,
                          timeout=timeout, env=dict(os.environ, LC_ALL="C.UTF-8"))


class CaptureTestCase(EmulatorTestCase):

    def capture_session(self, requests, records=2, broken=None):
        """Runs `requests` (code, hex) against varnel-emu --capture, the reply to command `broken`
        given a bad checksum by a fault rule; returns the pcap path."""
        path = os.path.join(self.dir, "session.pcap")
        faults = ["--fault", "%d:corrupt-crc" % broken] if broken else []
        self.start_emulator("--records", str(records), "--capture", path, *faults)
        for code, content in requests:
            frame = build_frame(code, bytes.fromhex(content.replace(" ", "")))
            self.peer.write(frame)
            if code == broken:
                self.assertTrue(self.peer.read_raw(quiet=0.1))
            else:
                self.peer.read_frames(records + 2 if code == 0x0C else 1)
        self.assertEqual(self.shut_down(), 0)
        return path


class SessionCapture(CaptureTestCase):

    def test_requests_replies_noise_and_a_checksum_error(self):
        path = os.path.join(self.dir, "c.pcap")
        self.start_emulator("--records", "1", "--capture", path)
        get_time = build_frame(0x02)
        get_serial = build_frame(0x04)
        set_name = build_frame(0x05, b"\xb0\xe2\xca\xd6")
        broken = bytearray(build_frame(0x06))
        broken[-1] ^= 0xFF
        noise = b"\xff\xfe\x5a\xa5\x12\x34\x82\x00\x00"  # a header with command 0x82 among it
        time_reply = self.peer.request(0x02).raw
        self.assertEqual(self.peer.request(0x04).raw, build_frame(0x04, b"SERIALNUMBER"))
        self.peer.write(noise + bytes(broken))
        self.peer.assert_silent(0.3)
        self.peer.write(set_name)
        self.assertEqual(self.peer.read_frame().raw, build_frame(0x05))
        self.peer.write(build_frame(0x0C))
        upload = [f.raw for f in self.peer.read_frames(3)]
        self.assertEqual(self.shut_down(), 0)

        link, packets = read_pcap(path)
        self.assertEqual(link, LINK_USER0)
        got = [(direction, payload) for _, _, direction, payload in packets]
        self.assertEqual(got, [
            (TO_UNIT, get_time), (TO_PC, time_reply),
            (TO_UNIT, get_serial), (TO_PC, build_frame(0x04, b"SERIALNUMBER")),
            (DISCARDED, noise + bytes(broken)),
            (TO_UNIT, set_name), (TO_PC, build_frame(0x05)),
            (TO_UNIT, build_frame(0x0C))] + [(TO_PC, frame) for frame in upload])
        stamps = [sec * 1000000 + usec for sec, usec, _, _ in packets]
        self.assertEqual(stamps, sorted(stamps))
        self.assertLess(abs(stamps[0] / 1e6 - time.time()), 60)

    def test_unwritable_capture_file(self):
        code, lines, errors = self.run_emulator("--capture", os.path.join(self.dir, "no", "such", "c.pcap"),
                                                "/dev/null")
        self.assertEqual(code, 1)
        self.assertIn("cannot write capture", errors)
        code, _, errors = self.run_emulator("--capture", "", "/dev/null")
        self.assertEqual(code, 2)
        # A device that takes no byte: refused at once with the system's reason, not "Success".
        code, _, errors = self.run_emulator("--capture", "/dev/full", "/dev/null")
        self.assertEqual(code, 1)
        self.assertEqual(errors, "varnel-emu: cannot write capture /dev/full: %s\n" % os.strerror(errno.ENOSPC))

    def test_failed_start_leaves_the_capture_file_as_it_was(self):
        path = os.path.join(self.dir, "last-run.pcap")
        with open(path, "wb") as f:
            f.write(b"the last run's capture")
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        busy = "127.0.0.1:%d" % taken.getsockname()[1]
        for args in (["tcp:" + busy], ["tcp:127.0.0.1:0", "--control", busy]):
            with self.subTest(args=args):
                code, _, errors = self.run_emulator("--capture", path, *args)
                self.assertEqual(code, 1)
                self.assertIn("cannot listen on", errors)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), b"the last run's capture")


@unittest.skipIf(shutil.which("tshark") is None, "tshark not installed (tools/install-deps.sh installs it)")
class Dissector(CaptureTestCase):

    def tshark(self, path, *fields):
        args = ["tshark", "-X", "lua_script:" + DISSECTOR, "-r", path, "-T", "fields"]
        for field in fields:
            args += ["-e", field]
        done = subprocess.run(args, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertNotIn(b"Lua: Error", done.stderr)
        return [line.split("\t") for line in done.stdout.decode("utf-8").splitlines()]

    def test_every_command_and_exactly_the_broken_reply(self):
        broken = self.capture_session(REQUESTS, records=1, broken=0x02)
        _, packets = read_pcap(broken)
        broken_index = next(i for i, p in enumerate(packets) if p[2] == TO_PC and p[3][4] == 0x02)
        frame = packets[broken_index][3]
        self.assertEqual(frame[-2:], bytes(b ^ 0xFF for b in build_frame(0x02, frame[7:-2])[-2:]))

        rows = self.tshark(broken, "varnel.direction", "varnel.cmd", "varnel.crc.status")
        self.assertEqual(len(rows), len(packets))
        requests = [int(r[1]) for r in rows if r[0] == "0"]
        self.assertEqual(requests, [code for code, _ in REQUESTS])
        replies = {int(r[1]) for r in rows if r[0] == "1"}
        self.assertEqual(replies, set(range(1, 22)))
        bad = [i for i, r in enumerate(rows) if r[2] == "0"]
        self.assertEqual(bad, [broken_index])
        self.assertTrue(all(r[2] == "1" for i, r in enumerate(rows) if i != broken_index))

        # Content fields of some requests and of the record data frame.
        rows = self.tshark(broken, "varnel.device_name", "varnel.gear.pressure", "varnel.record.sequence",
                           "varnel.record.tool_model", "varnel.record.serial_number", "varnel.record.target_torque",
                           "varnel.record.date_time")
        self.assertIn(["扳手", "", "", "", "", "", ""], rows)
        self.assertIn(["", "300,400", "", "", "", "", ""], rows)
        data = [r for r in rows if r[2]]
        self.assertEqual(len(data), 1)
        self.assertEqual(data[0][2:6], ["1", "5QJW", "12345678", "128"])
        self.assertRegex(data[0][6], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")

    def test_generated_tables_match_the_cpp_tables(self):
        done = run_pc("dissector-tables")
        self.assertEqual(done.returncode, 0)
        with open(DISSECTOR, encoding="utf-8") as f:
            text = f.read()
        block = re.search(r"-- BEGIN GENERATED BY varnel-pc dissector-tables\n(.*)-- END GENERATED", text, re.S)
        self.assertIsNotNone(block)
        self.assertEqual(block.group(1), done.stdout.decode("utf-8"),
                         "regenerate: build/bin/varnel-pc dissector-tables, between the markers of varnel.lua")


class Replay(CaptureTestCase):

    SESSION = [(0x02, ""), (0x04, ""), (0x05, "B0E2CAD6"), (0x0C, ""), (0x10, "")]

    def replay(self, path, report):
        return run_pc("replay", "--report", report, "--timeout", "3000", path, self.pty.peer_path)

    def test_same_unit_matches_and_a_changed_reply_is_named(self):
        path = self.capture_session(self.SESSION, records=2)
        self.pty.kill()
        self.start_emulator("--records", "2", ready=True)
        self.peer.close()
        report = os.path.join(self.dir, "r.jsonl")
        done = self.replay(path, report)
        self.assertEqual(done.returncode, 0, done.stdout.decode() + done.stderr.decode())
        with open(report) as f:
            objects = [json.loads(line) for line in f]
        self.assertEqual([o["result"] for o in objects], ["match"] * len(self.SESSION))
        self.assertEqual(objects[3]["replayed_frames"], 4)

        # A unit whose serial number differs, as another firmware or a scenario would answer it.
        self.assertEqual(self.shut_down(), 0)
        self.pty.kill()
        scenario = os.path.join(self.dir, "other.json")
        with open(scenario, "w") as f:
            json.dump({"texts": {"serial-number": "SERIALNUMBEX"}}, f)
        self.start_emulator("--records", "2", "--scenario", scenario, ready=True)
        self.peer.close()
        done = self.replay(path, report)
        out = done.stdout.decode("utf-8")
        self.assertEqual(done.returncode, 4, out)
        self.assertIn("#2 get-factory-serial-number: differs in frame 1 at 出厂编号: "
                      "captured SERIALNUMBER (53455249414C4E554D424552), "
                      "replayed SERIALNUMBEX (53455249414C4E554D424558)", out)
        with open(report) as f:
            objects = [json.loads(line) for line in f]
        self.assertEqual([o["result"] for o in objects], ["match", "differs", "match", "match", "match"])
        self.assertEqual(objects[1]["field"], "出厂编号")

    def test_captured_duplicate_is_a_difference(self):
        path = os.path.join(self.dir, "dup.pcap")
        self.start_emulator("--capture", path, "--fault", "get-time:duplicate")
        self.peer.write(build_frame(0x02))
        self.peer.read_frames(2)
        self.assertEqual(self.shut_down(), 0)
        self.pty.kill()
        self.start_emulator(ready=True)
        self.peer.close()
        done = run_pc("replay", "--timeout", "3000", path, self.pty.peer_path)
        out = done.stdout.decode("utf-8")
        self.assertEqual(done.returncode, 4, out + done.stderr.decode())
        self.assertIn("#1 get-time: differs in frame 2 at frames: captured 2, replayed 1", out)

    def test_bad_file_and_usage(self):
        self.start_pty()
        missing = run_pc("replay", os.path.join(self.dir, "none.pcap"), self.pty.peer_path)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"cannot read", missing.stderr)
        self.assertEqual(run_pc("replay", "--timeout", "0", "a.pcap", "p").returncode, 2)
        self.assertEqual(run_pc("replay", "a.pcap").returncode, 2)


class SendShowsTheLine(EmulatorTestCase):
    """varnel-pc send against the emulator's faults: what the line carried, flagged, and the status."""

    CASES = [  # rule, exit status, reply lines (the 16 bytes' hex, with "?" for a stray run), stderr part
        ("get-time:wrong-address=0xBEEF", 1, ["< 5AA5BEEF0200"], "address BEEF, expected 1234"),
        ("get-time:wrong-command=3", 1, ["< 5AA512340300"],
         "command 0x03 (set-factory-serial-number), expected 0x02 (get-time)"),
        ("get-time:duplicate", 1, ["< 5AA512340200", "< 5AA512340200"], "arrived after the complete reply"),
        ("get-time:noise=8", 1, ["? ", "< 5AA512340200"], "8 bytes that are no frame arrived"),
        ("get-time:corrupt-crc", 1, ["< 5AA512340200"], "checksum error: received "),
    ]

    def test_faults_as_send_shows_them(self):
        for rule, status, lines, message in self.CASES:
            with self.subTest(rule=rule):
                self.start_emulator("--fault", rule)
                self.peer.close()
                done = run_pc("send", "--timeout", "5000", self.pty.peer_path, "GET-TIME")
                out, err = done.stdout.decode("utf-8"), done.stderr.decode("utf-8")
                self.assertEqual(done.returncode, status, out + err)
                shown = [l for l in out.splitlines() if l[:2] in ("< ", "? ")]
                self.assertEqual([l[:len(p)] for l, p in zip(shown, lines)], lines, out)
                self.assertEqual(len(shown), len(lines), out)
                if message:
                    self.assertIn(message, err)
                else:
                    self.assertEqual(err, "")
                self.assertEqual(self.shut_down(), 0)
                self.pty.kill()

    def test_record_twice_keeps_the_first_and_fails(self):
        self.start_emulator("--records", "5", "--fault", "record:duplicate@2")
        self.peer.close()
        csv = os.path.join(self.dir, "r.csv")
        done = run_pc("send", "--records-csv", csv, self.pty.peer_path, "get-file-records")
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertEqual(done.stderr.decode(), "varnel-pc send: record 2 received again; the first copy is kept\n")
        with open(csv, encoding="utf-8") as f:
            rows = f.read().splitlines()[1:]
        self.assertEqual([r.split(",")[0] for r in rows], ["1", "2", "3", "4", "5"])


class Tap(CaptureTestCase):

    def test_send_through_the_tap(self):
        pc_side = PtyPair(os.path.join(self.dir))  # emu = the tap's PC_PORT, peer = varnel-pc send
        self.addCleanup(pc_side.kill)
        unit_dir = os.path.join(self.dir, "unit")
        os.mkdir(unit_dir)
        unit_side = PtyPair(unit_dir)  # emu = varnel-emu, peer = the tap's UNIT_PORT
        self.addCleanup(unit_side.kill)
        emu_capture = os.path.join(self.dir, "emu.pcap")
        self.pty = unit_side
        self.start_emulator("--records", "2", "--capture", emu_capture, port=unit_side.emu_path, ready=False)
        self.emu.wait_ready()
        tap_capture = os.path.join(self.dir, "tap.pcap")
        tap = self.start_tap(tap_capture, pc_side.emu_path, unit_side.peer_path)

        received = b""
        for command in ("get-factory-serial-number", "get-file-records", "set-device-name B0E2CAD6"):
            done = run_pc("send", pc_side.peer_path, *command.split())
            self.assertEqual(done.returncode, 0, done.stderr)
            received += b"".join(bytes.fromhex(line[2:]) for line in done.stdout.decode().splitlines()
                                 if line.startswith("< "))
        tap.send_signal(signal.SIGINT)
        out, err = tap.communicate(timeout=EXIT_TIMEOUT)
        self.assertEqual(tap.returncode, 0, err)
        self.assertEqual(out.decode("utf-8").splitlines()[-1],
                         "tap: 3 frames PC>UNIT, 6 frames UNIT>PC, 0 checksum errors, 0 bytes discarded")
        self.assertIn("(reply after ", out.decode("utf-8"))
        self.assertEqual(self.shut_down(), 0)

        _, unit = read_pcap(emu_capture)
        _, tapped = read_pcap(tap_capture)
        # Every byte the unit wrote reached the PC program, and the tap saw the same frames.
        self.assertEqual(received, b"".join(p[3] for p in unit if p[2] == TO_PC))
        self.assertEqual([(p[2], p[3]) for p in tapped], [(p[2], p[3]) for p in unit])

    def test_full_side_holds_bytes_and_a_gone_side_ends_it(self):
        """A side that reads slowly under a flood gets every byte in order; the tap goes on."""
        pc_side = PtyPair(self.dir)
        self.addCleanup(pc_side.kill)
        unit_dir = os.path.join(self.dir, "unit")
        os.mkdir(unit_dir)
        unit_side = PtyPair(unit_dir)
        self.addCleanup(unit_side.kill)
        out_path = os.path.join(self.dir, "tap.out")
        with open(out_path, "wb") as out:
            tap = subprocess.Popen([executable("varnel-pc"), "tap", "--capture", os.path.join(self.dir, "t.pcap"),
                                    pc_side.emu_path, unit_side.peer_path], stdout=out, stderr=subprocess.PIPE)
        self.addCleanup(lambda: tap.poll() is None and tap.kill())
        time.sleep(0.3)
        # No 0x5A: the tap reads it all as noise, one line per read, and stays cheap.
        flood = bytes((i * 7 + 1) % 256 for i in range(1 << 20)).replace(b"\x5a", b"\x00")
        writer_fd = os.open(pc_side.peer_path, os.O_RDWR | os.O_NOCTTY)
        reader_fd = os.open(unit_side.emu_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader_fd)
        writer = threading.Thread(target=lambda: os.write(writer_fd, flood) and None)
        writer.start()
        received = bytearray()
        deadline = time.monotonic() + 30
        slow_until = time.monotonic() + 1.5
        while len(received) < len(flood) and time.monotonic() < deadline:
            # Slow at first, so the unit's side is full for a while; then everything.
            time.sleep(0.2 if time.monotonic() < slow_until else 0.005)
            try:
                received += os.read(reader_fd, 256 if time.monotonic() < slow_until else 1 << 16)
            except BlockingIOError:
                pass
        writer.join(10)
        self.assertIsNone(tap.poll(), tap.stderr.read1().decode() if tap.poll() is not None else "")
        self.assertEqual(len(received), len(flood))
        self.assertTrue(received == flood, "bytes changed or out of order")
        # The PC program's side goes away: that ends the tap, with the reason.
        os.close(writer_fd)
        pc_side.kill()
        _, err = tap.communicate(timeout=EXIT_TIMEOUT)
        self.assertEqual(tap.returncode, 1, err)
        self.assertIn(("varnel-pc tap: %s is gone: " % pc_side.emu_path).encode(), err)
        self.assertNotIn(b"Inappropriate ioctl", err)
        self.assertNotIn(b"temporarily unavailable", err)


if __name__ == "__main__":
    unittest.main()
