"""Start-up, log file, shutdown paths and command-line handling of varnel-emu."""

import datetime
import os
import re
import json
import signal
import subprocess
import time
import unittest
import urllib.error
import urllib.request

from varnel_peer import EXIT_TIMEOUT, START_TIMEOUT, Emulator, EmulatorTestCase, build_frame, executable, \
    log_file_name, pane_message

STARTUP_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} <INFO> \[main:main:\d+\] \[0\] "
                          r"VARNEL-TEST程序启动\.\.\.$")
FILE_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} <INFO> \[[^\]:]+:[^\]]+:\d+\] \[0\] (.*)$")


class LifecycleTestCase(EmulatorTestCase):

    def read_log_file(self, days):
        names = {log_file_name(day) for day in days}
        present = [n for n in names if os.path.exists(os.path.join(self.dir, n))]
        self.assertEqual(len(present), 1, "log files: %s" % os.listdir(self.dir))
        with open(os.path.join(self.dir, present[0]), "rb") as f:
            text = f.read().decode("utf-8")
        # Every line starts with a line break; the last has none after it.
        self.assertTrue(text.startswith("\n"), repr(text[:40]))
        self.assertFalse(text.endswith("\n"))
        return text[1:].split("\n")

    def assert_orderly_exit(self, code, mark):
        self.assertEqual(code, 0, self.emu.stderr_text())
        closed = self.assert_logged("Device Closed!", mark, timeout=1)
        self.assert_logged("关闭串口", closed + 1, timeout=1)


class LogFileTest(LifecycleTestCase):

    def test_log_file_holds_startup_line_then_pane_lines(self):
        first_day = datetime.date.today()
        self.start_emulator("--records", "1")
        self.assertTrue(self.emu.lines()[0].endswith("] Welcome to VARNEL 1.0"), self.emu.lines()[:1])
        mark = self.emu.mark()
        self.peer.request(0x02)
        self.assertEqual(self.peer.request(0x09, b"\x01abc").raw, build_frame(0x09))
        self.assert_logged(self.port_line("接收数据 - cmd: 2, data: "), mark)
        self.assert_orderly_exit(self.shut_down(), mark)

        lines = self.read_log_file({first_day, datetime.date.today()})
        self.assertRegex(lines[0], STARTUP_LINE)
        payloads = []
        for line in lines[1:]:
            match = FILE_LINE.match(line)
            self.assertIsNotNone(match, line)
            payloads.append(match.group(1))
        # The start-up line is never shown on the pane; every pane line is in the file, in order.
        self.assertEqual(payloads, self.emu.lines())
        self.assertIn(self.port_line("设置加锁[abc]"), [pane_message(p) for p in payloads])

    def test_second_run_appends_to_the_same_file(self):
        day = datetime.date.today()
        for _ in range(2):
            self.start_emulator()
            mark = self.emu.mark()
            self.assert_orderly_exit(self.shut_down(), mark)
            self.pty.kill()
        lines = self.read_log_file({day, datetime.date.today()})
        self.assertEqual(len([l for l in lines if STARTUP_LINE.match(l)]), 2)
        self.assertRegex(lines[0], STARTUP_LINE)

    def test_pane_lines_carry_date_and_time(self):
        before = datetime.datetime.now().replace(microsecond=0)
        self.start_emulator()
        self.peer.request(0x04)
        after = datetime.datetime.now()
        for line in self.emu.lines():
            stamp = datetime.datetime.strptime(line[1:20], "%Y-%m-%d %H:%M:%S")
            self.assertTrue(before - datetime.timedelta(seconds=2) <= stamp <= after + datetime.timedelta(seconds=2),
                            line)

    def test_log_limit_ends_the_days_file(self):
        emu = self.start_emulator("--log-limit", "2K")
        for _ in range(20):
            self.assertEqual(self.peer.request(0x06).raw, build_frame(0x06, b"DEVICENAME"))
        # Standard output keeps every line.
        self.assertEqual(sum(m.startswith("发送消息：") for m in emu.messages()), 20)
        with open(os.path.join(self.dir, log_file_name()), "rb") as f:
            content = f.read()
        notice = b"log file limit of 2048 bytes reached: nothing more is written to this file until the next day"
        self.assertTrue(content.endswith(notice), content[-200:])
        self.assertLess(content.rfind(b"\n"), 2048)
        self.assertIn("reached its limit of 2048 bytes", emu.stderr_snapshot())


class ShutdownTest(LifecycleTestCase):

    def test_sigterm(self):
        self.start_emulator()
        self.peer.request(0x0D)
        mark = self.emu.mark()
        self.assert_orderly_exit(self.shut_down(signal.SIGTERM), mark)

    def test_sigint(self):
        self.start_emulator()
        self.peer.request(0x0D)
        mark = self.emu.mark()
        self.assert_orderly_exit(self.shut_down(signal.SIGINT), mark)

    def test_sigterm_during_upload(self):
        self.start_emulator("--records", "1000")
        self.peer.write(build_frame(0x0C))
        self.assertEqual(self.peer.read_frames(3)[0].content, b"\x00\x00\x00\x03\xe8")
        mark = self.emu.mark()
        self.assert_orderly_exit(self.shut_down(signal.SIGTERM), mark)
        sent = [m for m in self.emu.messages() if m.startswith("send file record: No. ")]
        self.assertLess(len(sent), 1000)

    def test_quit_during_upload_ends_it_with_its_end_frame(self):
        self.start_emulator("--records", "1000")
        self.peer.write(build_frame(0x0C))
        head = self.peer.read_frames(4)
        self.assertEqual(head[0].content, b"\x00\x00\x00\x03\xe8")
        mark = self.emu.mark()
        asked = time.monotonic()
        self.emu.command("quit")
        # Read on while it exits: the line's hang-up drops whatever the peer has not read.
        frames = head
        while not frames or frames[-1].content != b"\x02":
            self.assertLess(time.monotonic() - asked, 5, "no end frame after %d frames" % len(frames))
            frames += self.peer.poll_frames(0.02)
        self.assertEqual(self.emu.wait_exit(timeout=5), 0, self.emu.stderr_text())
        # Generous for a loaded machine; a hang or a spin never gets here at all.
        self.assertLess(time.monotonic() - asked, 2.0)
        self.assertEqual([f.content[0] for f in frames[1:-1]], [1] * (len(frames) - 2))
        self.assertLess(len(frames) - 2, 1000)
        self.peer.assert_silent(0.2)
        stopped = self.assert_logged(self.port_line("m_bSend is false"), mark, timeout=1)
        self.assert_logged(self.port_line("发送结束帧"), stopped + 1, timeout=1)
        self.assert_orderly_exit(0, stopped)

    def test_quit_command(self):
        self.start_emulator()
        self.peer.request(0x02)
        mark = self.emu.mark()
        self.emu.command("quit")
        self.assert_orderly_exit(self.emu.wait_exit(), mark)

    def test_end_of_standard_input_is_not_quit(self):
        self.start_emulator()
        self.emu.close_stdin()
        time.sleep(0.3)
        self.assertTrue(self.emu.running())
        self.assertEqual(self.peer.request(0x10).raw, build_frame(0x10, b"OPERATOR"))
        mark = self.emu.mark()
        self.assert_orderly_exit(self.shut_down(), mark)

    def test_unknown_standard_input_command(self):
        self.start_emulator()
        self.emu.command("hello there")
        self.emu.command("")
        deadline = time.monotonic() + 10
        while "hello there" not in self.emu.stderr_snapshot():
            self.assertLess(time.monotonic(), deadline, "no complaint about the command")
            time.sleep(0.05)
        self.assertIn('unknown command "hello there"', self.emu.stderr_snapshot())
        self.assertTrue(self.emu.running())
        self.assertEqual(self.peer.request(0x08).raw, build_frame(0x08, b"DEVICENUMBER"))


class ConsoleTest(LifecycleTestCase):
    """Commands typed on standard input get their answer at once, each time they are typed."""

    def answered(self, command, expected):
        mark = self.emu.mark()
        self.emu.command(command)
        self.assert_logged(expected, mark, timeout=3)
        self.assertEqual(self.emu.messages(mark), [expected], command)

    def test_repeated_commands_answer_each_time(self):
        scenario = os.path.join(self.dir, "seed.json")
        with open(scenario, "w", encoding="utf-8") as f:
            json.dump({"seed": 5}, f)
        self.start_emulator()
        # Typed three times in a row: the same line three times, none held back as a repeat.
        cases = [
            ("faults", "fault rules: none"),
            ("records 7", "records per upload: 7"),
            ("stop", "stop: no upload is running"),
            ("fault clear", "fault rules cleared"),
            ("fault get-time:drop@100", "fault rule added: get-time:drop@100"),
            ("scenario " + scenario, "加载场景: " + scenario),
        ]
        for command, expected in cases:
            for attempt in range(3):
                with self.subTest(command=command, attempt=attempt):
                    self.answered(command, expected)
        mark = self.emu.mark()
        self.emu.command("faults")
        self.assert_logged("fault rule 3: get-time:drop@100, fired 0", mark, timeout=3)
        # The count took effect: an upload of 7 records.
        self.peer.write(build_frame(0x0C))
        frames = self.peer.read_frames(9)
        self.assertEqual(frames[0].content, b"\x00\x00\x00\x00\x07")
        self.assertEqual(frames[-1].content, b"\x02")
        self.assertEqual(self.shut_down(), 0)

    def test_stop_during_an_upload_says_it_ends(self):
        self.start_emulator("--records", "100000")
        self.peer.write(build_frame(0x0C))
        self.peer.read_frames(3)
        self.emu.command("stop")
        self.assert_logged("stop: the upload ends at the next record", timeout=3)
        deadline = time.monotonic() + 10
        frames = []
        while not frames or frames[-1].content != b"\x02":
            self.assertLess(time.monotonic(), deadline, "no end frame")
            frames += self.peer.poll_frames(0.05)
        self.assertEqual(self.shut_down(), 0)


class WindowTest(LifecycleTestCase):
    """varnel-test on the offscreen platform, serving a pty pair it opens with --open."""

    def start_window(self):
        self.start_pty()
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
        if "ASAN_OPTIONS" in env:
            # Qt 5.15's offscreen plugin never frees its screen, so an orderly exit always ends in
            # a leak report; tst_widget checks the window's own objects with LeakSanitizer.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        self.window = subprocess.Popen([executable("varnel-test"), "--open", self.pty.emu_path], cwd=self.dir,
                                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
        self.addCleanup(self.stop_window)
        self.log_path = os.path.join(self.dir, log_file_name())
        self.wait_for_log("打开串口成功", START_TIMEOUT)
        self.open_peer()

    def stop_window(self):
        if self.window.poll() is None:
            self.window.kill()
        self.window.communicate(timeout=EXIT_TIMEOUT)

    def log_messages(self):
        with open(self.log_path, "rb") as f:
            lines = f.read().decode("utf-8").split("\n")
        return [FILE_LINE.match(line).group(1) for line in lines if FILE_LINE.match(line)]

    def wait_for_log(self, message, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if os.path.exists(self.log_path) and any(m.endswith(message) for m in self.log_messages()):
                return
            if self.window.poll() is not None or time.monotonic() > deadline:
                raise AssertionError("no %r in the window's log (exit %s)" % (message, self.window.poll()))
            time.sleep(0.05)

    def test_sigterm_during_upload_sends_the_end_frame(self):
        self.start_window()
        self.peer.write(build_frame(0x0C))
        frames = self.peer.read_frames(3)
        self.assertEqual(frames[0].content, b"\x00\x00\x00\x27\x10")
        self.window.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 10
        while frames[-1].content != b"\x02":
            self.assertLess(time.monotonic(), deadline, "no end frame after %d frames" % len(frames))
            frames += self.peer.poll_frames(0.02)
        self.assertEqual([f.content[0] for f in frames[1:-1]], [1] * (len(frames) - 2))
        self.assertLess(len(frames) - 2, 10000)
        _, errors = self.window.communicate(timeout=EXIT_TIMEOUT)
        self.assertEqual(self.window.returncode, 0, errors.decode("utf-8", "replace"))
        messages = [pane_message(m) for m in self.log_messages() if m.startswith("[")]
        closed = messages.index("Device Closed!")
        self.assertEqual(messages[closed + 1:], ["关闭串口"])


class CommandLineTest(LifecycleTestCase):

    def test_port_that_cannot_be_opened(self):
        regular_file = os.path.join(self.dir, "not-a-tty")
        with open(regular_file, "w") as f:
            f.write("x")
        for port in (os.path.join(self.dir, "missing-port"), regular_file):
            with self.subTest(port=port):
                code, lines, errors = self.run_emulator(port)
                self.assertEqual(code, 1)
                error_lines = errors.strip().split("\n")
                self.assertEqual(len(error_lines), 1, errors)
                self.assertIn(port, error_lines[0])
                self.assertIn("打开串口失败", [pane_message(l) for l in lines])
                self.assertNotIn("打开串口成功", [pane_message(l) for l in lines])

    def test_port_held_by_another_program_names_it(self):
        self.start_emulator()
        holder = self.emu
        code, lines, errors = self.run_emulator(self.port_name)
        self.assertEqual(code, 1)
        self.assertEqual(errors, "varnel-emu: cannot open %s: in use by process %d (varnel-emu)\n"
                         % (self.port_name, holder.process.pid))
        self.assertIn("打开串口失败", [pane_message(l) for l in lines])
        # The holder serves on.
        self.emu = holder
        self.assertEqual(self.peer.request(0x06).raw, build_frame(0x06, b"DEVICENAME"))

    def test_bad_options(self):
        port = os.path.join(self.dir, "port")
        pty = self.start_pty().emu_path
        cases = [
            [],
            [port, port],
            [port, os.path.join(self.dir, ".", "port")],
            [pty, os.path.realpath(pty)],
            ["--baud", "12345", port],
            ["--data-bits", "9", port],
            ["--stop-bits", "3", port],
            ["--parity", "Mark", port],
            ["--records", "abc", port],
            ["--records", "123456789", port],
            ["--records", "", port],
            ["--bogus", port],
            ["--baud"],
            ["--line-timing=fast", port],
            ["--adapter", "latency=0", port],
            ["--adapter", "ftdi,packet=x", port],
            ["--log-limit", "5X", port],
            ["--log-limit", "2T", port],
        ]
        for args in cases:
            with self.subTest(args=args):
                code, lines, errors = self.run_emulator(*args)
                self.assertEqual(code, 2, errors)
                # One line, not the whole usage.
                self.assertRegex(errors, r"^varnel-emu: [^\n]+ \(see varnel-emu --help\)\n$")
                self.assertEqual(lines, [])

    def test_serial_settings_are_accepted(self):
        self.start_emulator("--baud", "9600", "--data-bits", "8", "--stop-bits", "1.5", "--parity", "Even",
                            "--records", "2")
        self.assertEqual(self.peer.request(0x06).raw, build_frame(0x06, b"DEVICENAME"))
        self.peer.write(build_frame(0x0C))
        self.assertEqual([f.content[0] for f in self.peer.read_frames(4)], [0, 1, 1, 2])

    def test_list_ports(self):
        code, lines, errors = self.run_emulator("--list")
        self.assertEqual(code, 0, errors)
        self.assertTrue(all(line.strip() for line in lines), lines)


class EnvironmentTest(LifecycleTestCase):
    """The variables that stand for varnel-emu's options in a container."""

    def start(self, args, env, units=2):
        self.emu = Emulator(args, cwd=self.dir, env=env)
        self.addCleanup(self.emu.cleanup)
        self.emu.wait_for(lambda m: m.startswith("CONTROL "), timeout=START_TIMEOUT)
        lines = self.emu.lines()
        # (unit number, endpoint) of each LISTEN line, as the prefix names it.
        listens = [(int(m.group(1)), m.group(2)) for m in
                   (re.match(r"\[unit (\d+)\] LISTEN (\S+)$", pane_message(line)) for line in lines) if m]
        self.assertEqual(len(listens), units, lines)
        url = next(pane_message(l)[len("CONTROL "):] for l in lines if pane_message(l).startswith("CONTROL "))
        return listens, url

    def get(self, url, path, token=None, host=None):
        request = urllib.request.Request(url + path)
        if token:
            request.add_header("Authorization", "Bearer " + token)
        if host:
            request.add_header("Host", host)
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                return answer.status, answer.read().decode("utf-8")
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode("utf-8")

    def test_each_variable_stands_for_its_option(self):
        token_file = os.path.join(self.dir, "token")
        with open(token_file, "w") as f:
            f.write("s3cret\n")
        scenario = os.path.join(self.dir, "scenario.json")
        with open(scenario, "w") as f:
            json.dump({"texts": {"device-name": "ENVUNIT"}}, f)
        events = os.path.join(self.dir, "events.jsonl")
        env = {"VARNEL_ENDPOINTS": " tcp:127.0.0.1:0  tcp:127.0.0.1:0 ", "VARNEL_CONTROL": "127.0.0.1:0",
               "VARNEL_CONTROL_TOKEN_FILE": token_file, "VARNEL_SCENARIO": scenario, "VARNEL_RECORDS": "3",
               "VARNEL_EVENTS": events, "VARNEL_JOURNAL": "4", "VARNEL_FIRST_UNIT": "7",
               "VARNEL_LOG_FILE": "none", "VARNEL_CONTROL_HOST": "other varnel-0.varnel"}
        listens, url = self.start([], env)
        self.assertEqual([number for number, _ in listens], [7, 8])
        self.assertEqual(self.get(url, "/units")[0], 401)
        self.assertEqual(self.get(url, "/units", "s3cret", host="varnel-0.varnel:4001")[0], 200)
        self.assertEqual(self.get(url, "/units", "s3cret", host="elsewhere:4001")[0], 403)
        units = json.loads(self.get(url, "/units", "s3cret")[1])
        self.assertEqual([(u["id"], u["records"]) for u in units], [(7, 3), (8, 3)])
        self.peer = self.open_network_peer(listens[1][1])
        for _ in range(3):
            self.assertEqual(self.peer.request(0x06).raw, build_frame(0x06, b"ENVUNIT"))
        journal = json.loads(self.get(url, "/units/8/journal?limit=100", "s3cret")[1])["events"]
        self.assertEqual(len(journal), 4)  # bounded by VARNEL_JOURNAL
        self.assertEqual(self.shut_down(), 0)
        with open(events) as f:
            self.assertIn('"unit":8', f.read())
        self.assertFalse([n for n in os.listdir(self.dir) if n.endswith(".log")], os.listdir(self.dir))

    def test_command_line_wins_and_first_unit_numbers_the_fleet(self):
        env = {"VARNEL_ENDPOINTS": "tcp:127.0.0.1:1", "VARNEL_UNITS": "/no/such/units.json",
               "VARNEL_RECORDS": "9", "VARNEL_FIRST_UNIT": "5", "VARNEL_CONTROL": "[::1]:x",
               "VARNEL_CONTROL_TOKEN_FILE": "/no/such/token", "VARNEL_JOURNAL": "0", "VARNEL_EVENTS": "",
               "VARNEL_SCENARIO": "/no/such/scenario.json", "VARNEL_CONTROL_HOST": "bad_name!"}
        scenario = os.path.join(self.dir, "scenario.json")
        with open(scenario, "w") as f:
            json.dump({"texts": {"device-name": "ARGS"}}, f)
        listens, url = self.start(["--first-unit", "1001", "--records", "4", "--control", "127.0.0.1:0",
                                   "--control-token", "t", "--control-host", "named", "--journal", "10", "--scenario", scenario,
                                   "--events", os.path.join(self.dir, "events.jsonl"),
                                   "tcp:127.0.0.1:0", "tcp:127.0.0.1:0"], env)
        self.assertEqual([number for number, _ in listens], [1001, 1002])
        units = json.loads(self.get(url, "/units", "t")[1])
        self.assertEqual([(u["id"], u["records"]) for u in units], [(1001, 4), (1002, 4)])
        metrics = self.get(url, "/metrics", "t")[1]
        self.assertIn('varnel_faults_fired_total{unit="1002"} 0', metrics)
        self.assertNotIn('unit="1"', metrics)
        self.assertEqual(self.get(url, "/units/1/state", "t")[0], 404)
        self.assertEqual(self.get(url, "/units/1002/state", "t", host="named")[0], 200)
        self.assertIn(log_file_name(), os.listdir(self.dir))
        # A scenario typed for every unit is every unit's, numbered from 1001 as they are.
        typed = os.path.join(self.dir, "typed.json")
        with open(typed, "w") as f:
            json.dump({"texts": {"device-name": "TYPED"}}, f)
        self.emu.command("scenario " + typed)
        self.emu.wait_for("[unit 1002] 加载场景: " + typed)
        self.assertEqual(self.get(url, "/readyz")[0], 200)
        self.assertNotIn("scenario:", self.emu.stderr_text())

    def test_bad_values_are_refused_naming_the_variable(self):
        control = {"VARNEL_CONTROL": "127.0.0.1:0"}
        cases = [("VARNEL_RECORDS", {"VARNEL_RECORDS": "abc"}), ("VARNEL_RECORDS", {"VARNEL_RECORDS": ""}),
                 ("VARNEL_JOURNAL", {"VARNEL_JOURNAL": "0"}), ("VARNEL_EVENTS", {"VARNEL_EVENTS": ""}),
                 ("VARNEL_CONTROL", {"VARNEL_CONTROL": "nohost"}),
                 ("VARNEL_CONTROL", {"VARNEL_CONTROL": "0.0.0.0:0"}),
                 ("VARNEL_CONTROL_TOKEN_FILE", dict(control, VARNEL_CONTROL_TOKEN_FILE="/no/such/token")),
                 ("VARNEL_CONTROL_TOKEN and VARNEL_CONTROL_TOKEN_FILE",
                  dict(control, VARNEL_CONTROL_TOKEN="a", VARNEL_CONTROL_TOKEN_FILE="/no/such/token")),
                 ("VARNEL_CONTROL_HOST", dict(control, VARNEL_CONTROL_HOST="ok bad_name!")),
                 ("VARNEL_SCENARIO", {"VARNEL_SCENARIO": "/no/such/scenario.json"}),
                 ("VARNEL_FIRST_UNIT", {"VARNEL_FIRST_UNIT": "0"}),
                 ("VARNEL_FIRST_UNIT", {"VARNEL_FIRST_UNIT": "1000000000"}),
                 ("VARNEL_LOG_FILE", {"VARNEL_LOG_FILE": "daily"}),
                 ("VARNEL_ENDPOINTS", {"VARNEL_ENDPOINTS": "tcp:127.0.0.1"}),
                 ("VARNEL_ENDPOINTS", {"VARNEL_ENDPOINTS": " "}),
                 ("VARNEL_UNITS", {"VARNEL_UNITS": "/no/such/units.json"})]
        for name, env in cases:
            with self.subTest(env=env):
                units = "VARNEL_ENDPOINTS" in env or "VARNEL_UNITS" in env
                self.emu = Emulator([] if units else ["tcp:127.0.0.1:0"], cwd=self.dir, env=env)
                self.addCleanup(self.emu.cleanup)
                self.assertEqual(self.emu.wait_exit(), 2)
                self.assertRegex(self.emu.stderr_text(), r"^varnel-emu: %s: [^\n]+\n$" % name)
                self.assertEqual(self.emu.lines(), [])
                self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
