"""Fault rules: varnel-emu made to misbehave on purpose (--fault, --seed, standard input),
checked against the bytes the PC side sees and the FAULT lines of the log."""

import json
import os
import re
import signal
import time
import unittest

from varnel_peer import (EmulatorTestCase, FrameParser, SOURCE_DIR, build_frame, crc_wire, man_sections,
                         sections_of, tag_lines)

SET_TIME = 0x01
GET_SERIAL = 0x04
GET_NAME = 0x06
GET_NUMBER = 0x08
GET_RECORDS = 0x0C
GET_OPERATOR = 0x10

SERIAL_REPLY = build_frame(GET_SERIAL, b"SERIALNUMBER")
NAME_REPLY = build_frame(GET_NAME, b"DEVICENAME")
NUMBER_REPLY = build_frame(GET_NUMBER, b"DEVICENUMBER")
OPERATOR_REPLY = build_frame(GET_OPERATOR, b"OPERATOR")
RECORD_END = build_frame(GET_RECORDS, b"\x02")
DATA_FRAME_SIZE = 110 + 9


def inverted_crc(frame):
    return frame[:-2] + bytes(b ^ 0xFF for b in frame[-2:])


def joined(chunks):
    return b"".join(data for _, data in chunks)


class FaultRuleTestCase(EmulatorTestCase):

    def raw_reply(self, command, content=b"", first=2.0, quiet=0.3):
        self.peer.write(build_frame(command, content))
        return joined(self.peer.read_raw(first=first, quiet=quiet))

    def answered(self, command, wait=0.4):
        """The reply frames to one request, or [] when none comes within `wait` seconds."""
        self.peer.write(build_frame(command))
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            frames = self.peer.poll_frames(0.02)
            if frames:
                return [f.raw for f in frames]
        return []

    def faults(self, start=0):
        return [m for m in self.emu.messages(start) if m.startswith("FAULT ")]


class ReplyActions(FaultRuleTestCase):

    def test_each_action_shapes_the_reply(self):
        self.start_emulator(
            "--fault", "get-factory-serial-number:drop@1",
            "--fault", "get-device-number:corrupt-crc",
            "--fault", "get-operator-name:truncate=5",
            "--fault", "set-time:noise=16",
            "--fault", "3:wrong-command=0x30",
            "--fault", "0x05:wrong-address=0xBEEF",
            "--fault", "set-device-number:duplicate",
            # Two rules on one reply apply in order: the checksum is inverted after the change.
            "--fault", "clear-file-records:wrong-command=14",
            "--fault", "clear-file-records:corrupt-crc")
        self.peer.write(build_frame(GET_SERIAL))
        self.assert_logged("FAULT get-factory-serial-number:drop@1 on cmd 4, request 1, match 1")
        self.peer.assert_silent(0.3)
        self.assertEqual(self.raw_reply(GET_SERIAL), SERIAL_REPLY)
        self.assertEqual(self.raw_reply(GET_NUMBER), inverted_crc(NUMBER_REPLY))
        self.assertEqual(self.raw_reply(GET_OPERATOR), OPERATOR_REPLY[:5])
        noisy = self.raw_reply(SET_TIME, bytes.fromhex("07E8010203040500")[:7])
        self.assertEqual(len(noisy), 16 + 9)
        self.assertNotIn(0x5A, noisy[:16])
        self.assertEqual(noisy[16:], build_frame(SET_TIME))
        self.assertEqual(self.raw_reply(0x03, b"12345678"), build_frame(0x30))
        self.assertEqual(self.raw_reply(0x05, b"NAME"), build_frame(0x05, address=0xBEEF))
        self.assertEqual(self.raw_reply(0x07, b"12345678"), build_frame(0x07) * 2)
        self.assertEqual(self.raw_reply(0x0D), inverted_crc(build_frame(0x0E)))
        self.assertEqual(self.faults(), [
            "FAULT get-factory-serial-number:drop@1 on cmd 4, request 1, match 1",
            "FAULT get-device-number:corrupt-crc on cmd 8, request 3, match 1",
            "FAULT get-operator-name:truncate=5 on cmd 16, request 4, match 1",
            "FAULT set-time:noise=16 on cmd 1, request 5, match 1",
            "FAULT set-factory-serial-number:wrong-command=0x30 on cmd 3, request 6, match 1",
            "FAULT set-device-name:wrong-address=0xBEEF on cmd 5, request 7, match 1",
            "FAULT set-device-number:duplicate on cmd 7, request 8, match 1",
            "FAULT clear-file-records:wrong-command=0x0E on cmd 13, request 9, match 1",
            "FAULT clear-file-records:corrupt-crc on cmd 13, request 9, match 1",
        ])
        self.assertEqual(self.shut_down(), 0)

    def test_delay_and_split_keep_the_loop_running(self):
        self.start_emulator("--fault", "get-device-name:delay=400",
                            "--fault", "get-factory-serial-number:split=3:100",
                            "--fault", "get-operator-name:delay=100-200")
        sent = time.monotonic()
        self.peer.write(build_frame(GET_NAME))
        mark = self.assert_logged("FAULT get-device-name:delay=400 on cmd 6, request 1, match 1")
        # The console answers while the reply waits: the event loop is not held.
        self.emu.command("faults")
        self.assert_logged("fault rule 1: get-device-name:delay=400, fired 1", mark)
        listed = time.monotonic()
        chunks = self.peer.read_raw(first=3.0)
        self.assertEqual(joined(chunks), NAME_REPLY)
        self.assertGreaterEqual(chunks[0][0] - sent, 0.4)
        self.assertLess(listed, chunks[0][0])

        self.peer.write(build_frame(GET_SERIAL))
        chunks = self.peer.read_raw()
        self.assertEqual(joined(chunks), SERIAL_REPLY)
        self.assertGreaterEqual(len(chunks), 2, "the pieces came as one")
        self.assertGreaterEqual(chunks[-1][0] - chunks[0][0], 0.15)

        sent = time.monotonic()
        self.peer.write(build_frame(GET_OPERATOR))
        chunks = self.peer.read_raw(first=3.0)
        self.assertEqual(joined(chunks), OPERATOR_REPLY)
        self.assertGreaterEqual(chunks[0][0] - sent, 0.1)
        self.assertEqual(self.shut_down(), 0)

    def test_stall_drops_everything_in_its_window(self):
        self.start_emulator("--fault", "get-device-name:stall=800")
        self.peer.write(build_frame(GET_NAME))
        self.assert_logged("FAULT get-device-name:stall=800 on cmd 6, request 1, match 1")
        # The window opened before its line was read here, so it is over by then + 0.8 s,
        # however late the emulator took the request.
        opened_by = time.monotonic()
        self.peer.write(build_frame(GET_SERIAL))
        self.assert_logged("FAULT get-device-name:stall=800 on cmd 4, request 2 (stalled)")
        self.peer.assert_silent(0.2)
        time.sleep(max(0.0, opened_by + 0.85 - time.monotonic()))
        self.assertEqual(self.raw_reply(GET_SERIAL), SERIAL_REPLY)
        # Stalled requests never reach the unit: one reply was built in all.
        sends = [m for m in self.emu.messages() if m.startswith("发送消息")]
        self.assertEqual(sends, ["发送消息：获取出厂编号"])
        self.assertEqual(self.shut_down(), 0)


class HeldReplies(FaultRuleTestCase):
    """Replies a rule holds back: how long at most, in what pieces, and when they go."""

    def test_clear_drops_what_the_rules_hold_back(self):
        self.start_emulator("--fault", "get-device-name:delay=3600000")
        self.peer.write(build_frame(GET_NAME))
        mark = self.assert_logged("FAULT get-device-name:delay=3600000 on cmd 6, request 1, match 1")
        self.emu.command("fault clear")
        self.assert_logged("fault: 1 held-back replies dropped, the rules were cleared", mark)
        # Nothing waits behind the dropped reply any more.
        self.assertEqual(self.raw_reply(GET_SERIAL), SERIAL_REPLY)
        self.assertEqual(self.shut_down(), 0)

    def test_stacked_delays_wait_no_longer_than_the_longest_one(self):
        # 1193 hours and 167396 ms add up to 2^32 ms: wrapped to 32 bits that is no delay.
        rules = ["--fault", "get-factory-serial-number:delay=3600000"] * 1193
        self.start_emulator(*rules, "--fault", "get-factory-serial-number:delay=167396")
        self.peer.write(build_frame(GET_SERIAL))
        self.assert_logged("FAULT get-factory-serial-number:delay=167396 on cmd 4, request 1, match 1")
        self.peer.assert_silent(0.5)
        self.assertEqual(self.shut_down(), 0)

    def test_split_into_more_pieces_than_bytes(self):
        # 21 bytes in at most 21 pieces: the first byte leaves at once, the gaps fall between bytes.
        self.start_emulator("--fault", "get-factory-serial-number:split=100:40")
        sent = time.monotonic()
        self.peer.write(build_frame(GET_SERIAL))
        chunks = self.peer.read_raw(first=3.0, quiet=0.5)
        self.assertEqual(joined(chunks), SERIAL_REPLY)
        self.assertLess(chunks[0][0] - sent, 0.15, "the first piece waited for empty ones")
        self.assertLess(chunks[-1][0] - sent, 20 * 0.04 + 0.4, "gaps were counted for empty pieces")
        self.assertGreaterEqual(chunks[-1][0] - chunks[0][0], 20 * 0.04 - 0.05)
        self.assertEqual(self.shut_down(), 0)

    def test_sigterm_lets_a_delayed_start_frame_and_the_end_frame_go(self):
        self.start_emulator("--records", "3", "--fault", "get-file-records:delay=3000")
        self.peer.write(build_frame(GET_RECORDS))
        self.assert_logged("FAULT get-file-records:delay=3000 on cmd 12, request 1, match 1")
        self.emu.signal(signal.SIGTERM)
        self.assertEqual(self.emu.wait_exit(), 0)
        frames = self.peer.poll_frames(1.0)
        marks = [f.content[0] for f in frames]
        self.assertGreaterEqual(len(marks), 2, frames)
        self.assertEqual((marks[0], marks[-1]), (0, 2), frames)
        self.assertEqual([f.command for f in frames], [GET_RECORDS] * len(frames))


class WhenForms(FaultRuleTestCase):

    def test_nth_range_and_every(self):
        self.start_emulator("--fault", "get-factory-serial-number:drop@2-3",
                            "--fault", "get-device-name:drop@every=2",
                            "--fault", "get-operator-name:drop@4")
        for command, reply, expected in (
                (GET_SERIAL, SERIAL_REPLY, [1, 0, 0, 1, 1]),
                (GET_NAME, NAME_REPLY, [1, 0, 1, 0, 1]),
                (GET_OPERATOR, OPERATOR_REPLY, [1, 1, 1, 0, 1])):
            seen = []
            for _ in expected:
                frames = self.answered(command)
                self.assertIn(frames, ([], [reply]))
                seen.append(1 if frames else 0)
            self.assertEqual(seen, expected, "command 0x%02X" % command)
        self.assertEqual(len(self.faults()), 5)
        self.assertEqual(self.shut_down(), 0)

    def chance_run(self, seed, count=16):
        self.start_emulator("--seed", str(seed), "--fault", "get-factory-serial-number:drop@p=0.5")
        pattern = [1 if self.answered(GET_SERIAL) else 0 for _ in range(count)]
        dropped = ["FAULT get-factory-serial-number:drop@p=0.5 on cmd 4, request %d, match %d" % (i + 1, i + 1)
                   for i, answered in enumerate(pattern) if not answered]
        self.assertEqual(self.faults(), dropped)
        self.assertEqual(self.shut_down(), 0)
        return pattern

    def test_seeded_chance_injects_the_same_faults_twice(self):
        first = self.chance_run(7)
        second = self.chance_run(7)
        self.assertEqual(first, second)
        self.assertTrue(0 < first.count(0) < len(first), first)

    def test_timeline_rule_drops_for_its_window(self):
        """A line that goes dead for a second, a second after the rule is added: answered
        before, dropped during, answered after, the switches where the rule puts them."""
        events_path = os.path.join(self.dir, "events.jsonl")
        self.start_emulator("--events", events_path)
        rule = "*:drop@after=1s,for=1s"
        self.assertEqual(self.answered(GET_SERIAL), [SERIAL_REPLY])
        mark = self.emu.mark()
        sent = time.monotonic()
        self.emu.command("fault " + rule)
        self.assert_logged("fault rule added: " + rule, mark)
        # The rule was added between the command and its acknowledgement.
        added = time.monotonic()

        # A request every 25 ms for three seconds. The four commands take turns, so a late
        # reply is still counted for its own request.
        commands = [(GET_SERIAL, SERIAL_REPLY), (GET_NAME, NAME_REPLY), (GET_NUMBER, NUMBER_REPLY),
                    (GET_OPERATOR, OPERATOR_REPLY)]
        requests = []  # [time sent, command, answered]
        latest = {}
        tick = added
        while tick < added + 3.0:
            command, _ = commands[len(requests) % len(commands)]
            self.peer.write(build_frame(command))
            latest[command] = len(requests)
            requests.append([time.monotonic(), command, False])
            tick += 0.025
            while time.monotonic() < tick:
                for frame in self.peer.poll_frames(max(0.001, tick - time.monotonic())):
                    self.assertIn((frame.command, frame.raw), commands)
                    requests[latest[frame.command]][2] = True
        last = time.monotonic() + 0.3
        while time.monotonic() < last:
            for frame in self.peer.poll_frames(0.02):
                requests[latest[frame.command]][2] = True

        pattern = "".join("1" if answered else "0" for _, _, answered in requests)
        # One run of drops, with answers before and after it.
        self.assertRegex(pattern, r"^1+0+1+$")
        # Each switch lies between the last request before it and the first after it (25 ms
        # apart unless this peer was held up). Whenever between command and acknowledgement the
        # rule came: a request in the new state sent more than 100 ms before the rule's time
        # means it switched early; one in the old state sent more than 100 ms after it, late.
        first, last = pattern.index("0"), pattern.rindex("0")
        for before, after, due in ((first - 1, first, 1.0), (last, last + 1, 2.0)):
            old_state, new_state = requests[before][0] - added, requests[after][0] - sent
            if os.environ.get("VARNEL_SHOW_TIMES"):
                print("switch due at %.1f s: between %.3f and %.3f s" % (due, old_state, new_state))
            self.assertGreater(new_state, due - 0.1, "switched early")
            self.assertLess(old_state, due + 0.1, "switched late")

        self.assert_logged("FAULT %s ended" % rule, mark)
        mark = self.emu.mark()
        self.emu.command("faults")
        self.assert_logged("fault rule 1: %s, fired %d, ended" % (rule, pattern.count("0")), mark)
        self.assertEqual(self.shut_down(), 0)
        # The journal: one fault event per drop, then one saying the rule ended, before the
        # reply to the first request answered again (that request may arrive just before it).
        with open(events_path, encoding="utf-8") as f:
            events = [json.loads(line) for line in f]
        faults = [e for e in events if e["type"] == "fault"]
        self.assertEqual([e["action"] for e in faults], ["drop"] * pattern.count("0") + ["ended"])
        self.assertEqual(faults[-1]["rule"], rule)
        arrivals = [e["seq"] for e in events if e["type"] == "request"][1:]  # after the first one
        self.assertEqual(len(arrivals), len(requests))
        self.assertLess(arrivals[pattern.rindex("0")], faults[-1]["seq"])
        answer = [e["seq"] for e in events
                  if e["type"] == "reply" and e["request_seq"] == arrivals[pattern.rindex("0") + 1]]
        self.assertEqual(len(answer), 1)
        self.assertLess(faults[-1]["seq"], answer[0])


class RecordActions(FaultRuleTestCase):

    def check_data_frame(self, frame, sequence):
        self.assertEqual(frame[:7], bytes.fromhex("5AA512340C006E"))
        self.assertEqual(frame[7:12], b"\x01" + sequence.to_bytes(4, "big"))

    def test_record_actions_on_a_five_record_upload(self):
        self.start_emulator("--records", "5",
                            "--fault", "record:drop@2", "--fault", "record:corrupt-crc@3",
                            "--fault", "record:duplicate@4", "--fault", "record:truncate=20@5")
        stream = self.raw_reply(GET_RECORDS, quiet=0.6)
        start = build_frame(GET_RECORDS, b"\x00" + (5).to_bytes(4, "big"))
        self.assertEqual(len(stream), len(start) + 4 * DATA_FRAME_SIZE + 20 + len(RECORD_END), stream.hex())
        self.assertEqual(stream[:len(start)], start)
        rest = stream[len(start):]
        frames = [rest[i * DATA_FRAME_SIZE:(i + 1) * DATA_FRAME_SIZE] for i in range(4)]
        for frame, sequence in zip(frames, (1, 3, 4, 4)):
            self.check_data_frame(frame, sequence)
        self.assertEqual(FrameParser().feed(frames[0])[0].raw, frames[0])
        self.assertEqual(frames[1][-2:], bytes(b ^ 0xFF for b in crc_wire(frames[1][:-2])))
        self.assertEqual(frames[2], frames[3])
        self.assertEqual(FrameParser().feed(frames[2])[0].raw, frames[2])
        truncated = rest[4 * DATA_FRAME_SIZE:-len(RECORD_END)]
        self.assertEqual(len(truncated), 20)
        self.check_data_frame(truncated, 5)
        self.assertEqual(stream[-len(RECORD_END):], RECORD_END)
        self.assertEqual(self.faults(), [
            "FAULT record:drop@2 on cmd 12, request 1, record 2",
            "FAULT record:corrupt-crc@3 on cmd 12, request 1, record 3",
            "FAULT record:duplicate@4 on cmd 12, request 1, record 4",
            "FAULT record:truncate=20@5 on cmd 12, request 1, record 5",
        ])
        self.assertEqual(self.shut_down(), 0)

    def test_stop_after_ends_the_upload_without_an_end_frame(self):
        self.start_emulator("--records", "5", "--fault", "record:stop-after=3")
        for request in (1, 3):
            stream = self.raw_reply(GET_RECORDS, quiet=0.6)
            frames = FrameParser().feed(stream)
            self.assertEqual([f.content[:5] for f in frames],
                             [b"\x00" + (5).to_bytes(4, "big")]
                             + [b"\x01" + n.to_bytes(4, "big") for n in (1, 2, 3)])
            self.assert_logged("FAULT record:stop-after=3 on cmd 12, request %d, record 3" % request)
            # The unit answers again at once.
            self.assertEqual(self.raw_reply(GET_SERIAL), SERIAL_REPLY)
        self.assertEqual(self.shut_down(), 0)


class RuleSources(FaultRuleTestCase):

    def test_malformed_rules_are_refused(self):
        for args, message in (
                (["--fault", "get-time:dorp"], 'fault rule "get-time:dorp": unknown action "dorp"'),
                (["--fault", "get-time:drop", "--fault", "get-tea:drop"],
                 'fault rule "get-tea:drop": unknown target "get-tea"'),
                (["--fault", "2:drop@0"], 'fault rule "2:drop@0": WHEN "0": expected N, N-M'),
                (["--fault", "record:delay=5"], 'fault rule "record:delay=5": action "delay" does not apply'),
                (["--seed", "-1"], '--seed: "-1" is not a number from 0 to 4294967295')):
            with self.subTest(args=args):
                code, lines, errors = self.run_emulator(*(args + [os.path.join(self.dir, "no-port")]))
                self.assertEqual(code, 2)
                self.assertIn(message, errors)
                self.assertTrue(errors.endswith(" (see varnel-emu --help)\n"), errors)
                self.assertEqual(lines, [], "nothing started")
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("varnelTest")], [])

    def test_varnel_faults_7_names_every_action_where_it_applies(self):
        with open(os.path.join(SOURCE_DIR, "fault", "FaultRule.cpp"), encoding="utf-8") as f:
            table = re.search(r"const ActionSpec kActions\[\] = \{\n(.*?)\n\};", f.read(), re.S)
        self.assertIsNotNone(table, "the action table of fault/FaultRule.cpp")
        rows = re.findall(r'^\s*\{Action::\w+, "([\w-]+)", "([^"]*)", '
                          r'(true|false), (true|false), (true|false)\},$', table.group(1), re.M)
        self.assertEqual(len(rows), table.group(1).count("Action::"), "every row of the table read")
        forms = {name: form.split(" or ") if form else [name] for name, form, _, _, _ in rows}
        on_replies = sorted(f for name, _, replies, _, _ in rows if replies == "true" for f in forms[name])
        on_records = [f for name, _, _, records, _ in rows if records == "true" for f in forms[name]]
        on_line = sorted(f for name, _, _, _, line in rows if line == "true" for f in forms[name])
        # The table as read is the one the program uses: its refusal lists the record actions.
        code, _, errors = self.run_emulator("--fault", "record:delay=1", os.path.join(self.dir, "no-port"))
        self.assertEqual(code, 2)
        self.assertIn("does not apply to record (%s)" % ", ".join(on_records), errors)

        actions = sections_of(man_sections("varnel-faults.7")["ACTIONS"], ".SS")
        documented = [sorted(f for tag in tag_lines(text) for f in tag.split(", ")) for text in actions.values()]
        self.assertEqual(documented, [on_replies, sorted(on_records), on_line])

    def test_standard_input_adds_lists_and_clears(self):
        self.start_emulator()
        self.assertEqual(self.answered(GET_SERIAL), [SERIAL_REPLY])
        self.emu.command("fault get-factory-serial-number:drop")
        self.assert_logged("fault rule added: get-factory-serial-number:drop")
        self.assertEqual(self.answered(GET_SERIAL), [])
        self.assert_logged("FAULT get-factory-serial-number:drop on cmd 4, request 2, match 1")
        self.emu.command("fault get-time:drop@p=2")
        deadline = time.monotonic() + 10
        while "p=P needs a probability" not in self.emu.stderr_snapshot():
            self.assertLess(time.monotonic(), deadline, "no complaint about the rule")
            time.sleep(0.05)
        mark = self.emu.mark()
        self.emu.command("faults")
        self.assert_logged("fault rule 1: get-factory-serial-number:drop, fired 1", mark)
        self.assert_not_logged(lambda m: m.startswith("fault rule 2"), mark)
        self.emu.command("fault clear")
        self.assert_logged("fault rules cleared", mark)
        self.assertEqual(self.answered(GET_SERIAL), [SERIAL_REPLY])
        mark = self.emu.mark()
        self.emu.command("faults")
        self.assert_logged("fault rules: none", mark)
        self.assertEqual(self.shut_down(), 0)


if __name__ == "__main__":
    unittest.main()
