"""Scenario files: the unit's texts, its remembered settings and clock, its records
(fields or the rows of a CSV written by varnel-pc), and the files it refuses."""

import csv
import datetime
import json
import os
import re
import subprocess
import time
import unittest

from varnel_peer import (EmulatorTestCase, SOURCE_DIR, bold_terms, build_frame, executable, log_file_name,
                         man_sections, reply_time, REPLY_TIMEOUT)

GET_RECORDS = 0x0C
END = b"\x02"

# Record fields the tests look at: (offset, size), read on our own.
TOOL_MODEL = (5, 10)
DATE = (23, 7)
OPERATOR = (54, 16)
TARGET_TORQUE = (74, 4)
ACTUAL_TORQUE = (78, 4)
BOLT_SPEC = (82, 10)
GEAR = (106, 1)
RESULT = (109, 1)

# (set, get) command pairs of the four texts.
TEXT_COMMANDS = {"serial-number": (0x03, 0x04), "device-name": (0x05, 0x06),
                 "device-number": (0x07, 0x08), "operator": (0x0F, 0x10)}


def field(record, where):
    offset, size = where
    return record[offset:offset + size]


def number(record, where):
    return int.from_bytes(field(record, where), "big")


def date_time_content(when):
    return when.year.to_bytes(2, "big") + bytes([when.month, when.day, when.hour, when.minute, when.second])


class ScenarioTestCase(EmulatorTestCase):

    def write_scenario(self, content, name="scenario.json"):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content if isinstance(content, str) else json.dumps(content, ensure_ascii=False))
        return path

    def upload(self, timeout=30.0):
        """(start content, data contents) of one upload, every frame checked on the way."""
        self.peer.write(build_frame(GET_RECORDS))
        frames = []
        deadline = time.monotonic() + timeout
        while not frames or frames[-1].content != END:
            self.assertLess(time.monotonic(), deadline, "no end frame after %d frames" % len(frames))
            frames.extend(self.peer.poll_frames(0.05))
        for frame in frames:
            self.assertEqual(frame.command, GET_RECORDS)
            self.assertEqual(frame.raw, build_frame(GET_RECORDS, frame.content))
        records = [f.content for f in frames[1:-1]]
        for record in records:
            self.assertEqual(len(record), 110)
            self.assertEqual(record[0], 0x01)
        self.assertEqual(frames[0].content[:1], b"\x00")
        self.assertEqual(int.from_bytes(frames[0].content[1:5], "big"), len(records))
        return frames[0].content, records


class Texts(ScenarioTestCase):

    def test_names_in_gb2312_numbers_in_ascii_and_hex_bytes(self):
        path = self.write_scenario({"texts": {"serial-number": "SN20261208", "device-name": "扳手01",
                                              "device-number": "hex:00000042", "operator": "张三"}})
        self.start_emulator("--scenario", path)
        self.assertEqual(self.peer.request(0x04).content, b"SN20261208")
        self.assertEqual(self.peer.request(0x06).content, "扳手01".encode("gb2312"))
        self.assertEqual(self.peer.request(0x08).content, bytes.fromhex("00000042"))
        self.assertEqual(self.peer.request(0x10).content, "张三".encode("gb2312"))
        # Not stateful: a set is acknowledged and forgotten.
        self.assertEqual(self.peer.request(0x05, "李四".encode("gb2312")).raw, build_frame(0x05))
        self.assertEqual(self.peer.request(0x06).content, "扳手01".encode("gb2312"))
        self.assert_logged("加载场景: %s" % path)

    def test_stateful_unit_remembers_every_text_and_the_clock(self):
        path = self.write_scenario({"stateful": True, "records": {"count": 2}})
        self.start_emulator("--scenario", path)
        values = {"serial-number": b"SN-77", "device-name": "测试扳手".encode("gb2312"),
                  "device-number": b"\x00\x01\x02\x03", "operator": b""}
        for key, (set_code, get_code) in TEXT_COMMANDS.items():
            with self.subTest(key=key):
                self.assertEqual(self.peer.request(set_code, values[key]).raw, build_frame(set_code))
                self.assertEqual(self.peer.request(get_code).content, values[key])

        target = datetime.datetime(2031, 2, 3, 4, 5, 6)
        self.assertEqual(self.peer.request(0x01, date_time_content(target)).raw, build_frame(0x01))
        got = reply_time(self.peer.request(0x02).content)
        self.assertTrue(target <= got <= target + datetime.timedelta(seconds=3), got)
        _, records = self.upload()
        for record in records:
            when = reply_time(field(record, DATE))
            self.assertTrue(target <= when <= target + datetime.timedelta(seconds=5), when)

        # A set time that is no date keeps the clock and says so.
        mark = self.emu.mark()
        self.assertEqual(self.peer.request(0x01, bytes.fromhex("07EA0D200000")).raw, build_frame(0x01))
        self.assert_logged(lambda m: "时钟未改变" in m, mark)
        got = reply_time(self.peer.request(0x02).content)
        self.assertTrue(target <= got <= target + datetime.timedelta(seconds=5), got)


class RepliesTimingAndClock(ScenarioTestCase):

    def test_fixed_replies_latencies_pauses_and_a_clock_offset(self):
        path = self.write_scenario({
            "replies": {"clear-file-records": "none", "set-usage-count": "hex:0102", "get-device-name": "hex:41"},
            "timing": {"get-time": {"latency_ms": [120, 150.5]}, "records": {"interval_ms": [40]}},
            "records": {"count": 3}, "stateful": True, "clock_offset_ms": -86400000,
            "faults": ["get-time:delay=100@2"]})
        self.start_emulator("--scenario", path)
        self.assertEqual(self.peer.request(0x0B, b"\0\0\0\5").raw, build_frame(0x0B, b"\x01\x02"))
        self.peer.write(build_frame(0x0D))
        self.peer.assert_silent(0.3)
        self.assertEqual(self.peer.request(0x05, b"XY").raw, build_frame(0x05))
        self.assertEqual(self.peer.request(0x06).content, b"A")  # fixed, whatever was set
        # No reply before its latency; the fault's delay comes on top of it.
        for least in (0.12, 0.22, 0.12):
            sent = time.monotonic()
            got = reply_time(self.peer.request(0x02).content)
            self.assertGreaterEqual(time.monotonic() - sent, least)
            yesterday = datetime.datetime.now() - datetime.timedelta(days=1)
            self.assertLess(abs((got - yesterday).total_seconds()), 5, got)
        # Four pauses: after the start frame and after each data frame.
        sent = time.monotonic()
        self.upload()
        self.assertGreaterEqual(time.monotonic() - sent, 4 * 0.04)


class Records(ScenarioTestCase):

    FIELDS = {"tool_model": "ABC", "target_torque": 150, "actual_torque": {"from": 140, "to": 160},
              "result": [1, 1, 1, 0], "bolt_spec": "hex:00FF41", "operator": "a,\"b\"",
              "gear": {"from": 7, "to": 7}}

    def test_fixed_range_and_list_fields(self):
        path = self.write_scenario({"records": {"count": 9, "fields": self.FIELDS}, "seed": 7})
        self.start_emulator("--records", "3", "--scenario", path)
        start, records = self.upload()
        self.assertEqual(start, b"\x00" + (9).to_bytes(4, "big"))
        self.assertEqual(len(records), 9)
        for index, record in enumerate(records):
            self.assertEqual(number(record, (1, 4)), index + 1)
            self.assertEqual(field(record, TOOL_MODEL), b"ABC" + bytes(7))
            self.assertEqual(number(record, TARGET_TORQUE), 150)
            self.assertTrue(140 <= number(record, ACTUAL_TORQUE) <= 160)
            self.assertEqual(number(record, RESULT), [1, 1, 1, 0][index % 4])
            self.assertEqual(field(record, BOLT_SPEC), b"\x00\xffA" + bytes(7))
            self.assertEqual(field(record, OPERATOR), b'a,"b"' + bytes(11))
            self.assertEqual(number(record, GEAR), 7)
        draws = [number(r, ACTUAL_TORQUE) for r in records]
        self.assertGreater(len(set(draws)), 1, "a range draws, it does not repeat one value")
        # Seeded: the next upload brings the same values.
        _, again = self.upload()
        self.assertEqual([number(r, ACTUAL_TORQUE) for r in again], draws)

    def test_csv_round_trip(self):
        path = self.write_scenario({"records": {"count": 6, "fields": self.FIELDS}})
        self.start_emulator("--scenario", path)
        csv = os.path.join(self.dir, "uploaded.csv")
        self.peer.close()
        run = subprocess.run([executable("varnel-pc"), "send", "--records-csv", csv, self.pty.peer_path,
                              "get-file-records"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        first = [bytes.fromhex(line[2:])[7:-2] for line in run.stdout.decode().splitlines()
                 if line.startswith("< ")]
        first_records = [c for c in first if c[:1] == b"\x01"]
        self.assertEqual(len(first_records), 6)

        os.mkdir(os.path.join(self.dir, "sub"))
        replay = self.write_scenario({"records": {"csv": "../uploaded.csv"}}, os.path.join("sub", "replay.json"))
        self.open_peer()
        mark = self.emu.mark()
        self.emu.command("scenario " + replay)
        self.assert_logged("加载场景: %s" % replay, mark)
        time.sleep(1.1)  # a new second, so regenerated dates would differ
        start, records = self.upload()
        self.assertEqual(start, b"\x00" + (6).to_bytes(4, "big"))
        self.assertEqual(records, first_records)
        # A count set afterwards takes the rows in order, from the first again after the last.
        mark = self.emu.mark()
        self.emu.command("records 8")
        self.assert_logged("records per upload: 8 (the CSV's 6 rows from the first again after the last)", mark)
        start, records = self.upload()
        self.assertEqual(start, b"\x00" + (8).to_bytes(4, "big"))
        self.assertEqual(records, first_records + first_records[:2])


class Faults(ScenarioTestCase):

    def test_rules_of_the_file_come_before_the_command_line_and_a_new_file_replaces_them(self):
        path = self.write_scenario({"faults": ["4:drop@1"], "seed": 7})
        self.start_emulator("--scenario", path, "--fault", "6:drop@1")
        self.peer.write(build_frame(0x04))
        self.peer.assert_silent()
        self.peer.write(build_frame(0x06))
        self.peer.assert_silent()
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        self.assert_logged("FAULT get-factory-serial-number:drop@1 on cmd 4, request 1, match 1")
        self.assert_logged("fault seed: 7")

        other = self.write_scenario({"faults": ["get-operator-name:drop"]}, "other.json")
        self.emu.command("scenario " + other)
        self.assert_logged("加载场景: %s" % other)
        self.peer.write(build_frame(0x10))
        self.peer.assert_silent()
        self.assertEqual(self.peer.request(0x06).content, b"DEVICENAME")


    def test_a_new_file_replaces_the_old_one_whole(self):
        first = self.write_scenario({"faults": ["get-factory-serial-number:drop"], "records": {"count": 4},
                                     "texts": {"serial-number": "FIRST"}, "stateful": True, "seed": 9})
        self.start_emulator("--records", "2", "--scenario", first, "--fault", "get-device-name:drop")
        self.peer.write(build_frame(0x04))
        self.peer.assert_silent()
        self.emu.command("fault get-device-number:drop")  # added by hand: stays too
        self.assert_logged("fault rule added: get-device-number:drop")

        second = self.write_scenario({"texts": {"operator": "OP2"}}, "second.json")
        mark = self.emu.mark()
        self.emu.command("scenario " + second)
        self.assert_logged("加载场景: %s" % second, mark)
        self.assert_logged("fault rule removed with its scenario: get-factory-serial-number:drop", mark)
        # The first file's rule, text and state are gone; the count is --records again.
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        self.assertEqual(self.peer.request(0x10).content, b"OP2")
        self.assertEqual(self.peer.request(0x03, b"NEW").raw, build_frame(0x03))
        self.assertEqual(self.peer.request(0x04).content, b"SERIALNUMBER")
        start, records = self.upload()
        self.assertEqual(len(records), 2)
        # The rules of the command line and of standard input stay.
        for code in (0x06, 0x08):
            self.peer.write(build_frame(code))
            self.peer.assert_silent()


class Refused(ScenarioTestCase):

    CSV_HEADER = ("sequence,tool_model,serial_number,date_time,device_name,device_number,operator,"
                  "pressure_unit,torque_unit,pressure,target_torque,actual_torque,bolt_spec,bolt_grade,"
                  "target_angle,actual_angle,gear,selected_mode,working_mode,result")
    CSV_ROW = "1,5QJW,12345678,2024-05-07 09:05:03,A,87654321,B,2,1,300,128,129,x,y,30,31,1,1,1,1"

    def refused_files(self):
        with open(os.path.join(self.dir, "short.csv"), "w") as f:
            f.write(self.CSV_HEADER + "\n" + self.CSV_ROW + "\n" + self.CSV_ROW.rsplit(",", 1)[0] + "\n")
        return [
            ({"texts": {"serial-number": "SN1"}, "colour": "red"},
             "colour: unknown key (known: texts, stateful, records, faults, seed, replies, timing, clock_offset_ms, on_dtr_drop)"),
            ({"records": {"fields": {"target_angle": 70000}}},
             "records.fields.target_angle: 70000 is outside 0 to 65535"),
            ({"records": {"csv": "short.csv"}},
             "records.csv: short.csv row 2 (line 3): 19 columns, expected 20"),
            ({"faults": ["4:drop@1", "get-time:dorp"]},
             'faults: fault rule "get-time:dorp": unknown action "dorp"'),
        ]

    def hostile_files(self):
        """A FIFO, a device, a folder, and scenarios whose records.csv is one of those."""
        fifo = os.path.join(self.dir, "fifo.json")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
            os.mkfifo(os.path.join(self.dir, "fifo.csv"))
        with_fifo_csv = self.write_scenario({"records": {"csv": "fifo.csv"}}, "fifo-csv.json")
        with_zero_csv = self.write_scenario({"records": {"csv": "/dev/zero"}}, "zero-csv.json")
        return [fifo, "/dev/zero", self.dir, with_fifo_csv, with_zero_csv]

    def test_refused_on_the_command_line(self):
        for path in self.hostile_files():
            with self.subTest(path=path):
                code, lines, errors = self.run_emulator("--scenario", path, os.path.join(self.dir, "no-port"))
                self.assertEqual(code, 2)
                self.assertTrue(errors.startswith("varnel-emu: %s: " % path), errors)
                self.assertIn("cannot read", errors)
        for index, (content, message) in enumerate(self.refused_files()):
            with self.subTest(message=message):
                path = self.write_scenario(content, "bad%d.json" % index)
                code, lines, errors = self.run_emulator("--scenario", path, os.path.join(self.dir, "no-port"))
                self.assertEqual(code, 2)
                self.assertEqual(errors, "varnel-emu: %s: %s\n" % (path, message))
                self.assertEqual(lines, [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, log_file_name())), "nothing started")

    def test_refused_on_standard_input_keeps_the_active_one(self):
        good = self.write_scenario({"texts": {"serial-number": "GOOD"}, "stateful": True})
        self.start_emulator("--scenario", good)
        for index, (content, message) in enumerate(self.refused_files()):
            with self.subTest(message=message):
                path = self.write_scenario(content, "bad%d.json" % index)
                self.emu.command("scenario " + path)
                expected = "scenario: %s: %s (the active scenario stays)\n" % (path, message)
                deadline = time.monotonic() + REPLY_TIMEOUT
                while expected not in self.emu.stderr_snapshot():
                    self.assertLess(time.monotonic(), deadline, self.emu.stderr_snapshot())
                    time.sleep(0.02)
                self.assertEqual(self.peer.request(0x04).content, b"GOOD")
        # Files no reader may wait on or take whole: refused at once, the unit answering on.
        for path in self.hostile_files():
            with self.subTest(path=path):
                self.emu.command("scenario " + path)
                expected = "scenario: %s: " % path
                deadline = time.monotonic() + REPLY_TIMEOUT
                while expected not in self.emu.stderr_snapshot():
                    self.assertLess(time.monotonic(), deadline, self.emu.stderr_snapshot())
                    time.sleep(0.02)
                self.assertEqual(self.peer.request(0x04).content, b"GOOD")
        # Still stateful, from the file that stayed in force.
        self.peer.request(0x03, b"NEW")
        self.assertEqual(self.peer.request(0x04).content, b"NEW")



class Documented(ScenarioTestCase):
    """The examples in docs/ do what they show, and varnel-scenario(5) names every key the
    readers know, as their refusals list them."""

    def load_example(self, name):
        path = os.path.join(SOURCE_DIR, "docs", name)
        with open(path, encoding="utf-8") as f:
            example = json.load(f)
        self.start_emulator("--records", "3", "--scenario", path)
        texts = example["texts"]
        self.assertEqual(self.peer.request(0x04).content, texts["serial-number"].encode("ascii"))
        self.assertEqual(self.peer.request(0x06).content, texts["device-name"].encode("gb2312"))
        return path, example["records"]

    def test_the_fields_example_generates_its_records(self):
        _, records = self.load_example("scenario-fields.json")
        self.peer.write(build_frame(GET_RECORDS))
        start, first = self.peer.read_frames(2)
        self.assertEqual(start.content, b"\x00" + records["count"].to_bytes(4, "big"))
        self.assertEqual(field(first.content, TOOL_MODEL).rstrip(b"\0"), records["fields"]["tool_model"].encode())

    def test_the_csv_example_uploads_the_rows_of_its_csv(self):
        path, records = self.load_example("scenario-csv.json")
        # A CSV decides the records alone: a count or fields beside it would mislead.
        self.assertEqual(set(records), {"csv"})
        with open(os.path.join(os.path.dirname(path), records["csv"]), encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        _, uploaded = self.upload()
        self.assertEqual([number(r, ACTUAL_TORQUE) for r in uploaded], [int(row["actual_torque"]) for row in rows])

    def refused_keys(self, option, content):
        """The keys a refusal lists for an unknown key in `content`."""
        path = self.write_scenario(content, "probe.json")
        code, _, errors = self.run_emulator(option, path, os.path.join(self.dir, "no-port"))
        self.assertEqual(code, 2, errors)
        listed = re.search(r"\((?:known|fields): ([^)]*)\)", errors)
        self.assertIsNotNone(listed, errors)
        return listed.group(1).split(", ")

    def test_varnel_scenario_5_names_every_key(self):
        page = man_sections("varnel-scenario.5")
        scenario, units = bold_terms(page["SCENARIO FILE"]), bold_terms(page["UNITS FILE"])
        unit = {"endpoint": "tcp:127.0.0.1:0"}
        probes = [  # (option, file with an unknown key, how the page writes the keys listed, its terms)
            ("--scenario", {"x": 1}, "%s", scenario),
            ("--scenario", {"texts": {"x": ""}}, "texts.%s", scenario),
            ("--scenario", {"records": {"x": 1}}, "records.%s", scenario),
            ("--scenario", {"records": {"fields": {"x": 1}}}, "%s", scenario),
            ("--scenario", {"records": {"fields": {"gear": {"x": 1}}}}, "%s", scenario),
            ("--units", {"x": 1}, "%s", units),
            ("--units", {"units": [dict(unit, x=1)]}, "%s", units),
        ]
        for option, content, written, terms in probes:
            keys = self.refused_keys(option, content)
            for key in keys:
                with self.subTest(key=written % key):
                    self.assertIn(written % key, terms)



if __name__ == "__main__":
    unittest.main()
