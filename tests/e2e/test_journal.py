"""The unit's journal, its event file and the state the PC program left behind, checked
against what this peer sent and received, byte for byte."""

import json
import os
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


if __name__ == "__main__":
    unittest.main()
