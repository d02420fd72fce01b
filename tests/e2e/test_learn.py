"""varnel-pc learn: a stand-in for the bench unit tapped, learned, served as a scenario and
replayed, both the session it learned from and one it did not; and the captures it refuses."""

import csv
import json
import os
import signal
import subprocess
import time
import unittest

from varnel_peer import (EXIT_TIMEOUT, BenchUnit, EmulatorTestCase, Peer, PtyPair, build_frame,
                         executable)

TEXT = "扳手C".encode("gb2312").hex()
# The PC program's first session: every text read, names set and read back, the clock read and
# set, a count acknowledged with a byte, the command the unit never answers, two uploads.
SESSION_ONE = [
    (0x04, ""), (0x06, ""), (0x08, ""), (0x10, ""), (0x02, ""),
    (0x05, TEXT), (0x06, ""), (0x0F, "D5C5C8FD"), (0x10, ""),
    (0x0B, "00000005"), (0x0D, ""), (0x0C, ""), (0x09, "00"), (0x02, ""),
    (0x11, "0001B0E2CAD6000000000000000003E805"), (0x0C, ""), (0x01, "07EA0301090000"), (0x02, ""),
]
# Another session: the same program a day later, with a serial number set and read back, which the
# first session never did.
SESSION_TWO = [
    (0x06, ""), (0x02, ""), (0x03, "534E2D30303031"), (0x04, ""), (0x05, TEXT), (0x06, ""), (0x0C, ""),
]


def run_pc(*args, timeout=120):
    return subprocess.run([executable("varnel-pc")] + [str(a) for a in args], capture_output=True,
                          timeout=timeout, env=dict(os.environ, LC_ALL="C.UTF-8"))


class LearnTestCase(EmulatorTestCase):

    def tap_session(self, name, requests):
        """Runs `requests` from a PC-side peer through varnel-pc tap to a fresh BenchUnit; the capture."""
        pc_dir, unit_dir = (os.path.join(self.dir, name + side) for side in ("-pc", "-unit"))
        os.mkdir(pc_dir)
        os.mkdir(unit_dir)
        pc_side, unit_side = PtyPair(pc_dir), PtyPair(unit_dir)
        self.addCleanup(unit_side.kill)
        self.addCleanup(pc_side.kill)
        bench = BenchUnit(unit_side.emu_path)
        self.addCleanup(bench.stop)
        path = os.path.join(self.dir, name + ".pcap")
        tap = self.start_tap(path, pc_side.emu_path, unit_side.peer_path, stdout=subprocess.DEVNULL)
        peer = Peer(pc_side.peer_path)
        self.addCleanup(peer.close)
        for code, content in requests:
            peer.write(build_frame(code, bytes.fromhex(content)))
            if code == BenchUnit.UNANSWERED:
                peer.assert_silent(0.3)
            else:
                peer.read_frames(BenchUnit.RECORDS + 2 if code == 0x0C else 1)
        peer.close()
        tap.send_signal(signal.SIGINT)
        _, err = tap.communicate(timeout=EXIT_TIMEOUT)
        self.assertEqual(tap.returncode, 0, err)
        return path

    def emulator_capture(self, name, *faults, requests=((0x02, ""),)):
        """A capture of varnel-emu --capture answering `requests`, one at a time, under `faults`."""
        path = os.path.join(self.dir, name)
        self.start_emulator("--records", "2", "--capture", path, *faults)
        for code, content in requests:
            self.peer.write(build_frame(code, bytes.fromhex(content)))
            time.sleep(0.2)
        self.assertEqual(self.shut_down(), 0)
        self.pty.kill()
        self.emu = None
        return path

    def learn(self, *args):
        done = run_pc("learn", *args)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")

    def replay(self, capture, scenario):
        """Replays `capture` against a fresh varnel-emu serving `scenario`; (status, output)."""
        if self.emu is not None:
            self.assertEqual(self.shut_down(), 0)
            self.pty.kill()
        self.start_emulator("--scenario", scenario)
        self.peer.close()
        done = run_pc("replay", "--timeout", "1000", capture, self.pty.peer_path)
        return done.returncode, done.stdout.decode("utf-8") + done.stderr.decode("utf-8")


class LearnTheBenchUnit(LearnTestCase):

    def test_tap_learn_check_serve_replay(self):
        first = self.tap_session("one", SESSION_ONE)
        second = self.tap_session("two", SESSION_TWO)
        out_dir = os.path.join(self.dir, "model")
        status, out, err = self.learn("--out", out_dir, "--name", "bench", "--report",
                                      os.path.join(self.dir, "report.json"), first)
        self.assertEqual(status, 0, out + err)
        lines = out.splitlines()
        self.assertIn('text device-name: "扳手B"', lines)
        self.assertIn('text operator: "李四"', lines)
        self.assertTrue(any(l.startswith("stateful: true (2 gets after a set returned the value set") for l in lines),
                        out)
        self.assertTrue(any(l.startswith("set-usage-count") and l.endswith(
            "replies: hex:01 (1 of 1 requests), timing") for l in lines), out)
        self.assertTrue(any(l.startswith("clear-file-records") and l.endswith(
            "replies: none (1 of 1 requests)") for l in lines), out)
        self.assertTrue(any(l.startswith("set-factory-serial-number") and l.endswith(
            "not seen: default emulation") for l in lines), out)
        self.assertIn("records: 2 uploads, the last of 7 records (announced 7); the same records each time",
                      lines)
        self.assertEqual(lines[-1], "wrote %s and %s" % (os.path.join(out_dir, "bench.json"),
                                                          os.path.join(out_dir, "bench-records.csv")))

        with open(os.path.join(out_dir, "bench.json"), encoding="utf-8") as f:
            model = json.load(f)
        self.assertEqual(model["texts"], {"serial-number": "BU-7734", "device-name": "扳手B",
                                          "device-number": "00000077", "operator": "李四"})
        self.assertIs(model["stateful"], True)
        self.assertLess(abs(model["clock_offset_ms"] - 3600000), 1500)
        self.assertEqual(model["records"], {"count": 7, "csv": "bench-records.csv"})
        self.assertEqual(model["replies"], {"clear-file-records": "none", "set-usage-count": "hex:01"})
        latencies = model["timing"]["get-time"]["latency_ms"]
        self.assertEqual(len(latencies), 3)
        self.assertTrue(all(2.9 < ms < 60 for ms in latencies), latencies)
        self.assertNotIn("clear-file-records", model["timing"])
        pauses = model["timing"]["records"]["interval_ms"]
        self.assertEqual(len(pauses), 2 * (BenchUnit.RECORDS + 1))
        with open(os.path.join(self.dir, "report.json"), encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual(report["clock"]["record_dates_follow_the_clock"], False)
        self.assertEqual(report["clock"]["after_a_set_time"], 1)
        self.assertEqual(report["not_frames"]["checksum_errors"], 0)

        # The records as the bench stored them, GB2312 names as hex: cells.
        with open(os.path.join(out_dir, "bench-records.csv"), encoding="utf-8", newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual([(r["sequence"], r["actual_torque"], r["date_time"]) for r in rows],
                         [(str(n), str(140 + n), "2026-03-01 08:%02d:00" % n) for n in range(1, 8)])
        self.assertEqual(rows[0]["operator"], "hex:" + BenchUnit.record(1)[54:70].rstrip(b"\0").hex().upper())

        # What the learned unit vouches for in the other session: not the serial number it never saw set.
        scenario = os.path.join(out_dir, "bench.json")
        status, out, err = self.learn("--check", second, scenario)
        self.assertEqual(status, 4, out + err)
        self.assertEqual(out.splitlines(), [
            "#3 set-factory-serial-number: not seen while learning: the emulator's default",
            "#4 get-factory-serial-number: after set-factory-serial-number, which was not seen while learning",
            "check: 7 requests, 5 vouched for, 2 not"])
        self.assertEqual(self.learn("--check", first, scenario)[1].splitlines()[-1],
                         "check: %d requests, %d vouched for, 0 not" % ((len(SESSION_ONE),) * 2))

        # Served, the learned unit answers both sessions as the bench unit did.
        for capture, requests in ((first, SESSION_ONE), (second, SESSION_TWO)):
            status, out = self.replay(capture, scenario)
            self.assertEqual(status, 0, out)
            self.assertEqual(out.splitlines()[-1], "replay: %d requests, %d match, 0 differ, 0 timed out"
                             % ((len(requests),) * 2))


class RefusedCaptures(LearnTestCase):

    def test_refused_captures(self):
        good = self.emulator_capture("good.pcap")
        with open(good, "rb") as f:
            data = f.read()
        other = os.path.join(self.dir, "ethernet.pcap")
        with open(other, "wb") as f:
            f.write(data[:20] + (1).to_bytes(4, "little") + data[24:])  # another link type
        cut = os.path.join(self.dir, "cut.pcap")
        with open(cut, "wb") as f:
            f.write(data[:-3])
        text = os.path.join(self.dir, "notes.txt")
        with open(text, "w") as f:
            f.write("not a capture\n")
        cases = [  # capture, what is wrong
            (other, "link type 1, not USER0 (147): not a capture of this line"),
            (cut, "packet 2: truncated dump file"),
            (text, "unknown file format"),
            (self.emulator_capture("silent.pcap", "--fault", "*:drop"),
             "holds no reply from the unit to any of its 1 requests"),
            (self.emulator_capture("empty.pcap", requests=()), "holds no request of the PC program"),
            (os.path.join(self.dir, "none.pcap"), "No such file or directory"),
        ]
        for capture, wrong in cases:
            with self.subTest(capture=os.path.basename(capture)):
                out_dir = os.path.join(self.dir, "out-" + os.path.basename(capture))
                status, out, err = self.learn("--out", out_dir, good, capture)
                self.assertEqual(status, 2, out + err)
                self.assertTrue(err.startswith("varnel-pc learn: %s: " % capture), err)
                self.assertIn(wrong, err)
                self.assertEqual(os.listdir(out_dir), [])  # nothing half-learned is written
        self.assertEqual(self.learn("--out", os.path.join(self.dir, "ok"), good)[0], 0)


class DamagedFrames(LearnTestCase):

    def test_counted_not_learned(self):
        capture = self.emulator_capture(
            "damaged.pcap", "--fault", "get-time:noise=8", "--fault", "get-device-name:corrupt-crc",
            "--fault", "set-lock-status:duplicate", "--fault", "get-operator-name:wrong-command=3",
            "--fault", "set-usage-count:truncate=5",
            requests=[(0x02, ""), (0x06, ""), (0x09, "00"), (0x10, ""), (0x0B, "00000001"), (0x0D, "")])
        report = os.path.join(self.dir, "report.json")
        status, out, err = self.learn("--out", self.dir, "--report", report, capture)
        self.assertEqual(status, 0, out + err)
        with open(report, encoding="utf-8") as f:
            learned = json.load(f)
        # The noise, the cut reply and the frame with the bad checksum.
        self.assertEqual((learned["not_frames"]["checksum_errors"], learned["not_frames"]["unit_bytes"]),
                         (1, 8 + 5 + len(build_frame(0x06, b"DEVICENAME"))))
        self.assertEqual(learned["frames_answering_no_request"], 2)  # the duplicate, the other command's
        self.assertEqual(learned["replies"], {})  # a damaged reply is no reply of "none"
        rows = {row["command"]: row for row in learned["commands"]}
        self.assertEqual([rows[name]["replies"] for name in ("get-time", "get-device-name", "set-lock-status",
                                                             "get-operator-name", "set-usage-count")],
                         [1, 0, 1, 0, 0])
        self.assertEqual(rows["get-device-name"]["learned"], "no whole reply: nothing learned, 1 unanswered")


if __name__ == "__main__":
    unittest.main()
