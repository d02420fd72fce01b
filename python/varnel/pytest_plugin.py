"""pytest plugin: a fresh emulated unit per test.

Loaded by the ``pytest11`` entry point when the package is installed (``pip install ./python``
or the .deb), or with ``pytest -p varnel.pytest_plugin`` from a checkout (``PYTHONPATH=python``);
the entry point has the module's name, so the two together load it once::

    @pytest.mark.varnel(faults=["get-time:drop@1"])
    def test_retry(varnel_unit):
        run_pc_program(varnel_unit.port)
        assert varnel_unit.wait_for("fault")["action"] == "drop"

Every test gets its own varnel-emu, virtual pairs and free ports in a private folder, so tests
run side by side under pytest-xdist (``-n 4``) without clashes.

When a test fails, each unit's journal (JSON Lines), state, the emulator's log and, with
``capture=True`` in the marker, its capture are kept in ``--varnel-artifacts DIR`` (default: the
test's ``tmp_path``), named in the failure's "varnel artifacts" section and, with ``--junitxml``,
as the test case's properties; pytest-html, when installed, shows the journal as a table.
"""

import html
import os
import re
import signal

import pytest

from . import _lifetime
from .emulator import Emulator
from .errors import VarnelError

_MARKER_OPTIONS = ("endpoints", "scenario", "faults", "records", "extra_args", "capture")
# How many of the journal's last events pytest-html shows.
_HTML_ROWS = 1000


def pytest_addoption(parser):
    """Adds ``--varnel-emu PATH`` (the varnel-emu to run, else $VARNEL_EMU, else PATH) and
    ``--varnel-artifacts DIR`` (where a failed test's journals, states, log and captures go)."""
    group = parser.getgroup("varnel", "emulated VARNEL units")
    group.addoption("--varnel-emu", metavar="PATH", default=None,
                    help="varnel-emu to run for the varnel fixtures (default: $VARNEL_EMU, else PATH)")
    group.addoption("--varnel-artifacts", metavar="DIR", default=None,
                    help="keep a failed test's unit journals, states, log and captures in DIR/TEST "
                         "(default: the test's tmp_path)")


_ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
_previous_handlers = {}


def pytest_configure(config):
    """Registers the ``varnel`` marker; makes a dying pytest end its emulators first."""
    config.addinivalue_line(
        "markers",
        "varnel(scenario=None, faults=[], endpoints=['pty'], records=None, extra_args=[], capture=False): "
        "how the varnel_emulator fixture starts its units; records=None keeps varnel-emu's 10000 per upload "
        "(100 s at its pace), extra_args go on varnel-emu's command line, capture=True keeps a pcap of a "
        "failed test's frames")
    if hasattr(config, "workerinput"):
        # A pytest-xdist worker outlives a killed master unless the kernel ends it too.
        _lifetime.die_with_parent()
    for number in _ENDING_SIGNALS:
        try:
            previous = signal.getsignal(number)
            if previous is signal.SIG_IGN or number in _previous_handlers:
                continue  # ignored on purpose (nohup), or already ours
            signal.signal(number, _end_emulators)
        except ValueError:
            continue  # not the main thread: the kernel's death signal still ends the children
        _previous_handlers[number] = previous


def _end_emulators(number, frame):
    """Ends every emulator and removes its folder, then lets the signal do what it did before."""
    _lifetime.abandon_all()
    previous = _previous_handlers.get(number)
    if callable(previous):
        previous(number, frame)
        return
    signal.signal(number, signal.SIG_DFL if previous is None else previous)
    os.kill(os.getpid(), number)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test's units are still running here: what they saw is kept before they stop."""
    outcome = yield
    report = outcome.get_result()
    kept = getattr(item, "_varnel_kept", None)
    if not report.failed or kept is None or kept.get("saved"):
        return
    kept["saved"] = True
    folder = item.config.getoption("varnel_artifacts")
    if folder:
        folder = os.path.join(str(item.config.invocation_params.dir), folder,
                              re.sub(r"[^A-Za-z0-9_.-]+", "_", item.nodeid).strip("_"))
    else:
        folder = str(kept["tmp_path"])
    try:
        saved = kept["emulator"].save_artifacts(folder)
    except (VarnelError, OSError) as error:
        report.sections.append(("varnel artifacts", "not kept: %s" % error))
        return
    report.sections.append(("varnel artifacts", "\n".join("%s: %s" % item for item in saved.items())))
    for name, path in saved.items():
        item.user_properties.append(("varnel-" + name, path))
    if item.config.pluginmanager.hasplugin("html"):
        _add_html_journals(report, saved)


def _add_html_journals(report, saved):
    """Each unit's journal as a table in pytest-html's report."""
    try:
        from pytest_html import extras
    except ImportError:
        return
    import json
    added = list(getattr(report, "extras", getattr(report, "extra", [])))
    for name, path in saved.items():
        if not name.endswith("-journal"):
            continue
        with open(path, encoding="utf-8") as handle:
            events = [json.loads(line) for line in handle][-_HTML_ROWS:]
        rows = []
        for event in events:
            fields = ", ".join("%s=%s" % (f[0], f[1]) for f in event.get("fields", []))
            rows.append("<tr>" + "".join("<td>%s</td>" % html.escape(str(cell)) for cell in (
                event.get("seq"), event.get("t"), event.get("type"), event.get("name", ""), fields,
                event.get("hex", ""))) + "</tr>")
        added.append(extras.html(
            "<p>%s</p><table><tr><th>seq</th><th>time</th><th>type</th><th>command</th><th>fields</th>"
            "<th>hex</th></tr>%s</table>" % (html.escape(name), "".join(rows))))
    report.extras = added
    report.extra = added


@pytest.fixture
def varnel_emulator(request, tmp_path):
    """A started :class:`varnel.Emulator`, stopped and cleaned up after the test. Its options come
    from the test's ``@pytest.mark.varnel(...)`` marker (the closest one wins). When the test
    fails, what its units saw is kept (see the module's help)."""
    options = {}
    marker = request.node.get_closest_marker("varnel")
    if marker is not None:
        if marker.args:
            raise pytest.UsageError("@pytest.mark.varnel takes keyword arguments only: %s" % (marker.args,))
        unknown = sorted(set(marker.kwargs) - set(_MARKER_OPTIONS))
        if unknown:
            raise pytest.UsageError("@pytest.mark.varnel: unknown option %s (known: %s)"
                                    % (", ".join(unknown), ", ".join(_MARKER_OPTIONS)))
        options.update(marker.kwargs)
    binary = request.config.getoption("varnel_emu")
    if binary and os.sep in binary:
        # As given on the command line, not from wherever a test has moved to.
        binary = os.path.join(str(request.config.invocation_params.dir), binary)
    with Emulator(binary=binary, **options) as emulator:
        request.node._varnel_kept = {"emulator": emulator, "tmp_path": tmp_path}
        try:
            yield emulator
        finally:
            del request.node._varnel_kept


@pytest.fixture
def varnel_unit(varnel_emulator):
    """The first unit of ``varnel_emulator``."""
    return varnel_emulator.units[0]
