"""varnel-emu as a child process with its units, driven through the control API."""

import collections
import json
import os
import re
import shutil
import signal
import subprocess
import threading
import time

from . import _verify
from ._control import ControlClient
from ._lifetime import PrivateFolder
from ._metrics import unit_metrics
from .errors import EmulatorError, VerificationError, WaitTimeout

ENDPOINT_KINDS = ("pty", "tcp", "rfc2217")
# The states GET /units reports for a line that is ready for the PC program.
READY_LINES = ("open", "listening")
# The longest wait one long poll may ask for.
MAX_POLL_MS = 60000

_CONTROL_LINE = re.compile(r"(?:^|\s)CONTROL (http://\S+)\s*$")
_OUTPUT_LINES = 200
_LINE_BYTES = 4096
# What a start failure's message shows of the output.
_BRIEF_LINES = 5
_BRIEF_WIDTH = 300



def _bounded(body, after, before):
    """A verify body with the seq bounds that were given."""
    for key, value in (("after", after), ("before", before)):
        if value is not None:
            body[key] = value
    return body

class Faults:
    """The fault rules of one unit (``unit.faults``)."""

    def __init__(self, unit):
        self._unit = unit

    def add(self, rule):
        """Adds ``rule`` (``"get-time:drop@1"``) after the unit's others and returns its fault
        object: ``{"id": 3, "rule": ..., "fired": 0, "state": ...}``. A rule the unit refuses
        raises :class:`varnel.Refused` with the unit's message."""
        return self._unit._call("POST", "faults", {"rule": rule})

    def remove(self, fault):
        """Removes one rule, given by its id or by the object :meth:`add` returned."""
        fault_id = fault["id"] if isinstance(fault, dict) else fault
        if isinstance(fault_id, bool) or not isinstance(fault_id, int):
            raise TypeError("a fault id is a whole number, not %r" % (fault_id,))
        self._unit._call("DELETE", "faults/%d" % fault_id)

    def clear(self):
        """Removes every rule of the unit and starts their counters again."""
        self._unit._call("DELETE", "faults")

    def list(self):
        """The unit's rules in order, each ``{"id", "rule", "fired", "state"}``."""
        return self._unit._call("GET", "faults")

    def __iter__(self):
        return iter(self.list())

    def __len__(self):
        return len(self.list())


class Unit:
    """One emulated unit of an :class:`Emulator`.

    ``port`` is what the PC program opens: the path of its end of a virtual serial pair, or
    ``tcp:127.0.0.1:PORT`` / ``rfc2217:127.0.0.1:PORT`` as varnel-pc takes them. ``url`` is the
    same place as a pyserial URL (``serial.serial_for_url(unit.url)``). ``id`` is the unit's
    number from 1, ``kind`` one of ``"pty"``, ``"tcp"``, ``"rfc2217"``.
    """

    def __init__(self, emulator, unit_id, kind, port, url, endpoint):
        self._emulator = emulator
        self.id = unit_id
        self.kind = kind
        self.port = port
        self.url = url
        self.endpoint = endpoint
        self.faults = Faults(self)
        # (type, cmd) -> the seq of the last event wait_for returned for them.
        self._waited = {}

    def __repr__(self):
        return "<varnel.Unit %d %s port=%r>" % (self.id, self.kind, self.port)

    def _call(self, method, route, body=None, **kwargs):
        return self._emulator._client().request(method, "/units/%d/%s" % (self.id, route), body, **kwargs)

    def info(self):
        """This unit's entry of ``GET /units``: endpoint, line, connected, records, upload."""
        for entry in self._emulator._client().request("GET", "/units"):
            if entry.get("id") == self.id:
                return entry
        raise EmulatorError("GET /units does not list unit %d" % self.id)

    def scenario(self, scenario):
        """Loads a scenario, a dict or the path of a scenario file, all or nothing. A refused one
        raises :class:`varnel.Refused` with the unit's message and the scenario before stays.
        A relative ``records.csv`` is taken from the file's folder (from the current folder for a
        dict), as the command line does."""
        if isinstance(scenario, dict):
            body = _absolute_csv(scenario, os.getcwd())
        else:
            path = os.fspath(scenario)
            with open(path, "rb") as handle:
                body = handle.read()
            try:
                parsed = json.loads(body.decode("utf-8"))
            except ValueError:
                parsed = None  # sent as it is, so the unit names what is wrong
            if isinstance(parsed, dict):
                folder = os.path.dirname(os.path.abspath(path))
                fixed = _absolute_csv(parsed, folder)
                if fixed is not parsed:
                    body = fixed
        return self._call("POST", "scenario", body)

    def records(self, count):
        """Records per upload from now on (0 to 99999999)."""
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError("a record count is a whole number, not %r" % (count,))
        return self._call("PUT", "records", {"count": count})

    def stop(self):
        """Ends a running upload at the next record, as ``stop`` on standard input does."""
        return self._call("POST", "stop")

    def reset(self):
        """Clears the fault rules and their counters, the recorded state and the journal; the
        scenario stays."""
        return self._call("POST", "reset")

    def state(self):
        """What the PC program set and asked, as the ``state`` command prints it (a dict)."""
        return self._call("GET", "state")

    def journal(self, type=None, cmd=None, after=None, limit=None):
        """The journal's events with ``seq`` above ``after`` (default: all it keeps), oldest
        first, optionally only those of ``type`` (``"reply"``, ``"fault"``, ...) and ``cmd`` (a
        command name such as ``"get-time"`` or its code). Without ``limit`` every page is read."""
        events = []
        position = 0 if after is None else after
        while True:
            want = None if limit is None else limit - len(events)
            if want is not None and want <= 0:
                return events
            page = self._call("GET", "journal", query={
                "after": position, "type": type, "cmd": cmd, "limit": want})
            batch = page.get("events", [])
            if not batch:
                return events
            events.extend(batch)
            if page.get("next", position) <= position:
                return events
            position = page["next"]

    def verify(self, command, count=1, type=None, hex=None, after=None, before=None, fields=None, **more_fields):
        """Checks that the journal holds ``count`` requests of ``command`` (a name such as
        ``"set-device-name"`` or a code) with the given fields, and returns the API's answer
        (``{"ok": True, "matched": N, "seqs": [...]}``); raises :class:`varnel.VerificationError`
        with the nearest events, field by field, when it does not::

            unit.verify("set-device-name", 设备名称="扳手01")

        A field is named by its label as the journal prints it (``第0个扳手.名称`` for a list
        entry's), or a record's CSV column; its value is the decoded value, ``{"hex": "..."}``
        or ``{"from": A, "to": B}`` for a number. ``fields`` takes names that are no Python
        identifiers. ``count`` is N, ``(min, max)`` (None for no bound) or None for at least one;
        ``type`` is ``"reply"`` or ``"record"`` for the frames the unit sent; ``hex`` the whole
        frame's or the content's bytes; ``after`` and ``before`` bound the seqs looked at."""
        __tracebackhide__ = True  # a failure shows the test's line, not this one
        body = _verify.pattern(command, type, hex, dict(fields or {}, **more_fields))
        count = _verify.count_json(count)
        if count is not None:
            body["count"] = count
        answer = self._call("POST", "verify", _bounded(body, after, before))
        if not answer.get("ok"):
            raise VerificationError(_verify.count_failure(body, answer), answer)
        return answer

    def verify_sequence(self, patterns, strict=False, after=None, before=None):
        """Checks that the patterns occur in this order (with other frames between them unless
        ``strict``) and returns the API's answer with their ``seqs``; raises
        :class:`varnel.VerificationError` naming the first that could not be placed, the events
        placed before it and its nearest events. Each pattern is a command, ``(command, fields)``
        or a dict of ``command``, ``fields``, ``hex`` and ``type`` as :meth:`verify` takes them::

            unit.verify_sequence(["get-time", ("set-device-name", {"设备名称": "扳手01"})])"""
        __tracebackhide__ = True
        body = {"sequence": [_verify.sequence_item(item) for item in patterns], "strict": bool(strict)}
        answer = self._call("POST", "verify", _bounded(body, after, before))
        if not answer.get("ok"):
            raise VerificationError(_verify.sequence_failure(body, answer), answer)
        return answer

    def wait_for(self, type, cmd=None, timeout=5.0, after=None):
        """Returns the first event of ``type`` (and ``cmd``) with ``seq`` above ``after``, one
        already in the journal included, waiting up to ``timeout`` seconds through the API's long
        poll; raises :class:`varnel.WaitTimeout` (a :class:`TimeoutError` and an
        :class:`AssertionError`) naming what was awaited, with the nearest frames for a request,
        reply or record, when none comes. Without ``after`` a wait goes on after the event the
        last wait for the same ``type`` and ``cmd`` returned, so two waits for ``"fault"`` return
        two faults."""
        __tracebackhide__ = True
        key = (type, cmd)
        if after is None:
            after = self._waited.get(key, 0)
        deadline = time.monotonic() + timeout
        position = after
        while True:
            remaining = deadline - time.monotonic()
            wait_ms = max(0, min(MAX_POLL_MS, int(remaining * 1000)))
            page = self._call("GET", "journal", query={
                "after": position, "type": type, "cmd": cmd, "limit": 1, "wait": wait_ms},
                timeout=wait_ms / 1000.0 + 15.0)
            batch = page.get("events", [])
            if batch:
                self._waited[key] = batch[0]["seq"]
                return batch[0]
            position = page.get("next", position)
            if time.monotonic() >= deadline:
                what = "%r event" % (type,) + ("" if cmd is None else " for cmd %r" % (cmd,))
                message = "unit %d: no %s after seq %d within %g s" % (self.id, what, after, timeout)
                answer = None
                if type in _verify.FRAME_TYPES:
                    body = _verify.pattern(cmd, type)
                    body["after"] = after
                    answer = self._call("POST", "verify", body)
                    message += "." + _verify.nearest(answer.get("near", []), body)
                raise WaitTimeout(message, answer)

    def metrics(self):
        """This unit's samples from ``GET /metrics`` as a dict keyed by the sample name and its
        other labels sorted by name, the ``unit`` label left out, e.g.
        ``{'varnel_frames_received_total{command="get-time"}': 2.0, 'varnel_faults_fired_total': 1.0}``.
        :meth:`Emulator.metrics_text` gives the whole exposition."""
        return unit_metrics(self._emulator.metrics_text(), self.id)


class Emulator:
    """Runs varnel-emu with one unit per entry of ``endpoints`` and its control API on a free
    loopback port; use it as a context manager::

        with varnel.Emulator(faults=["get-time:drop@1"]) as emu:
            subprocess.run(["varnel-pc", "send", emu.units[0].port, "get-time"])

    ``endpoints``: ``"pty"`` (a virtual serial pair made with socat; ``unit.port`` is the PC
    program's end), ``"tcp"`` or ``"rfc2217"`` (a listener on a free loopback port).
    ``scenario``: a dict or the path of a scenario file. ``faults``: fault rules for every unit.
    ``records``: records per upload (None: varnel-emu's 10000, 100 s at its pace). ``binary``:
    varnel-emu's path, else ``$VARNEL_EMU``, else ``varnel-emu`` on PATH. ``extra_args`` go on its
    command line before the endpoints. ``capture=True`` records every unit's frames as pcap in the
    private folder (:meth:`save_artifacts` keeps them).

    Entering returns once every unit's line is open or listening; nothing is sent on a line.
    Leaving (also on an exception, or after the process died) stops varnel-emu (SIGTERM, then
    SIGKILL) and socat and removes the private folder with every link and file it held. Should this
    process die first (a signal, ``os._exit``), the children get SIGTERM from the kernel, and the
    next emulator started removes the folder it left.
    """

    def __init__(self, endpoints=("pty",), scenario=None, faults=(), records=None, binary=None,
                 extra_args=(), start_timeout=20.0, stop_timeout=5.0, capture=False):
        if isinstance(endpoints, str):
            endpoints = (endpoints,)
        self.endpoints = tuple(endpoints)
        if not self.endpoints:
            raise ValueError("an emulator needs at least one endpoint")
        for kind in self.endpoints:
            if kind not in ENDPOINT_KINDS:
                raise ValueError("unknown endpoint %r: one of %s" % (kind, ", ".join(ENDPOINT_KINDS)))
        if isinstance(faults, str):
            faults = (faults,)
        self.faults = tuple(faults)
        if records is not None and (isinstance(records, bool) or not isinstance(records, int)):
            raise TypeError("records is a whole number, not %r" % (records,))
        self.scenario = scenario
        self.records = records
        self.binary = binary
        self.extra_args = tuple(str(a) for a in extra_args)
        self.start_timeout = start_timeout
        self.stop_timeout = stop_timeout
        self.capture = bool(capture)
        self.units = []
        self.control_url = None
        self.process = None
        self.returncode = None
        self.temp_dir = None
        self._folder = None
        self._socats = []
        self._socat_logs = []
        self._pty_ends = {}
        self._stdout = collections.deque(maxlen=_OUTPUT_LINES)
        self._stderr = collections.deque(maxlen=_OUTPUT_LINES)
        self._output_lock = threading.Lock()
        self._control_found = threading.Event()
        self._readers = []
        self._control = None

    # -- life cycle ------------------------------------------------------------------------
    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def start(self):
        """Starts socat and varnel-emu and waits until every unit is ready (see the class)."""
        if self.process is not None:
            raise EmulatorError("this emulator was started already")
        binary = find_binary(self.binary)
        try:
            self._folder = PrivateFolder()
            self.temp_dir = self._folder.path
            unit_args = [self._make_endpoint(i, kind) for i, kind in enumerate(self.endpoints, 1)]
            args = [binary, "--control", "127.0.0.1:0"]
            if self.records is not None:
                args += ["--records", str(self.records)]
            if self.scenario is not None:
                args += ["--scenario", self._scenario_file(self.scenario)]
            for rule in self.faults:
                args += ["--fault", rule]
            if self.capture:
                # A file for one unit, a folder of unitN.pcap for more.
                args += ["--capture", os.path.join(self.temp_dir, "capture.pcap" if len(self.endpoints) == 1
                                                   else "capture")]
            args += list(self.extra_args) + unit_args
            self._launch(args)
            self._wait_ready()
        except BaseException:
            self.close()
            raise
        return self

    def close(self):
        """Stops varnel-emu and socat and removes the private folder; safe to call twice."""
        self._control = None
        try:
            if self.process is not None:
                self.returncode = _end(self.process, self.stop_timeout)
                for stream in (self.process.stdout, self.process.stderr):
                    try:
                        stream.close()
                    except (OSError, ValueError):
                        pass
            for reader in self._readers:
                reader.join(timeout=2.0)
        finally:
            for socat in self._socats:
                _end(socat, 2.0)
            for log in self._socat_logs:
                log.close()
            if self._folder is not None:
                self._folder.remove()
                self._folder = None
                self.temp_dir = None

    @property
    def alive(self):
        """True while the varnel-emu process runs."""
        return self.process is not None and self.process.poll() is None

    def output(self):
        """The last lines varnel-emu wrote: standard error, then standard output."""
        with self._output_lock:
            err = list(self._stderr)
            out = list(self._stdout)
        parts = []
        if err:
            parts.append("standard error:\n" + "\n".join(err))
        if out:
            parts.append("standard output (last lines):\n" + "\n".join(out[-20:]))
        return "\n".join(parts)

    def _brief(self):
        """The first lines of standard error that say something, up to a usage text (or the last
        lines of standard output when it is silent), each cut to a readable length."""
        with self._output_lock:
            err = [line.strip() for line in self._stderr if line.strip()]
            out = [line.strip() for line in self._stdout if line.strip()]
        for number, line in enumerate(err):
            if line.lower().startswith("usage:"):
                err = err[:number]
                break
        shown = err[:_BRIEF_LINES] if err else out[-_BRIEF_LINES:]
        shown = [line if len(line) <= _BRIEF_WIDTH else line[:_BRIEF_WIDTH] + "..." for line in shown]
        if len(shown) < len(err) + len(out):
            shown.append("(more in the error's output)")
        return "\n".join(shown)

    def metrics_text(self):
        """The whole Prometheus text of ``GET /metrics``, every unit's samples."""
        return self._client().request("GET", "/metrics", raw=True)

    def save_artifacts(self, folder):
        """Writes what the units saw into ``folder`` (made if missing) while the emulator runs:
        each unit's journal as JSON Lines (``unitN-journal.jsonl``), its state (``unitN-state.json``)
        and, with ``capture=True``, its frames (``unitN.pcap``), and the emulator's log file
        (``varnel-emu.log``). Returns ``{name: path}``; what could not be had is left out."""
        os.makedirs(folder, exist_ok=True)
        saved = {}
        for unit in self.units:
            journal = os.path.join(folder, "unit%d-journal.jsonl" % unit.id)
            with open(journal, "w", encoding="utf-8") as handle:
                for event in unit.journal():
                    handle.write(json.dumps(event, ensure_ascii=False) + "\n")
            saved["unit%d-journal" % unit.id] = journal
            state = os.path.join(folder, "unit%d-state.json" % unit.id)
            with open(state, "w", encoding="utf-8") as handle:
                json.dump(unit.state(), handle, ensure_ascii=False, indent=2)
            saved["unit%d-state" % unit.id] = state
            if self.capture:
                source = os.path.join(self.temp_dir, "capture.pcap" if len(self.endpoints) == 1
                                      else os.path.join("capture", "unit%d.pcap" % unit.id))
                if os.path.isfile(source):
                    target = os.path.join(folder, "unit%d.pcap" % unit.id)
                    shutil.copyfile(source, target)
                    saved["unit%d-capture" % unit.id] = target
        logs = sorted(name for name in os.listdir(self.temp_dir) if name.startswith("varnelTest")
                      and name.endswith(".log")) if self.temp_dir else []
        log = os.path.join(folder, "varnel-emu.log")
        with open(log, "wb") as out:
            for name in logs:
                with open(os.path.join(self.temp_dir, name), "rb") as handle:
                    shutil.copyfileobj(handle, out)
            if not logs:
                out.write(self.output().encode("utf-8"))
        saved["log"] = log
        return saved

    def units_info(self):
        """``GET /units`` as it is: one dict per unit."""
        return self._client().request("GET", "/units")

    # -- inside ----------------------------------------------------------------------------
    def _client(self):
        if self._control is None:
            raise EmulatorError("the emulator is not running (use it as a context manager)")
        return self._control

    def _make_endpoint(self, number, kind):
        if kind == "tcp":
            return "tcp:127.0.0.1:0"
        if kind == "rfc2217":
            return "rfc2217:127.0.0.1:0"
        socat = shutil.which("socat")
        if socat is None:
            raise EmulatorError("socat is not on PATH; a \"pty\" endpoint needs it (apt-get install socat)")
        unit_end = os.path.join(self.temp_dir, "unit%d" % number)
        pc_end = os.path.join(self.temp_dir, "pc%d" % number)
        log_path = os.path.join(self.temp_dir, "socat%d.log" % number)
        log = open(log_path, "wb")
        self._socat_logs.append(log)
        process = self._folder.spawn(
            [socat, "-d", "-d", "pty,raw,echo=0,link=" + unit_end, "pty,raw,echo=0,link=" + pc_end],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        self._socats.append(process)
        deadline = time.monotonic() + self.start_timeout
        while not (os.path.exists(unit_end) and os.path.exists(pc_end)):
            if process.poll() is not None:
                raise EmulatorError("socat ended with status %s before making its pair" % process.returncode,
                                    _read_text(log_path))
            if time.monotonic() > deadline:
                raise EmulatorError("socat made no pair within %g s" % self.start_timeout, _read_text(log_path))
            time.sleep(0.01)
        self._pty_ends[number] = (unit_end, pc_end)
        return unit_end

    def _scenario_file(self, scenario):
        if isinstance(scenario, dict):
            path = os.path.join(self.temp_dir, "scenario.json")
            with open(path, "w", encoding="utf-8") as handle:
                json.dump(_absolute_csv(scenario, os.getcwd()), handle, ensure_ascii=False)
            return path
        path = os.path.abspath(os.fspath(scenario))
        if not os.path.isfile(path):
            raise FileNotFoundError("scenario file %s: no such file" % path)
        return path

    def _launch(self, args):
        env = dict(os.environ)
        env.setdefault("LC_ALL", "C.UTF-8")
        try:
            # Its own folder: the daily log file lands there, not in the caller's.
            self.process = self._folder.spawn(args, cwd=self.temp_dir, env=env, stdin=subprocess.DEVNULL,
                                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                              start_new_session=True)
        except OSError as error:
            raise EmulatorError("cannot run %s: %s" % (args[0], error)) from error
        self._readers = [threading.Thread(target=self._drain, args=(self.process.stdout, self._stdout, True),
                                          daemon=True),
                         threading.Thread(target=self._drain, args=(self.process.stderr, self._stderr, False),
                                          daemon=True)]
        for reader in self._readers:
            reader.start()
        deadline = time.monotonic() + self.start_timeout
        while not self._control_found.wait(0.02):
            if self.process.poll() is not None:
                # The readers may still hold its last words.
                for reader in self._readers:
                    reader.join(timeout=2.0)
                if self._control_found.is_set():
                    break
                raise EmulatorError("varnel-emu %s before it served its control API (command: %s)"
                                    % (_how_ended(self.process.returncode), " ".join(args)),
                                    self.output(), self._brief())
            if time.monotonic() > deadline:
                raise EmulatorError("varnel-emu logged no CONTROL line within %g s (command: %s)"
                                    % (self.start_timeout, " ".join(args)), self.output(), self._brief())
        self._control = ControlClient(self.control_url, on_unreachable=self._unreachable)

    def _drain(self, stream, lines, watch_control):
        # Keeps reading so a full pipe never blocks the emulator.
        try:
            # A line is kept to 4096 bytes, so output without line ends cannot fill the memory.
            for raw in iter(lambda: stream.readline(_LINE_BYTES), b""):
                line = raw.rstrip(b"\r\n").decode("utf-8", errors="replace")
                with self._output_lock:
                    lines.append(line)
                if watch_control and not self._control_found.is_set():
                    match = _CONTROL_LINE.search(line)
                    if match:
                        self.control_url = match.group(1).rstrip("/")
                        self._control_found.set()
        except (OSError, ValueError):
            pass

    def _wait_ready(self):
        deadline = time.monotonic() + self.start_timeout
        while True:
            listed = self._control.request("GET", "/units")
            if len(listed) != len(self.endpoints):
                raise EmulatorError("GET /units lists %d units; %d were started: %s"
                                    % (len(listed), len(self.endpoints), json.dumps(listed)), self.output())
            if all(entry.get("line") in READY_LINES for entry in listed):
                break
            if time.monotonic() > deadline:
                raise EmulatorError("the units were not all open or listening within %g s: %s"
                                    % (self.start_timeout, json.dumps(listed)), self.output())
            time.sleep(0.02)
        self.units = [self._unit(entry, kind) for entry, kind in zip(listed, self.endpoints)]

    def _unit(self, entry, kind):
        unit_id = entry["id"]
        endpoint = entry.get("endpoint", "")
        if kind == "pty":
            pc_end = self._pty_ends[unit_id][1]
            return Unit(self, unit_id, kind, pc_end, pc_end, endpoint)
        prefix = kind + ":"
        host, _, port = endpoint[len(prefix):].rpartition(":") if endpoint.startswith(prefix) else ("", "", "")
        if not port.isdigit() or int(port) == 0:
            raise EmulatorError("unit %d: GET /units gives endpoint %r, not %s127.0.0.1:PORT with the bound port"
                                % (unit_id, endpoint, prefix), self.output())
        scheme = "socket" if kind == "tcp" else "rfc2217"
        return Unit(self, unit_id, kind, "%s%s:%s" % (prefix, host, port), "%s://%s:%s" % (scheme, host, port),
                    endpoint)

    def _unreachable(self, method, path, error):
        process = self.process
        if process is None:
            return
        try:
            # A process that was just killed may take a moment to be reaped.
            process.wait(timeout=0.5)
        except subprocess.TimeoutExpired:
            return
        raise EmulatorError("%s %s: varnel-emu (pid %d) is no longer running: it %s"
                            % (method, path, process.pid, _how_ended(process.returncode)), self.output())


def find_binary(binary=None):
    """varnel-emu's path: ``binary``, else ``$VARNEL_EMU``, else ``varnel-emu`` on PATH; raises
    :class:`varnel.EmulatorError` naming what was tried when none is there."""
    tried = []
    if binary:
        candidates = [("the binary argument", os.fspath(binary))]
    elif os.environ.get("VARNEL_EMU"):
        candidates = [("$VARNEL_EMU", os.environ["VARNEL_EMU"])]
    else:
        candidates = [("PATH", "varnel-emu")]
    for source, name in candidates:
        if os.sep in name:
            if os.path.isfile(name) and os.access(name, os.X_OK):
                return os.path.abspath(name)
            tried.append("%s %s (%s)" % (source, name, "not executable" if os.path.exists(name) else "no such file"))
        else:
            found = shutil.which(name)
            if found:
                return found
            tried.append("%s %r (not found on PATH=%s)" % (source, name, os.environ.get("PATH", "")))
    raise EmulatorError("varnel-emu not found: tried %s; pass binary=, set $VARNEL_EMU or --varnel-emu, "
                        "or put varnel-emu on PATH" % "; ".join(tried))


def _absolute_csv(scenario, folder):
    """``scenario`` with a relative records.csv made absolute from ``folder`` (a copy), or
    ``scenario`` itself when there is nothing to change."""
    records = scenario.get("records")
    if not isinstance(records, dict):
        return scenario
    csv = records.get("csv")
    if not isinstance(csv, str) or not csv or os.path.isabs(csv):
        return scenario
    fixed = dict(scenario)
    fixed["records"] = dict(records, csv=os.path.join(folder, csv))
    return fixed


def _how_ended(returncode):
    if returncode is None:
        return "is running"
    if returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = "signal %d" % -returncode
        return "was killed by %s" % name
    return "exited with status %d" % returncode


def _end(process, bound):
    """SIGTERM, then SIGKILL after ``bound`` seconds; returns the exit status."""
    if process.poll() is None:
        try:
            process.terminate()
            return process.wait(timeout=bound)
        except subprocess.TimeoutExpired:
            process.kill()
        except ProcessLookupError:
            pass
    return process.wait()


def _read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read()[-4000:].decode("utf-8", errors="replace")
    except OSError:
        return ""
