"""The varnel package against the real varnel-emu: start-up failures, a process that dies,
refusals, the long poll, and the endpoints' URLs."""

import importlib.metadata
import importlib.util
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import serial

import varnel
from varnel._metrics import parse_samples, unit_metrics

pytest_plugins = ["pytester"]
# pyserial's RFC 2217 client still calls setDaemon().
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning:serial.rfc2217")

GET_TIME = bytes.fromhex("5AA51234020000EE03")


@pytest.fixture
def emu_binary(request):
    path = request.config.getoption("varnel_emu") or os.environ.get("VARNEL_EMU")
    if not path:
        pytest.skip("--varnel-emu or $VARNEL_EMU names no varnel-emu")
    return os.path.join(str(request.config.invocation_params.dir), path)


def assert_cleaned_up(emu, socats, directory):
    assert emu.process.poll() is not None, "varnel-emu still runs"
    assert all(s.poll() is not None for s in socats), "socat still runs"
    assert not os.path.lexists(directory), "the private folder is left: %s" % os.listdir(directory)


@pytest.mark.parametrize("how", ["argument", "environment", "path"])
def test_a_missing_binary_names_what_was_tried(how, monkeypatch, tmp_path):
    monkeypatch.delenv("VARNEL_EMU", raising=False)
    kwargs = {}
    if how == "argument":
        kwargs["binary"] = str(tmp_path / "nowhere" / "varnel-emu")
        expected = "the binary argument %s (no such file)" % kwargs["binary"]
    elif how == "environment":
        (tmp_path / "varnel-emu").write_text("not a program")  # exists, not executable
        monkeypatch.setenv("VARNEL_EMU", str(tmp_path / "varnel-emu"))
        expected = "$VARNEL_EMU %s (not executable)" % (tmp_path / "varnel-emu")
    else:
        monkeypatch.setenv("PATH", str(tmp_path))
        expected = "PATH 'varnel-emu' (not found on PATH=%s)" % tmp_path
    with pytest.raises(varnel.EmulatorError) as caught:
        varnel.Emulator(**kwargs).start()
    assert str(caught.value).startswith("varnel-emu not found: tried " + expected)


@pytest.mark.parametrize("options, error, message", [
    ({"endpoints": ["usb"]}, ValueError, "unknown endpoint 'usb': one of pty, tcp, rfc2217"),
    ({"endpoints": []}, ValueError, "an emulator needs at least one endpoint"),
    ({"records": "5"}, TypeError, "records is a whole number, not '5'"),
    ({"records": True}, TypeError, "records is a whole number, not True"),
])
def test_bad_arguments_are_refused_before_anything_starts(options, error, message):
    with pytest.raises(error) as caught:
        varnel.Emulator(binary="/nowhere", **options)
    assert str(caught.value) == message


@pytest.mark.parametrize("options, message", [
    ({"extra_args": ["--no-such-option"]}, "Unknown option 'no-such-option'."),
    ({"faults": ["get-time:dorp"]}, 'fault rule "get-time:dorp": unknown action "dorp"'),
    ({"records": -1}, "--records"),
    ({"scenario": {"texts": {"colour": "red"}}}, "colour"),
])
def test_a_refused_start_raises_with_the_emulators_stderr(emu_binary, options, message):
    emu = varnel.Emulator(binary=emu_binary, **options)
    with pytest.raises(varnel.EmulatorError) as caught:
        emu.start()
    text = str(caught.value)
    assert "exited with status 2 before it served its control API" in text
    assert message in caught.value.output
    # The message keeps the error, not the usage text after it.
    assert message in text and "usage:" not in text.lower() and len(text.splitlines()) <= 4
    assert emu.temp_dir is None and emu.process.poll() is not None
    assert len(emu._socats) == 1 and emu._socats[0].poll() is not None


def test_a_killed_emulator_gives_a_clear_error_and_leaves_nothing(emu_binary):
    with pytest.raises(varnel.EmulatorError) as caught:
        with varnel.Emulator(binary=emu_binary, endpoints=["pty", "tcp"]) as emu:
            socats = list(emu._socats)
            directory = emu.temp_dir
            pc_end = emu.units[0].port
            assert os.path.exists(pc_end)
            os.kill(emu.process.pid, signal.SIGKILL)
            emu.units[1].state()
    assert "GET /units/2/state: varnel-emu (pid %d) is no longer running: it was killed by SIGKILL" \
        % emu.process.pid in str(caught.value)
    assert_cleaned_up(emu, socats, directory)
    assert not os.path.lexists(pc_end)
    assert emu.returncode == -signal.SIGKILL


def test_an_exception_in_the_block_stops_everything_and_passes_through(emu_binary):
    with pytest.raises(KeyError):
        with varnel.Emulator(binary=emu_binary, endpoints=["pty", "pty"]) as emu:
            socats = list(emu._socats)
            directory = emu.temp_dir
            assert len(socats) == 2 and os.listdir(directory)
            raise KeyError("the test failed")
    assert_cleaned_up(emu, socats, directory)
    assert emu.returncode == 0  # SIGTERM: an orderly end
    with pytest.raises(varnel.EmulatorError, match="the emulator is not running"):
        emu.units[0].state()


def test_an_emulator_started_in_a_thread_outlives_the_thread(emu_binary):
    # The kernel's death signal follows the thread that forked, not the process.
    started = []
    thread = threading.Thread(target=lambda: started.append(varnel.Emulator(binary=emu_binary).start()))
    thread.start()
    thread.join()
    emu = started[0]
    try:
        time.sleep(0.3)
        assert emu.alive and all(s.poll() is None for s in emu._socats)
        assert emu.units[0].state()["unit"] == 1
    finally:
        emu.close()


def test_refusals_carry_the_units_message(emu_binary):
    command_line = subprocess.run([emu_binary, "--fault", "get-time:dorp", "x"], capture_output=True, text=True)
    with varnel.Emulator(binary=emu_binary) as emu:
        unit = emu.units[0]
        with pytest.raises(varnel.Refused) as rule:
            unit.faults.add("get-time:dorp")
        assert str(rule.value) and str(rule.value) in command_line.stderr
        assert rule.value.status == 400 and rule.value.path == "/units/1/faults"

        with pytest.raises(varnel.Refused) as scenario:
            unit.scenario({"texts": {"serial-number": 12}})
        assert "texts.serial-number" in str(scenario.value)
        with pytest.raises(varnel.Refused, match="records"):
            unit.scenario({"records": {"count": 100000000}})
        assert unit.faults.list() == []  # nothing was half applied

        with pytest.raises(varnel.ApiError) as missing:
            unit.faults.remove(999)
        assert missing.value.status == 404 and not isinstance(missing.value, varnel.Refused)
        assert "DELETE /units/1/faults/999: HTTP 404" in str(missing.value)


def test_faults_round_trip_and_wait_for(emu_binary, tmp_path):
    with varnel.Emulator(binary=emu_binary, endpoints=["rfc2217"]) as emu:
        unit = emu.units[0]
        assert unit.url.startswith("rfc2217://127.0.0.1:") and unit.port.startswith("rfc2217:127.0.0.1:")
        first = unit.faults.add("get-time:drop@1")
        second = unit.faults.add("*:noise=4@every=3")
        assert [f["id"] for f in unit.faults.list()] == [first["id"], second["id"]]
        unit.faults.remove(first)
        assert [f["rule"] for f in unit.faults.list()] == ["*:noise=4@every=3"]
        unit.faults.clear()
        assert unit.faults.list() == []

        with pytest.raises(TimeoutError) as caught:
            unit.wait_for("reply", cmd="get-time", timeout=0.3)
        assert str(caught.value) == "unit 1: no 'reply' event for cmd 'get-time' after seq 0 within 0.3 s. Nearest: none."

        line = serial.serial_for_url(unit.url, timeout=5)
        try:
            line.write(GET_TIME)
            reply = line.read(16)
        finally:
            line.close()
        assert reply[:7] == bytes.fromhex("5AA5123402 0007")
        # Already journaled: found at once; a later one is waited for.
        event = unit.wait_for("reply", cmd="get-time")
        assert event["hex"] == reply.hex()
        with pytest.raises(TimeoutError, match="after seq %d" % event["seq"]):
            unit.wait_for("reply", cmd=2, after=event["seq"], timeout=0.2)
        # A second wait goes on after the event the first returned; after= starts where it says.
        with pytest.raises(TimeoutError, match="after seq %d" % event["seq"]):
            unit.wait_for("reply", cmd="get-time", timeout=0.2)
        assert unit.wait_for("reply", cmd="get-time", after=0) == event
        assert unit.wait_for("request")["seq"] < event["seq"]
        assert len(unit.journal(type="request")) == 1
        assert unit.metrics()['varnel_frames_received_total{command="get-time"}'] == 1

        unit.faults.add("get-time:drop")
        unit.reset()
        assert unit.faults.list() == []
        assert [e for e in unit.journal() if e["type"] in ("request", "reply")] == []


def frame(command, content=b""):
    """A request frame with its CRC-16/MODBUS, low byte first."""
    body = b"\x5a\xa5\x12\x34" + bytes([command]) + len(content).to_bytes(2, "big") + content
    crc = 0xFFFF
    for byte in body:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return body + crc.to_bytes(2, "little")


def send_requests(unit, requests):
    """Each request on the unit's TCP line, its reply read."""
    host, port = unit.port.split(":")[1:]
    with socket.create_connection((host, int(port)), timeout=5) as line:
        for command, content in requests:
            line.sendall(frame(command, content))
            unit.wait_for("reply", cmd=command)


def test_a_failing_verification_says_what_came_nearest(emu_binary):
    with varnel.Emulator(binary=emu_binary, endpoints=["tcp"]) as emu:
        unit = emu.units[0]
        send_requests(unit, [(0x05, "扳手1".encode("gb2312")), (0x02, b"")])
        name, clock = [e["seq"] for e in unit.journal(type="request")]
        assert unit.verify("set-device-name", 设备名称="扳手1")["seqs"] == [name]
        assert unit.verify("get-time", count=(0, 1), after=name)["matched"] == 1

        with pytest.raises(varnel.VerificationError) as caught:
            unit.verify("set-device-name", 设备名称="扳手01")
        assert isinstance(caught.value, AssertionError)
        assert str(caught.value) == ("expected 1 set-device-name with 设备名称=扳手01; got 0. Nearest:\n"
                                     "  #%d set-device-name 设备名称=扳手1 ✗ (扳手01)\n"
                                     "  #%d get-time 设备名称=(none) ✗ (扳手01)" % (name, clock))
        with pytest.raises(varnel.VerificationError) as caught:
            unit.verify("get-time", count=2)
        assert str(caught.value) == "expected 2 get-time; got 1. Nearest: #%d set-device-name" % name

        assert unit.verify_sequence([("set-device-name", {"设备名称": "扳手1"}), "get-time"])["seqs"] == [name, clock]
        with pytest.raises(varnel.VerificationError) as caught:
            unit.verify_sequence(["get-time", "set-device-name"])
        assert str(caught.value) == ("expected in order: get-time, set-device-name; placed #%d get-time; "
                                     "no set-device-name after #%d. Nearest: none." % (clock, clock))

        with pytest.raises(varnel.WaitTimeout) as caught:
            unit.wait_for("request", cmd="set-time", timeout=0.2)
        assert isinstance(caught.value, TimeoutError) and isinstance(caught.value, AssertionError)
        assert str(caught.value) == ("unit 1: no 'request' event for cmd 'set-time' after seq 0 within 0.2 s. "
                                     "Nearest:\n  #%d set-device-name\n  #%d get-time" % (name, clock))
        with pytest.raises(varnel.Refused, match="fields.名字: no such field"):
            unit.verify("set-device-name", 名字="x")


def test_a_failed_test_keeps_what_its_unit_saw(pytester, emu_binary):
    pytester.makepyfile(test_kept="""
        import socket
        import pytest

        GET_TIME = bytes.fromhex("5AA51234020000EE03")

        @pytest.mark.varnel(endpoints=["tcp"], capture=True)
        def test_fails(varnel_unit):
            host, port = varnel_unit.port.split(":")[1:]
            with socket.create_connection((host, int(port)), timeout=5) as line:
                line.sendall(GET_TIME)
                varnel_unit.wait_for("reply")
            varnel_unit.verify("set-device-name", 设备名称="扳手01")

        def test_passes(varnel_unit):
            pass
    """)
    # The folder is named by the test's node id, which depends on pytest's rootdir: fixed here,
    # as an ini file above the temporary folder would otherwise move it.
    result = pytester.runpytest_subprocess("-p", "varnel.pytest_plugin", "--varnel-emu", emu_binary,
                                           "--rootdir", str(pytester.path),
                                           "--varnel-artifacts", "kept", "--junitxml", "report.xml")
    result.assert_outcomes(failed=1, passed=1)
    result.stdout.fnmatch_lines(["*VerificationError: expected 1 set-device-name with 设备名称=扳手01; got 0. "
                                 "Nearest: #* get-time 设备名称=(none) ✗ (扳手01)",
                                 "*- varnel artifacts -*", "unit1-journal: */kept/test_kept.py_test_fails/*"])
    folder = pytester.path / "kept" / "test_kept.py_test_fails"
    assert sorted(p.name for p in (pytester.path / "kept").iterdir()) == ["test_kept.py_test_fails"]
    events = [json.loads(line) for line in (folder / "unit1-journal.jsonl").read_text().splitlines()]
    assert [e["name"] for e in events if e["type"] in ("request", "reply")] == ["get-time", "get-time"]
    assert json.loads((folder / "unit1-state.json").read_text())["received"]["get-time"]["count"] == 1
    assert (folder / "unit1.pcap").read_bytes()[:4] in (b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4")
    assert "CONTROL http://" in (folder / "varnel-emu.log").read_text(encoding="utf-8", errors="replace")
    properties = re.findall(r'<property name="([^"]+)" value="([^"]+)"', (pytester.path / "report.xml").read_text())
    assert properties == [("varnel-" + name, str(folder / file)) for name, file in [
        ("unit1-journal", "unit1-journal.jsonl"), ("unit1-state", "unit1-state.json"),
        ("unit1-capture", "unit1.pcap"), ("log", "varnel-emu.log")]]

    # By default the test's own tmp_path.
    result = pytester.runpytest_subprocess("-p", "varnel.pytest_plugin", "--varnel-emu", emu_binary, "-k", "fails")
    kept = [line.split(": ", 1)[1] for line in result.outlines if line.startswith("unit1-state: ")]
    assert len(kept) == 1 and os.path.basename(os.path.dirname(kept[0])).startswith("test_fails")
    assert json.loads(open(kept[0]).read())["unit"] == 1


def test_metrics_text_is_read_per_unit():
    text = '\n'.join([
        '# HELP varnel_frames_received_total Frames received',
        '# TYPE varnel_frames_received_total counter',
        'varnel_frames_received_total{unit="1",command="get-time"} 2',
        'varnel_frames_received_total{command="get-time",unit="2"} 5',
        'varnel_reply_latency_seconds_bucket{unit="1",le="+Inf"} 3',
        'varnel_odd{unit="1",text="a \\"b\\", c\\\\"} 1.5 1700000000',
    ])
    assert unit_metrics(text, 1) == {
        'varnel_frames_received_total{command="get-time"}': 2.0,
        'varnel_reply_latency_seconds_bucket{le="+Inf"}': 3.0,
        'varnel_odd{text="a \\"b\\", c\\\\"}': 1.5,
    }
    assert unit_metrics(text, 2) == {'varnel_frames_received_total{command="get-time"}': 5.0}
    assert list(parse_samples(text))[-1][1] == {"unit": "1", "text": 'a "b", c\\'}
    for bad in ["varnel_x{unit=1} 2", "varnel_x", "varnel_x{unit=\"1\"} two"]:
        with pytest.raises(ValueError):
            list(parse_samples(bad))


def test_the_plugin_reads_its_marker_and_option(pytester, emu_binary):
    pytester.makepyfile("""
        import pytest

        @pytest.mark.varnel(faults=["get-time:drop@2"], endpoints=["tcp", "pty"], records=7)
        def test_marked(varnel_emulator, varnel_unit):
            assert varnel_unit is varnel_emulator.units[0] and varnel_unit.kind == "tcp"
            assert [f["rule"] for f in varnel_unit.faults.list()] == ["get-time:drop@2"]
            assert varnel_emulator.units_info()[1]["records"] == 7

        @pytest.mark.varnel(fault=["get-time:drop"])
        def test_misspelt(varnel_unit):
            pass
    """)
    result = pytester.runpytest_subprocess("-p", "varnel.pytest_plugin", "--varnel-emu", emu_binary)
    result.assert_outcomes(passed=1, errors=1)
    result.stdout.fnmatch_lines(["*unknown option fault (known: endpoints, scenario, faults*"])

    missing = pytester.runpytest_subprocess("-p", "varnel.pytest_plugin", "--varnel-emu", "/nowhere/varnel-emu",
                                            "-k", "marked")
    missing.assert_outcomes(errors=1)
    missing.stdout.fnmatch_lines(["*varnel-emu not found: tried the binary argument /nowhere/varnel-emu*"])


# Stand-ins for varnel-emu that misbehave at start: (script, start_timeout, expected message).
FAKE_EMULATORS = [
    # Silent for good: given up after the start time-out, and killed.
    ("echo starting; echo 'stuck somewhere' >&2; exec sleep 30", 0.5,
     "varnel-emu logged no CONTROL line within 0.5 s"),
    # A flood on both pipes before it fails, one line without an end: read as it comes, so the exit is
    # seen at once, and a line is kept to 4096 bytes.
    ("yes xxxxxxxxx | head -n 30000; yes yyyyyyyyy | head -n 30000 >&2; head -c 100000 /dev/zero >&2; "
     "echo >&2; echo 'last words' >&2; exit 3", 20.0,
     "varnel-emu exited with status 3 before it served its control API"),
    # Names an API nobody serves and ignores SIGTERM: SIGKILL ends it after the bound.
    ("trap '' TERM; echo 'CONTROL http://127.0.0.1:9'; exec sleep 30", 5.0,
     "GET /units: no answer from http://127.0.0.1:9"),
]


@pytest.mark.parametrize("script, start_timeout, message", FAKE_EMULATORS)
def test_a_start_that_goes_wrong_ends_the_process(tmp_path, script, start_timeout, message):
    fake = tmp_path / "varnel-emu"
    fake.write_text("#!/bin/sh\n" + script + "\n")
    fake.chmod(0o755)
    emu = varnel.Emulator(binary=str(fake), endpoints=["tcp"], start_timeout=start_timeout, stop_timeout=0.5)
    with pytest.raises(varnel.VarnelError) as caught:
        emu.start()
    assert message in str(caught.value)
    assert emu.process.poll() is not None and emu.temp_dir is None
    if "stuck" in script:
        assert "stuck somewhere" in caught.value.output and emu.returncode == -signal.SIGTERM
    elif "last words" in script:
        assert caught.value.output.startswith("standard error:\nyyyyyyyyy\n")
        assert str(caught.value).endswith(message + " (command: %s --control 127.0.0.1:0 tcp:127.0.0.1:0)\n" % fake
                                          + "yyyyyyyyy\n" * 5 + "(more in the error's output)")
        assert "\n" + "\0" * 4096 + "\n" in caught.value.output and "\0" * 4097 not in caught.value.output
        assert caught.value.output.endswith("last words\nstandard output (last lines):\n" + "xxxxxxxxx\n" * 19 + "xxxxxxxxx")
    else:
        assert emu.returncode == -signal.SIGKILL


def test_a_relative_csv_is_taken_from_the_scenario_s_folder(emu_binary, tmp_path, monkeypatch):
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "uploaded.csv"), encoding="utf-8") as f:
        rows = f.read().splitlines(True)[:3]  # the header and two records
    (tmp_path / "two.csv").write_text("".join(rows), encoding="utf-8")
    (tmp_path / "two.json").write_text('{"records": {"csv": "two.csv"}}')
    (tmp_path / "one.csv").write_text("".join(rows[:2]), encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    pc = os.path.join(os.path.dirname(emu_binary), "varnel-pc")

    def announced(unit):
        after = unit.journal()[-1]["seq"]
        subprocess.run([pc, "send", "--timeout", "1000", unit.port, "get-file-records"], capture_output=True)
        return unit.wait_for("upload-start", after=after)["announced"]

    with varnel.Emulator(binary=emu_binary, scenario="two.json", endpoints=["tcp"]) as emu:
        unit = emu.units[0]
        assert announced(unit) == 2
        unit.scenario({"records": {"csv": "one.csv"}})  # a dict: from the current folder
        assert announced(unit) == 1
        unit.scenario(tmp_path / "two.json")
        assert announced(unit) == 2
        with pytest.raises(varnel.Refused, match="missing.csv"):
            unit.scenario({"records": {"csv": "missing.csv"}})


def test_pip_and_the_deb_install_the_same_metadata(tmp_path):
    missing = [m for m in ("pip", "setuptools", "wheel") if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip("no %s to install the package with" % ", ".join(missing))
    python_dir = os.path.join(os.path.dirname(__file__), "..")
    source = tmp_path / "source"
    shutil.copytree(os.path.join(python_dir, "varnel"), source / "varnel", ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(os.path.join(python_dir, "pyproject.toml"), source)
    # Offline, as from a checkout: no index, the build tools already installed.
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation",
                    "--no-deps", "--target", str(tmp_path / "pip"), str(source)], check=True)
    subprocess.run([sys.executable, os.path.join(python_dir, "..", "package", "python", "dist_info.py"), str(source),
                    varnel.__version__, str(tmp_path / "deb")], check=True)

    def described(dist):
        fields = ("Name", "Version", "Summary", "Requires-Python")
        entry_points = sorted((e.group, e.name, e.value) for e in dist.entry_points)
        return [dist.metadata[f] for f in fields], dist.requires, entry_points

    pip_dists = list(importlib.metadata.distributions(path=[str(tmp_path / "pip")]))
    assert len(pip_dists) == 1
    assert described(pip_dists[0]) == described(importlib.metadata.PathDistribution(tmp_path / "deb"))
    assert described(pip_dists[0])[2] == [("pytest11", "varnel.pytest_plugin", "varnel.pytest_plugin")]


# How a pytest run dies under a test that holds two units: (how, pytest's own options).
DEATHS = [
    ("SIGTERM to pytest", []),
    ("SIGHUP to its process group", []),
    ("os._exit from a thread, as pytest-timeout's thread method", []),
    ("SIGTERM to an xdist master", ["-n", "1"]),
]


def running(pid):
    try:
        with open("/proc/%d/stat" % pid, "rb") as handle:
            return handle.read().rpartition(b")")[2].split()[0] not in (b"Z", b"X")
    except OSError:
        return False


@pytest.mark.parametrize("how, options", DEATHS, ids=[row[0] for row in DEATHS])
def test_a_dying_pytest_leaves_nothing(pytester, monkeypatch, emu_binary, how, options):
    held = pytester.path / "held.json"
    monkeypatch.setenv("VARNEL_HELD", str(held))
    pytester.makepyfile(test_hold="""
        import json, os, threading, time
        import pytest

        @pytest.mark.varnel(endpoints=["pty", "tcp"])
        def test_hold(varnel_emulator):
            emu, held = varnel_emulator, os.environ["VARNEL_HELD"]
            with open(held + ".new", "w") as handle:
                json.dump({"pids": [emu.process.pid] + [s.pid for s in emu._socats], "folder": emu.temp_dir,
                           "links": [u.port for u in emu.units if u.kind == "pty"], "runner": os.getpid()}, handle)
            os.replace(held + ".new", held)
            def exit_when_told():
                while not os.path.exists(held + ".exit"):
                    time.sleep(0.02)
                os._exit(1)
            threading.Thread(target=exit_when_told, daemon=True).start()
            time.sleep(120)
        """)
    run = pytester.popen([sys.executable, "-m", "pytest", "-p", "varnel.pytest_plugin", "-p", "no:cacheprovider",
                          "--varnel-emu", emu_binary, *options], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, start_new_session=True)
    state = {"pids": []}
    try:
        deadline = time.monotonic() + 60
        while not held.exists():
            assert run.poll() is None and time.monotonic() < deadline, "the inner test never held its units"
            time.sleep(0.05)
        state = json.loads(held.read_text())
        assert len(state["pids"]) == 2 and all(map(running, state["pids"])) and os.path.isdir(state["folder"])
        if how.startswith("SIGHUP"):
            os.killpg(run.pid, signal.SIGHUP)
        elif how.startswith("SIGTERM"):
            os.kill(run.pid, signal.SIGTERM)
        else:
            held.with_suffix(".json.exit").touch()
        run.wait(timeout=30)

        exits = "os._exit" in how  # nothing of ours runs on the way out
        # The process that ran the test too: under xdist a worker.
        watched = state["pids"] + [state["runner"]]
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and (any(map(running, watched))
                                               or (os.path.lexists(state["folder"]) and not exits)):
            time.sleep(0.05)
        assert [pid for pid in watched if running(pid)] == [], "varnel-emu, socat or pytest outlived pytest by 5 s"
        if not exits:
            assert not any(map(os.path.lexists, state["links"]))
        else:
            # socat unlinks its pair on SIGTERM, but a SIGTERM that lands while it is already ending on the
            # unit end's hangup can cut that short; a link left is inside the folder the next start removes.
            assert all(os.path.dirname(link) == state["folder"] for link in state["links"])
            # The next start removes the folder left.
            assert os.path.isdir(state["folder"])
            with varnel.Emulator(binary=emu_binary, endpoints=["tcp"]):
                assert not os.path.lexists(state["folder"])
        assert not os.path.lexists(state["folder"]), "the private folder is left: %s" % os.listdir(state["folder"])
        assert (state["runner"] != run.pid) == ("xdist" in how)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.wait()
        for pid in filter(running, state["pids"]):
            os.kill(pid, signal.SIGKILL)
