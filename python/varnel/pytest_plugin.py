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
"""

import os
import signal

import pytest

from . import _lifetime
from .emulator import Emulator

_MARKER_OPTIONS = ("endpoints", "scenario", "faults", "records", "extra_args")


def pytest_addoption(parser):
    """Adds ``--varnel-emu PATH``: the varnel-emu to run (else $VARNEL_EMU, else PATH)."""
    group = parser.getgroup("varnel", "emulated VARNEL units")
    group.addoption("--varnel-emu", metavar="PATH", default=None,
                    help="varnel-emu to run for the varnel fixtures (default: $VARNEL_EMU, else PATH)")


_ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
_previous_handlers = {}


def pytest_configure(config):
    """Registers the ``varnel`` marker; makes a dying pytest end its emulators first."""
    config.addinivalue_line(
        "markers",
        "varnel(scenario=None, faults=[], endpoints=['pty'], records=None, extra_args=[]): "
        "how the varnel_emulator fixture starts its units; records=None keeps varnel-emu's 10000 per upload "
        "(100 s at its pace), extra_args go on varnel-emu's command line")
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


@pytest.fixture
def varnel_emulator(request):
    """A started :class:`varnel.Emulator`, stopped and cleaned up after the test. Its options come
    from the test's ``@pytest.mark.varnel(...)`` marker (the closest one wins)."""
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
        yield emulator


@pytest.fixture
def varnel_unit(varnel_emulator):
    """The first unit of ``varnel_emulator``."""
    return varnel_emulator.units[0]
