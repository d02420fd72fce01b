"""Children that end with their parent: each gets SIGTERM when this process dies (also by SIGKILL
or os._exit), signal handlers can end them and remove their folders at once, and a start removes
the folders a dead process of ours left."""

import concurrent.futures
import ctypes
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

FOLDER_PREFIX = "varnel-"
# Names the process that made a folder and the processes started for it.
_OWNER_FILE = ".owner.json"
_PR_SET_PDEATHSIG = 1
# How long a signal handler lets the children end on SIGTERM before SIGKILL.
_HANDLER_BOUND = 2.0

# The folders in use now; read by signal handlers, so changed only by single (atomic) set operations.
_open = set()
_spawner = None
_spawner_lock = threading.Lock()


def _load_prctl():
    if not sys.platform.startswith("linux"):
        return None
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
    prctl.restype = ctypes.c_int
    return prctl


# Looked up once: the child after fork runs as little as it can.
_prctl = _load_prctl()


def die_with_parent():
    """Asks the kernel for SIGTERM to this process when its parent ends; False where it cannot."""
    return _prctl is not None and _prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0) == 0


def _armer(parent):
    def arm():
        die_with_parent()
        if os.getppid() != parent:
            os._exit(1)  # the parent died before the signal was armed
    return arm


def spawn(args, **kwargs):
    """subprocess.Popen for a child that gets SIGTERM when this process ends."""
    if _prctl is not None:
        kwargs["preexec_fn"] = _armer(os.getpid())
    if threading.current_thread() is threading.main_thread():
        return subprocess.Popen(args, **kwargs)
    # The signal comes when the forking thread ends, so a thread that may end first must not fork.
    global _spawner
    with _spawner_lock:
        if _spawner is None:
            _spawner = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="varnel-spawn")
    return _spawner.submit(subprocess.Popen, args, **kwargs).result()


def _start_time(pid):
    """The start time of a running process from /proc, None when it is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as handle:
            fields = handle.read().rpartition(b")")[2].split()
    except (OSError, ValueError):
        return None
    if len(fields) < 20 or fields[0] in (b"Z", b"X"):
        return None
    return int(fields[19])


class PrivateFolder:
    """A temporary folder of our own and the processes started for it, recorded in the folder so a
    later start can end and remove what a dead process left."""

    def __init__(self):
        sweep()
        self.path = tempfile.mkdtemp(prefix=FOLDER_PREFIX)
        self.children = []
        self._write_owner()
        _open.add(self)

    def spawn(self, args, **kwargs):
        process = spawn(args, **kwargs)
        self.children.append(process)
        self._write_owner()
        return process

    def remove(self):
        """Removes the folder (its children have ended); safe to call twice."""
        _open.discard(self)
        shutil.rmtree(self.path, ignore_errors=True)

    def abandon(self):
        """SIGTERM to every child, SIGKILL to those still there after a bound, then the folder
        goes; takes no lock and waits on no Popen, so a signal handler may call it."""
        running = [p.pid for p in self.children if p.returncode is None]
        for pid in running:
            _signal(pid, signal.SIGTERM)
        deadline = time.monotonic() + _HANDLER_BOUND
        while running and time.monotonic() < deadline:
            running = [pid for pid in running if not _reaped(pid)]
            time.sleep(0.01)
        for pid in running:
            _signal(pid, signal.SIGKILL)
        self.remove()

    def _write_owner(self):
        record = {"owner": [os.getpid(), _start_time(os.getpid())],
                  "children": [[p.pid, _start_time(p.pid)] for p in self.children]}
        temporary = os.path.join(self.path, _OWNER_FILE + ".new")
        with open(temporary, "w", encoding="utf-8") as handle:
            json.dump(record, handle)
        os.replace(temporary, os.path.join(self.path, _OWNER_FILE))


def abandon_all():
    """Ends the children of every folder in use and removes the folders (for signal handlers)."""
    for folder in list(_open):
        folder.abandon()


def sweep():
    """Removes our folders in the temporary folder whose maker has died, ending any process of
    theirs that still runs; others' folders and those of living processes stay."""
    parent = tempfile.gettempdir()
    try:
        names = os.listdir(parent)
    except OSError:
        return
    for name in names:
        if not name.startswith(FOLDER_PREFIX):
            continue
        path = os.path.join(parent, name)
        try:
            status = os.lstat(path)
            if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.getuid():
                continue
            with open(os.path.join(path, _OWNER_FILE), "rb") as handle:
                record = json.loads(handle.read(65536).decode("utf-8"))
            (owner, owner_started), children = record["owner"], record["children"]
            if owner_started is None or _start_time(owner) == owner_started:
                continue  # its maker runs, or cannot be told apart from a new process
            for pid, started in children:
                if started is not None and _start_time(pid) == started:
                    _signal(pid, signal.SIGKILL)
        except (OSError, ValueError, KeyError, TypeError):
            continue  # not a folder of ours, or one being made
        shutil.rmtree(path, ignore_errors=True)


def _signal(pid, number):
    try:
        os.kill(pid, number)
    except OSError:
        pass


def _reaped(pid):
    try:
        return os.waitpid(pid, os.WNOHANG)[0] == pid
    except ChildProcessError:
        return True
