"""The unit's journal, its event file and the state the PC program left behind, checked
against what this peer sent and received, byte for byte."""

import json
import os
import socket
import stat
import subprocess
import time
import unittest

from varnel_peer import EmulatorTestCase, build_frame

SET_DEVICE_NAME, GET_TIME, IMPORT_TORQUE, GET_RECORDS = 0x05, 0x02, 0x11, 0x0C
NAME = "扳手".encode("gb2312")
# One wrench: name, coefficient 1000, delay 5.
TORQUE = b"\x00\x01" + "张三".encode("gb2312").ljust(10, b"\x00") + (1000).to_bytes(4, "big") + b"\x05"
RECORDS = 5
JOURNAL = 8


class JournalTestCase(EmulatorTestCase):

    def test_events_and_state_agree_with_the_line(self):
        events_path = os.path.join(self.dir, "events.jsonl")
        state_path = os.path.join(self.dir, "state.json")
        self.start_emulator("--events", events_path, "--state-out", state_path, "--journal", str(JOURNAL),
                            "--records", str(RECORDS), "--fault", "get-time:drop@1")
        sent, received = [], []

        def exchange(command, content=b"", frames=1):
            frame = build_frame(command, content)
            sent.append(frame)
            self.peer.write(frame)
            got = self.peer.read_frames(frames)
            received.extend(f.raw for f in got)
            return got

        exchange(SET_DEVICE_NAME, NAME)
        # The first get-time's reply is dropped: the PC side asks again.
        sent.append(build_frame(GET_TIME))
        self.peer.write(sent[-1])
        self.peer.assert_silent(0.3)
        clock = exchange(GET_TIME)[0]
        self.assertEqual(len(clock.content), 7)
        exchange(IMPORT_TORQUE, TORQUE)
        upload = exchange(GET_RECORDS, frames=RECORDS + 2)
        self.assertEqual(upload[-1].content, b"\x02")

        mark = self.emu.mark()
        self.emu.command("state")
        state = json.loads(self.emu.messages(mark)[-1])
        mark = self.emu.mark()
        self.emu.command("journal 100")
        self.emu.wait_for(lambda m: m.startswith("{"), start=mark)
        kept = [json.loads(m) for m in self.emu.messages(mark)]
        self.assertEqual(self.shut_down(), 0)

        with open(events_path, encoding="utf-8") as f:
            events = [json.loads(line) for line in f]
        # Numbered from 1 without gaps, every one of unit 1, each a whole line.
        self.assertEqual([e["seq"] for e in events], list(range(1, len(events) + 1)))
        self.assertTrue(all(e["unit"] == 1 for e in events))
        self.assertRegex(events[0]["t"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d$")
        by_seq = {e["seq"]: e for e in events}

        # Requests: exactly the frames the peer wrote, with their decoded fields.
        requests = [e for e in events if e["type"] == "request"]
        self.assertEqual([e["hex"] for e in requests], [f.hex() for f in sent])
        self.assertEqual([e["name"] for e in requests],
                         ["set-device-name", "get-time", "get-time", "import-torque-mode-data",
                          "get-file-records"])
        self.assertEqual(requests[0]["fields"], [["设备名称", "扳手"]])
        self.assertEqual(requests[3]["fields"],
                         [["数量", "1"], ["名称", "张三", "第0个扳手"], ["系数", "1000", "第0个扳手"],
                          ["延迟时间", "5", "第0个扳手"]])

        # The dropped reply never reached the line: no reply event, the fault event says why.
        faults = [e for e in events if e["type"] == "fault"]
        self.assertEqual(len(faults), 1)
        self.assertEqual((faults[0]["rule"], faults[0]["action"], faults[0]["request_seq"]),
                         ("get-time:drop@1", "drop", requests[1]["seq"]))
        answered = [e for e in events if e["type"] in ("reply", "record")]
        self.assertEqual([e for e in answered if e.get("request_seq") == requests[1]["seq"]], [])
        # Every reply and record is what the peer read, in order.
        self.assertEqual([e["hex"] for e in answered], [r.hex() for r in received])
        for reply in (e for e in answered if e["type"] == "reply"):
            request = by_seq[reply["request_seq"]]
            self.assertEqual((request["type"], request["cmd"]), ("request", reply["cmd"]))
            self.assertGreaterEqual(reply["latency_us"], 0)
        self.assertEqual([e["sequence"] for e in answered if e["type"] == "record"], list(range(1, RECORDS + 1)))
        start = next(e for e in events if e["type"] == "upload-start")
        end = next(e for e in events if e["type"] == "upload-end")
        self.assertEqual((start["request_seq"], start["announced"]), (requests[4]["seq"], RECORDS))
        self.assertEqual((end["sent"], end["announced"], end["how"]), (RECORDS, RECORDS, "complete"))
        self.assertEqual(events[0]["type"], "line")
        self.assertEqual(events[0]["event"], "opened")

        # The journal keeps only its bound: the newest events, the same as the file's.
        self.assertEqual(len(kept), JOURNAL)
        first = kept[0]["seq"]
        self.assertEqual(kept, events[first - 1:first - 1 + JOURNAL])
        # After it only the line's closing at the end.
        self.assertEqual([(e["type"], e["event"]) for e in events[first - 1 + JOURNAL:]], [("line", "closed")])

        # The state: counts, last contents and fields, the text in force, the torque settings.
        received_state = state["received"]
        self.assertEqual(received_state["set-device-name"],
                         {"count": 1, "last_hex": NAME.hex(), "last_fields": [["设备名称", "扳手"]]})
        self.assertEqual(received_state["get-time"]["count"], 2)
        self.assertEqual(received_state["get-file-records"], {"count": 1, "last_hex": "", "last_fields": []})
        self.assertEqual(received_state["import-torque-mode-data"]["last_hex"], TORQUE.hex())
        self.assertEqual(state["texts"]["device_name"], {"text": "扳手", "hex": NAME.hex(), "set_by_pc": True})
        self.assertFalse(state["texts"]["operator"]["set_by_pc"])
        self.assertEqual(state["settings"]["torque_mode"],
                         {"hex": TORQUE.hex(), "fields": requests[3]["fields"]})
        self.assertIsNone(state["settings"]["bolt_mode"])
        self.assertEqual((state["unit"], state["endpoint"], state["clock_offset_ms"]), (1, self.port_name, 0))
        # Written at SIGTERM, the same state.
        with open(state_path, encoding="utf-8") as f:
            self.assertEqual(json.load(f), state)

    def test_the_consoles_state_reset_is_the_apis_reset(self):
        self.start_emulator("--fault", "get-time:drop@9")
        self.peer.write(build_frame(SET_DEVICE_NAME, NAME))
        self.peer.read_frames(1)
        mark = self.emu.mark()
        self.emu.command("state reset")
        self.emu.wait_for("state: cleared", start=mark)
        for command, expected in (("faults", lambda kept: kept == ["fault rules: none"]),
                                  ("journal", lambda kept: [json.loads(m)["type"] for m in kept] == ["state-reset"]),
                                  ("state", lambda kept: json.loads(kept[-1])["received"] == {})):
            mark = self.emu.mark()
            self.emu.command(command)
            self.emu.wait_for(lambda m: True, start=mark)
            kept = self.emu.messages(mark)
            self.assertTrue(expected(kept), "%s after a reset: %s" % (command, kept))
        self.assertEqual(self.shut_down(), 0)



class EventAndStateFileTest(EmulatorTestCase):

    def small_disk(self):
        """A 64 KiB tmpfs in the test's folder, or a skip where mounting is not allowed."""
        folder = os.path.join(self.dir, "small")
        os.mkdir(folder)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % mounted.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", folder])
        return folder

    def fill(self, folder, free_pages):
        with open(os.path.join(folder, "fill"), "wb", buffering=0) as fill:
            try:
                while True:
                    fill.write(b"x" * 4096)
            except OSError:
                pass
            fill.truncate(max(0, fill.tell() - free_pages * 4096))

    def test_state_out_path_refused_at_start(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(os.path.join(self.dir, "sock"))
        for path, what in (("/dev/full", "is a character device, not a regular file"),
                           (fifo, "is a FIFO"), (listener.getsockname(), "is a socket"), (self.dir, "is a folder"),
                           ("/proc/self/state.json", "cannot make a file in /proc/self"),
                           (os.path.join(self.dir, "no", "state.json"), "no folder")):
            with self.subTest(path=path):
                code, lines, errors = self.run_emulator("--state-out", path, "tcp:127.0.0.1:0")
                self.assertEqual(code, 2, errors)
                self.assertIn('--state-out: "%s"' % path, errors)
                self.assertIn(what, errors)
                self.assertEqual(lines, [], "nothing started")
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/full").st_mode))
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))

    def test_full_disk_keeps_the_old_state_and_whole_event_lines(self):
        folder = self.small_disk()
        state_path, events_path = os.path.join(folder, "state.json"), os.path.join(folder, "events.jsonl")
        with open(state_path, "w") as f:
            f.write("the last run's state")
        self.fill(folder, free_pages=1)
        self.start_emulator("--events", events_path, "--state-out", state_path)
        mark = self.emu.mark()
        failed = lambda m: m.startswith("事件文件写入失败，停止写入：%s: " % events_path)
        for _ in range(40):
            self.assertEqual(len(self.peer.request(GET_TIME).content), 7)
            if any(failed(m) for m in self.emu.messages(mark)):
                break
        self.assertIn(os.strerror(28), self.emu.messages(self.assert_logged(failed, mark))[0])
        self.assertEqual(self.shut_down(), 1)
        errors = self.emu.stderr_text()
        self.assertIn("varnel-emu: cannot write state %s: %s" % (state_path, os.strerror(28)), errors)
        self.assertIn("the file is as it was", errors)
        with open(state_path) as f:
            self.assertEqual(f.read(), "the last run's state")
        self.assertEqual(sorted(os.listdir(folder)), ["events.jsonl", "fill", "state.json"])
        # Whole lines only: the one the disk cut is gone.
        with open(events_path, "rb") as f:
            text = f.read()
        self.assertTrue(text.endswith(b"\n"), text[-80:])
        seqs = [json.loads(line)["seq"] for line in text.splitlines()]
        self.assertEqual(seqs, list(range(1, len(seqs) + 1)))

    def test_deleted_event_file_is_told_once(self):
        events_path = os.path.join(self.dir, "events.jsonl")
        self.start_emulator("--events", events_path)
        self.peer.request(GET_TIME)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(events_path, "rb") as f:
                if b'"reply"' in f.read():
                    break
            time.sleep(0.02)
        mark = self.emu.mark()
        os.remove(events_path)
        self.peer.request(GET_TIME)
        self.assert_logged("事件文件写入失败，停止写入：%s: the file was deleted; no more events are written"
                           % events_path, mark)
        self.peer.request(GET_TIME)
        self.peer.request(GET_TIME)
        self.assertEqual(len([m for m in self.emu.messages(mark) if m.startswith("事件文件")]), 1)
        self.assertFalse(os.path.exists(events_path))
        self.assertEqual(self.shut_down(), 0)


if __name__ == "__main__":
    unittest.main()
