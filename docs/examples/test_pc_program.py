"""Tests of a PC program against emulated units: a suite to copy and adapt.

The "PC program" here is `varnel-pc send`, run as a subprocess the way a test drives the real one;
put yours in its place. Each test gets its own unit (a virtual serial pair and a varnel-emu),
set up by the @pytest.mark.varnel marker and removed afterwards.

    pytest docs/examples/test_pc_program.py               # with the varnel-test package installed
    PYTHONPATH=python pytest -p varnel.pytest_plugin --varnel-emu build/bin/varnel-emu \
        -n 4 docs/examples/test_pc_program.py             # from a checkout, four at a time
"""

import csv
import os
import shutil
import subprocess

import pytest

import varnel

SCENARIO = {
    "texts": {"serial-number": "SN20261208", "device-name": "扳手01", "operator": "张三"},
    "stateful": True,
}


@pytest.fixture
def pc_program(request):
    """Runs the PC program once against a port: `varnel-pc send PORT COMMAND [HEX]`."""
    emu = request.config.getoption("varnel_emu") or os.environ.get("VARNEL_EMU")
    beside = os.path.join(os.path.dirname(os.path.abspath(emu)), "varnel-pc") if emu else None
    program = beside if beside and os.access(beside, os.X_OK) else shutil.which("varnel-pc")
    if program is None:
        pytest.fail("varnel-pc not found beside varnel-emu or on PATH")

    def run(port, *args, timeout_ms=500):
        return subprocess.run([program, "send", "--timeout", str(timeout_ms), port, *args],
                              capture_output=True, text=True, timeout=60)

    return run


@pytest.mark.varnel(faults=["get-time:drop@1"])
def test_a_dropped_reply_is_a_timeout_and_the_retry_answers(varnel_unit, pc_program):
    first = pc_program(varnel_unit.port, "get-time")
    assert first.returncode == 3, first.stdout + first.stderr  # no reply within the time-out

    fault = varnel_unit.wait_for("fault")
    assert (fault["rule"], fault["action"]) == ("get-time:drop@1", "drop")
    assert varnel_unit.faults.list()[0]["fired"] == 1

    second = pc_program(varnel_unit.port, "get-time")
    assert second.returncode == 0, second.stdout + second.stderr
    assert "< 5AA5123402" in second.stdout  # the get-time reply frame
    replies = varnel_unit.journal(type="reply", cmd="get-time")
    assert len(replies) == 1  # what reached the line; the dropped one is its fault event
    assert varnel_unit.metrics()['varnel_frames_dropped_total{command="get-time"}'] == 1


@pytest.mark.varnel(records=5, faults=["record:corrupt-crc@2"])
def test_an_upload_with_a_corrupt_record(varnel_unit, pc_program, tmp_path):
    table = tmp_path / "records.csv"
    done = pc_program(varnel_unit.port, "--records-csv", str(table), "get-file-records")
    assert done.returncode == 1, done.stdout + done.stderr  # a record was flagged

    with open(table, newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(handle))
    assert [row["sequence"] for row in rows] == ["1", "3", "4", "5"]  # record 2 left out

    fault = varnel_unit.wait_for("fault")
    assert (fault["action"], fault["record"]) == ("corrupt-crc", 2)
    end = varnel_unit.wait_for("upload-end")
    assert (end["sent"], end["announced"], end["how"]) == (5, 5, "complete")


@pytest.mark.varnel(scenario=SCENARIO)
def test_a_scenario_gives_the_unit_its_texts(varnel_unit, pc_program):
    serial = pc_program(varnel_unit.port, "get-factory-serial-number")
    assert serial.returncode == 0, serial.stdout + serial.stderr
    assert "SN20261208" in serial.stdout

    # Another scenario mid-test replaces the first one whole.
    varnel_unit.scenario({"texts": {"serial-number": "SN-OTHER"}})
    again = pc_program(varnel_unit.port, "get-factory-serial-number")
    assert "SN-OTHER" in again.stdout


@pytest.mark.varnel(scenario=SCENARIO)
def test_what_the_pc_program_set_is_in_the_state_and_the_journal(varnel_unit, pc_program):
    done = pc_program(varnel_unit.port, "set-device-name", "B0E2CAD6")  # 扳手 in GB2312
    assert done.returncode == 0, done.stdout + done.stderr

    name = varnel_unit.state()["texts"]["device_name"]
    assert (name["text"], name["hex"], name["set_by_pc"]) == ("扳手", "b0e2cad6", True)

    request = varnel_unit.wait_for("request", cmd="set-device-name")
    assert request["fields"] == [["设备名称", "扳手"]]
    # stateful: the unit answers with what was set
    assert "扳手" in pc_program(varnel_unit.port, "get-device-name").stdout


@pytest.mark.varnel(endpoints=["tcp"])
def test_a_rule_added_mid_test_over_tcp(varnel_unit, pc_program):
    assert varnel_unit.port.startswith("tcp:127.0.0.1:")
    assert pc_program(varnel_unit.port, "get-time").returncode == 0

    with pytest.raises(varnel.Refused, match='unknown action "dorp"'):
        varnel_unit.faults.add("get-time:dorp")
    varnel_unit.faults.add("get-time:corrupt-crc")
    flagged = pc_program(varnel_unit.port, "get-time")
    assert flagged.returncode == 1, flagged.stdout + flagged.stderr  # bad checksum flagged

    varnel_unit.faults.clear()
    assert pc_program(varnel_unit.port, "get-time").returncode == 0
