"""Independent PC-side peer for end-to-end tests of varnel-emu.

Builds request frames and checks reply frames on its own (own CRC via crcmod,
own parser), runs a socat pty pair and the emulator, and cleans both up.
"""

import datetime
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import crcmod.predefined
import serial

HEADER = b"\x5a\xa5"
ADDRESS = 0x1234
MAX_CONTENT = 10240

# Generous limits that only guard against hangs.
START_TIMEOUT = 20.0
REPLY_TIMEOUT = 10.0
EXIT_TIMEOUT = 15.0

_modbus = crcmod.predefined.mkCrcFun("modbus")


def crc16(data):
    """CRC-16/MODBUS as the standard value (0x4B37 for b'123456789')."""
    return _modbus(bytes(data))


def crc_wire(data):
    """The two checksum bytes as they go on the wire: low byte first."""
    value = crc16(data)
    return bytes([value & 0xFF, value >> 8])


def build_frame(command, content=b"", address=ADDRESS):
    body = (HEADER + address.to_bytes(2, "big") + bytes([command])
            + len(content).to_bytes(2, "big") + bytes(content))
    return body + crc_wire(body)


class Frame:
    def __init__(self, address, command, content, raw):
        self.address = address
        self.command = command
        self.content = content
        self.raw = raw

    def __repr__(self):
        return "Frame(cmd=0x%02X, len=%d, raw=%s)" % (self.command, len(self.content), self.raw.hex())


class ProtocolError(AssertionError):
    """The emulator put bytes on the line that are not a valid frame."""


class FrameParser:
    """Incremental reply parser. The emulator must only ever send whole valid
    frames, so anything else is reported, never skipped."""

    def __init__(self):
        self.buffer = bytearray()

    def feed(self, data):
        self.buffer += data
        frames = []
        while True:
            if len(self.buffer) >= 1 and self.buffer[0] != 0x5A:
                raise ProtocolError("stray byte before header: %s" % bytes(self.buffer[:16]).hex())
            if len(self.buffer) >= 2 and self.buffer[1] != 0xA5:
                raise ProtocolError("bad second header byte: %s" % bytes(self.buffer[:16]).hex())
            if len(self.buffer) < 7:
                break
            length = int.from_bytes(self.buffer[5:7], "big")
            if length > MAX_CONTENT:
                raise ProtocolError("length %d too large: %s" % (length, bytes(self.buffer[:16]).hex()))
            total = length + 9
            if len(self.buffer) < total:
                break
            raw = bytes(self.buffer[:total])
            if raw[-2:] != crc_wire(raw[:-2]):
                raise ProtocolError("checksum mismatch, expected %s: %s" % (crc_wire(raw[:-2]).hex(), raw.hex()))
            del self.buffer[:total]
            frames.append(Frame(int.from_bytes(raw[2:4], "big"), raw[4], raw[7:-2], raw))
        return frames


def bin_dir():
    configured = os.environ.get("VARNEL_BIN_DIR")
    if configured:
        return configured
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin"))


def executable(name):
    path = os.path.join(bin_dir(), name)
    if not os.access(path, os.X_OK):
        raise RuntimeError("%s not found: build it and set VARNEL_BIN_DIR (now %s)" % (name, bin_dir()))
    return path


SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def man_sections(name, heading=".SH"):
    """A man page of package/man by its sections ({title: text}), split at `heading`
    (.SH, or .SS within a section's text), with \\- written as -."""
    with open(os.path.join(SOURCE_DIR, "package", "man", name), encoding="utf-8") as f:
        return sections_of(f.read().replace("\\-", "-"), heading)


def sections_of(text, heading):
    parts = re.split(r"^%s (.*)$" % re.escape(heading), text, flags=re.M)
    return {title.strip('"'): body for title, body in zip(parts[1::2], parts[2::2])}


def bold_terms(text):
    """Every \\fB...\\fR and .B term of a man page text, without the font escapes."""
    terms = re.findall(r"\\fB(.*?)\\f[RIP]", text) + re.findall(r"^\.B (\S+)", text, flags=re.M)
    return {re.sub(r"\\f[BIRP]", "", t) for t in terms}


def tag_lines(text):
    """The tag of each .TP entry of a man page text, without the font escapes."""
    tags = re.findall(r"^\.TP\n(.*)$", text, flags=re.M)
    return [re.sub(r"\\f[BIRP]|^\.B ", "", t) for t in tags]


# Under AddressSanitizer (make test-sanitize sets ASAN_OPTIONS) memory is shadowed and freed
# blocks are held in quarantine, and everything runs a few times slower: bounds of speed and
# memory widen by these.
SANITIZED = "ASAN_OPTIONS" in os.environ
SANITIZER_SLOWDOWN = 4 if SANITIZED else 1
SANITIZER_RSS_KIB = 512 * 1024 if SANITIZED else 0

SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")

PANE_LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] (.*)$", re.S)


def pane_message(line):
    match = PANE_LINE.match(line)
    if not match:
        raise AssertionError("not a pane line: %r" % line)
    return match.group(2)


def _stop(process, sig=signal.SIGKILL):
    if process is not None and process.poll() is None:
        try:
            process.send_signal(sig)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class PtyPair:
    """Two linked pseudo terminals: DIR/emu for the emulator, DIR/peer for us."""

    def __init__(self, directory):
        self.emu_path = os.path.join(directory, "emu")
        self.peer_path = os.path.join(directory, "peer")
        for stale in (self.emu_path, self.peer_path):
            if os.path.lexists(stale):
                os.unlink(stale)
        socat = shutil.which("socat")
        if socat is None:
            raise RuntimeError("socat not installed")
        self._log = open(os.path.join(directory, "socat.log"), "wb")
        self.process = subprocess.Popen(
            [socat, "-d", "-d",
             "pty,raw,echo=0,link=%s" % self.emu_path,
             "pty,raw,echo=0,link=%s" % self.peer_path],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        deadline = time.monotonic() + START_TIMEOUT
        while not (os.path.exists(self.emu_path) and os.path.exists(self.peer_path)):
            if self.process.poll() is not None:
                raise RuntimeError("socat ended with %s" % self.process.returncode)
            if time.monotonic() > deadline:
                raise RuntimeError("socat links did not appear")
            time.sleep(0.02)

    def kill(self):
        _stop(self.process, signal.SIGTERM)
        self._log.close()


class Emulator:
    """varnel-emu as a child process; stdout lines are collected by a thread."""

    def __init__(self, args, cwd, env=None):
        self.args = [executable("varnel-emu")] + list(args)
        full_env = dict(os.environ)
        full_env.setdefault("LC_ALL", "C.UTF-8")
        if env:
            full_env.update(env)
        self.process = subprocess.Popen(self.args, cwd=cwd, env=full_env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._lines = []
        self._stderr = bytearray()
        self._cond = threading.Condition()
        self._out_thread = threading.Thread(target=self._read_stdout, daemon=True)
        self._err_thread = threading.Thread(target=self._read_stderr, daemon=True)
        self._out_thread.start()
        self._err_thread.start()

    def _read_stdout(self):
        for raw in self.process.stdout:
            line = raw.rstrip(b"\n").decode("utf-8", errors="replace")
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def _read_stderr(self):
        for chunk in iter(lambda: self.process.stderr.read1(4096), b""):
            self._stderr += chunk

    # -- output -----------------------------------------------------------
    def lines(self):
        with self._cond:
            return list(self._lines)

    def messages(self, start=0):
        """Pane messages from `start`, once the output has settled (see mark)."""
        self.mark()
        return [pane_message(line) for line in self.lines()[start:]]

    def mark(self, quiet=0.05, limit=2.0):
        """Index of the next line, taken once the output has been quiet for `quiet`
        seconds: the lines of an exchange that already ended may still be on their way
        through the pipe after its reply has arrived on the line."""
        deadline = time.monotonic() + limit
        with self._cond:
            count = len(self._lines)
            while time.monotonic() < deadline:
                self._cond.wait(quiet)
                if len(self._lines) == count:
                    break
                count = len(self._lines)
            return len(self._lines)

    def stderr_snapshot(self):
        return bytes(self._stderr).decode("utf-8", errors="replace")

    def stderr_text(self):
        """All of standard error; waits for the process to close it."""
        self._err_thread.join(timeout=EXIT_TIMEOUT)
        return bytes(self._stderr).decode("utf-8", errors="replace")

    def wait_for(self, expected, start=0, timeout=REPLY_TIMEOUT):
        """Index of the first pane line from `start` whose message equals
        `expected` (a str) or satisfies it (a callable)."""
        test = expected if callable(expected) else (lambda message: message == expected)
        deadline = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self._lines):
                    if test(pane_message(self._lines[index])):
                        return index
                    index += 1
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.process.poll() is not None and not self._out_thread.is_alive()):
                    tail = "\n".join(self._lines[-30:])
                    raise AssertionError("no log line %r within %.0f s; last lines:\n%s"
                                         % (expected, timeout, tail))
                self._cond.wait(min(remaining, 0.2))

    def wait_ready(self):
        self.wait_for(lambda m: m.endswith("打开串口成功"), timeout=START_TIMEOUT)

    # -- control ----------------------------------------------------------
    def command(self, text):
        self.process.stdin.write((text + "\n").encode("utf-8"))
        self.process.stdin.flush()

    def close_stdin(self):
        self.process.stdin.close()

    def signal(self, sig):
        self.process.send_signal(sig)

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        code = self.process.wait(timeout=timeout)
        self._out_thread.join(timeout=timeout)
        return code

    def running(self):
        return self.process.poll() is None

    def cleanup(self):
        """Ends the process if it still runs (SIGTERM, as an operator would) and
        raises if that was not orderly or a sanitizer reported anything."""
        problems = []
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except (OSError, ValueError):
                pass
            self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=EXIT_TIMEOUT)
                if code != 0:
                    problems.append("exit code %s after SIGTERM" % code)
            except subprocess.TimeoutExpired:
                problems.append("no exit within %.0f s of SIGTERM" % EXIT_TIMEOUT)
                _stop(self.process)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except (OSError, ValueError):
                pass
        self._out_thread.join(timeout=EXIT_TIMEOUT)
        self._err_thread.join(timeout=EXIT_TIMEOUT)
        errors = self.stderr_snapshot()
        if any(marker in errors for marker in SANITIZER_MARKERS):
            problems.append("sanitizer report")
        if problems:
            raise AssertionError("varnel-emu: %s\n%s" % ("; ".join(problems), errors[-4000:]))


class Peer:
    """The PC side of the line: writes requests, parses replies."""

    def __init__(self, path, baudrate=115200):
        # A URL (socket://HOST:PORT, rfc2217://HOST:PORT) reaches a network unit.
        if "://" in path:
            self.port = serial.serial_for_url(path, baudrate=baudrate, timeout=0.02)
        else:
            # A write that cannot finish (socat stuck relaying the other way) fails the test
            # with a stack instead of holding it until the suite's time-out.
            self.port = serial.Serial(path, baudrate=baudrate, timeout=0.02, write_timeout=REPLY_TIMEOUT)
        self.parser = FrameParser()
        self.pending = []

    def close(self):
        if self.port is not None:
            self.port.close()
            self.port = None

    def write(self, data):
        self.port.write(bytes(data))
        self.port.flush()

    def write_slowly(self, data, pause=0.003):
        for byte in bytes(data):
            self.write(bytes([byte]))
            time.sleep(pause)

    def write_within(self, data, seconds):
        """Writes as much of `data` as the line takes within `seconds`, reading nothing; returns
        the byte count. A blocking write could wait for good: socat, relaying between the two
        ptys, blocks writing replies our way while we write, and then takes nothing more."""
        data = bytes(data)
        written = 0
        deadline = time.monotonic() + seconds
        while written < len(data) and time.monotonic() < deadline:
            try:
                written += os.write(self.port.fileno(), data[written:])
            except BlockingIOError:
                time.sleep(0.0005)
        return written

    def flood(self, data, seconds):
        """Writes `data` over and over as fast as the line takes it for `seconds`, reading
        nothing; returns how many copies went out."""
        copies = 0
        chunk = bytes(data) * 16
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                copies += os.write(self.port.fileno(), chunk) // len(data)
            except BlockingIOError:
                time.sleep(0.0005)
        return copies

    def drain(self, quiet=0.5):
        """Reads and drops whatever arrives until the line is quiet; returns the byte count."""
        total = 0
        last = time.monotonic()
        while time.monotonic() - last < quiet:
            self.port.timeout = 0.02
            data = self.port.read(max(1, self.port.in_waiting))
            if data:
                total += len(data)
                last = time.monotonic()
        self.parser = FrameParser()
        self.pending = []
        return total

    def _pump(self, wait):
        self.port.timeout = wait
        data = self.port.read(max(1, self.port.in_waiting))
        if data:
            self.pending.extend(self.parser.feed(data))
        return data

    def read_frames(self, count, timeout=REPLY_TIMEOUT):
        deadline = time.monotonic() + timeout
        while len(self.pending) < count:
            if time.monotonic() > deadline:
                raise AssertionError("expected %d frames, got %d: %r" % (count, len(self.pending), self.pending))
            self._pump(0.05)
        frames, self.pending = self.pending[:count], self.pending[count:]
        return frames

    def read_frame(self, timeout=REPLY_TIMEOUT):
        return self.read_frames(1, timeout)[0]

    def poll_frames(self, wait=0.05):
        """Whatever frames arrive within `wait` seconds (maybe none)."""
        self._pump(wait)
        frames, self.pending = self.pending, []
        return frames

    def read_raw(self, first=REPLY_TIMEOUT, quiet=0.3):
        """Raw bytes as they arrive, for replies that are not whole valid frames: a list of
        (arrival time, bytes), from the first byte (waited for up to `first` seconds) until
        the line has been quiet for `quiet` seconds."""
        chunks = []
        started = time.monotonic()
        while True:
            self.port.timeout = 0.005
            data = self.port.read(max(1, self.port.in_waiting))
            now = time.monotonic()
            if data:
                chunks.append((now, data))
            elif now - (chunks[-1][0] if chunks else started) >= (quiet if chunks else first):
                return chunks

    def request(self, command, content=b"", timeout=REPLY_TIMEOUT):
        self.write(build_frame(command, content))
        return self.read_frame(timeout)

    def assert_silent(self, duration=0.5):
        """Nothing at all may arrive for `duration` seconds."""
        deadline = time.monotonic() + duration
        received = bytearray()
        while time.monotonic() < deadline:
            received += self._pump(0.05)
        if received or self.pending or self.parser.buffer:
            raise AssertionError("unexpected bytes: %s" % (bytes(received).hex() or repr(self.pending)))


class BenchUnit:
    """A stand-in for the unit on the bench, written apart from the emulator: its own texts, names
    and numbers it keeps once set, a clock an hour ahead, an upload of 7 stored records 15 ms
    apart, a command it never answers, a non-empty acknowledgement, and every reply 3-8 ms after
    its request. Serves one end of a pty pair from a thread until stop()."""

    TEXTS = {0x04: b"BU-7734", 0x06: "扳手B".encode("gb2312"), 0x08: b"00000077", 0x10: "李四".encode("gb2312")}
    SETS = {0x03: 0x04, 0x05: 0x06, 0x07: 0x08, 0x0F: 0x10}  # a set and the get that reads it
    UNANSWERED = 0x0D  # clear-file-records
    ACK_CONTENT = {0x0B: b"\x01"}  # set-usage-count
    RECORDS = 7
    PAUSE = 0.015

    def __init__(self, path, seed=7):
        self.port = serial.Serial(path, baudrate=115200, timeout=0.02)
        self.texts = dict(self.TEXTS)
        self.clock = datetime.timedelta(hours=1)
        self.random = random.Random(seed)
        self.latencies = []  # seconds, as slept
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._thread.join(EXIT_TIMEOUT)
        self.port.close()

    @staticmethod
    def date_bytes(moment):
        return moment.year.to_bytes(2, "big") + bytes([moment.month, moment.day, moment.hour,
                                                       moment.minute, moment.second])

    @classmethod
    def record(cls, sequence):
        """Record `sequence` as the unit stores it: its own models, names and a fixed date."""
        def text(value, width):
            return value.ljust(width, b"\0")
        stored = datetime.datetime(2026, 3, 1, 8, 0, 0) + datetime.timedelta(minutes=sequence)
        return (bytes([1]) + sequence.to_bytes(4, "big") + text(b"BENCH-TQ", 10) + text(b"BU007734", 8)
                + cls.date_bytes(stored) + text("扳手B".encode("gb2312"), 16) + text(b"00000077", 8)
                + text("李四".encode("gb2312"), 16) + bytes([2, 1]) + (250).to_bytes(2, "big")
                + (150).to_bytes(4, "big") + (140 + sequence).to_bytes(4, "big") + text(b"M12", 10)
                + text(b"8.8", 10) + (30).to_bytes(2, "big") + (28 + sequence).to_bytes(2, "big")
                + bytes([2, 1, 1, sequence % 2]))

    def _send(self, frame):
        self.port.write(frame)
        self.port.flush()

    def _answer(self, command, content):
        if command == self.UNANSWERED:
            return
        delay = self.random.uniform(0.003, 0.008)
        self.latencies.append(delay)
        time.sleep(delay)
        if command == 0x01 and len(content) == 7:
            moment = datetime.datetime(int.from_bytes(content[:2], "big"), *content[2:7])
            self.clock = moment - datetime.datetime.now()
        if command in self.SETS:
            self.texts[self.SETS[command]] = bytes(content)
        if command == 0x02:
            self._send(build_frame(command, self.date_bytes(datetime.datetime.now() + self.clock)))
        elif command in self.texts:
            self._send(build_frame(command, self.texts[command]))
        elif command == 0x0C:
            frames = ([bytes([0]) + self.RECORDS.to_bytes(4, "big")]
                      + [self.record(n) for n in range(1, self.RECORDS + 1)] + [bytes([2])])
            for i, frame in enumerate(frames):
                if i:
                    time.sleep(self.PAUSE)
                self._send(build_frame(command, frame))
        else:
            self._send(build_frame(command, self.ACK_CONTENT.get(command, b"")))

    def _serve(self):
        parser = FrameParser()
        while not self._stop.is_set():
            try:
                data = self.port.read(max(1, self.port.in_waiting))
            except serial.SerialException:
                return
            if not data:
                continue
            try:
                frames = parser.feed(data)
            except ProtocolError:
                parser = FrameParser()  # noise on the line: the unit waits for the next header
                continue
            for frame in frames:
                self._answer(frame.command, frame.content)


def log_file_name(day=None):
    day = day or datetime.date.today()
    return "varnelTest%s.log" % day.strftime("%Y%m%d")


def reply_time(content):
    """The local date-time carried by a 7-byte date-time content."""
    if len(content) != 7:
        raise AssertionError("date-time content must be 7 bytes: %s" % content.hex())
    return datetime.datetime(int.from_bytes(content[0:2], "big"), *content[2:7])


class EmulatorTestCase(unittest.TestCase):
    """Each test gets its own directory, pty pair and emulator (started on demand)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="varnel-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.pty = None
        self.emu = None
        self.peer = None

    def start_pty(self):
        self.pty = PtyPair(self.dir)
        self.addCleanup(self.pty.kill)
        return self.pty

    def start_emulator(self, *args, port=None, ready=True, env=None):
        """Starts varnel-emu with `args` on the emulator end of a new pty pair
        (or on `port`), and opens the peer end."""
        if port is None:
            self.start_pty()
            port = self.pty.emu_path
        self.port_name = port
        self.emu = Emulator(list(args) + [port], cwd=self.dir, env=env)
        # Registered after the pty, so it runs first: emulator before socat.
        self.addCleanup(self.emu.cleanup)
        if ready:
            self.emu.wait_ready()
            self.open_peer()
        return self.emu

    def start_network_emulator(self, *args, endpoint="tcp:127.0.0.1:0"):
        """Starts varnel-emu listening on `endpoint` (a free port by default); returns the
        emulator and the endpoint it logged with the port it bound."""
        self.port_name = endpoint
        self.emu = Emulator(list(args) + [endpoint], cwd=self.dir)
        self.addCleanup(self.emu.cleanup)
        index = self.emu.wait_for(lambda m: m.startswith("LISTEN "), timeout=START_TIMEOUT)
        self.emu.wait_ready()
        return self.emu, pane_message(self.emu.lines()[index])[len("LISTEN "):]

    def open_network_peer(self, endpoint, baudrate=115200):
        """The PC end of a network unit: socket:// for tcp:, rfc2217:// for rfc2217:."""
        scheme, rest = endpoint.split(":", 1)
        self.peer = Peer("%s://%s" % ({"tcp": "socket"}.get(scheme, scheme), rest), baudrate=baudrate)
        self.addCleanup(self.peer.close)
        return self.peer

    def start_tap(self, capture, pc_path, unit_path, stdout=subprocess.PIPE):
        """Starts varnel-pc tap between `pc_path` and `unit_path` writing `capture`; returns
        once the capture file is there (or after 10 s)."""
        tap = subprocess.Popen([executable("varnel-pc"), "tap", "--capture", capture, pc_path, unit_path],
                               stdout=stdout, stderr=subprocess.PIPE)
        self.addCleanup(lambda: tap.poll() is None and tap.kill())
        deadline = time.monotonic() + 10
        while not os.path.exists(capture) and time.monotonic() < deadline:
            time.sleep(0.02)
        return tap

    def open_peer(self):
        self.peer = Peer(self.pty.peer_path)
        self.addCleanup(self.peer.close)
        return self.peer

    def run_emulator(self, *args, timeout=EXIT_TIMEOUT):
        """A run that is expected to end by itself: (exit code, stdout lines, stderr)."""
        self.emu = Emulator(list(args), cwd=self.dir)
        self.addCleanup(self.emu.cleanup)
        code = self.emu.wait_exit(timeout)
        return code, self.emu.lines(), self.emu.stderr_text()

    def port_line(self, text):
        return "PORT %s >> %s" % (self.port_name, text)

    def assert_logged(self, message, start=0, timeout=REPLY_TIMEOUT):
        return self.emu.wait_for(message, start=start, timeout=timeout)

    def assert_not_logged(self, predicate, start=0):
        test = predicate if callable(predicate) else (lambda m: m == predicate)
        found = [m for m in self.emu.messages(start) if test(m)]
        self.assertEqual(found, [], "unexpected log lines")

    def shut_down(self, sig=signal.SIGTERM):
        """Orderly end; returns the exit code."""
        if self.peer is not None:
            self.peer.close()
        self.emu.signal(sig)
        return self.emu.wait_exit()
