"""Runs the real korvad in a pseudo-terminal and reads its screen through pyte.

Used by the decoder's end-to-end tests:

    run = KorvadRun(korvad, ["-H", "-d", recording], cwd=folder)
    run.wait_for_text("Good: 3")
    status = run.wait_exit()
"""

import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import pyte

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "screen"))
from screen_terminal_test import TERMINAL_NAME, build_terminal_entry  # noqa: E402

CONTROL_FILE = "/tmp/.korvad"
_TERMINFO_DIR = None


def terminfo():
    global _TERMINFO_DIR
    if _TERMINFO_DIR is None:
        _TERMINFO_DIR = tempfile.mkdtemp(prefix="korvad-terminfo-")
        _TERMINFO_DIR = build_terminal_entry(_TERMINFO_DIR)
    return _TERMINFO_DIR


class ControlFileGuard:
    """Keeps a control file of a decoder that may run on this machine."""

    def __enter__(self):
        self.saved = None
        if os.path.lexists(CONTROL_FILE):
            self.saved = CONTROL_FILE + ".saved-by-test-%d" % os.getpid()
            os.rename(CONTROL_FILE, self.saved)
        return self

    def __exit__(self, *exc):
        if self.saved is not None:
            os.rename(self.saved, CONTROL_FILE)
        elif os.path.lexists(CONTROL_FILE):
            os.unlink(CONTROL_FILE)


class FolderCase(unittest.TestCase):
    """A test case with a folder of its own (self.folder, removed after the
    test) and the machine's control file kept aside while it runs."""

    folder_prefix = "korvad-test-"

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix=self.folder_prefix)
        self.addCleanup(shutil.rmtree, self.folder, True)
        guard = ControlFileGuard()
        guard.__enter__()
        self.addCleanup(guard.__exit__, None, None, None)

    def path(self, name):
        return os.path.join(self.folder, name)


def queue_ids():
    """Ids of the System V message queues that exist now."""
    with open("/proc/sysvipc/msg") as f:
        return {int(line.split()[1]) for line in f.readlines()[1:] if line.strip()}


RING_BYTES = 1607808  # the audio ring: 32 slots of 50244 bytes


def ring_segments(creator):
    """Ids of the segments of the audio ring's size that process creator made
    and that exist now (also those marked for removal that a process still
    holds)."""
    with open("/proc/sysvipc/shm") as f:
        rows = [line.split() for line in f.readlines()[1:] if line.strip()]
    return [int(r[1]) for r in rows if int(r[3]) == RING_BYTES and int(r[4]) == creator]


def ring_released(creator, timeout=10):
    """True once no ring segment of creator is left: the collector, its last
    holder, ends a moment after the main process."""
    deadline = time.monotonic() + timeout
    while ring_segments(creator) and time.monotonic() < deadline:
        time.sleep(0.05)
    return ring_segments(creator) == []


def shared_memory_created_by(pid):
    """Ids of the segments whose creator was pid."""
    with open("/proc/sysvipc/shm") as f:
        rows = [line.split() for line in f.readlines()[1:] if line.strip()]
    return [int(r[1]) for r in rows if int(r[4]) == pid]


def _processes():
    """(pid, parent, session, state, command line) of every process now."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
            fields = stat[stat.rindex(")") + 2:].split()
            found.append((int(entry), int(fields[1]), int(fields[3]), fields[0],
                          cmdline.split(b"\0")[0].decode("latin-1")))
        except (OSError, ValueError, IndexError):
            continue
    return found


def children_of(pid):
    """(pid, command line) of the live children of pid."""
    return [(p, cmd) for p, parent, _, state, cmd in _processes() if parent == pid and state != "Z"]


def session_members(sid):
    """Pids of the live processes of session sid (korvad runs in a session of its own)."""
    return [p for p, _, session, state, _ in _processes() if session == sid and state != "Z"]


def winsize(rows, cols):
    return struct.pack("HHHH", rows, cols, 0, 0)


class KorvadRun:
    def __init__(self, korvad, args, cwd, rows=24, cols=80, env=None, audio_stdin=None,
                 utf8=False):
        """audio_stdin: a file (a path, or an open file such as the end of a
        pipe) to give korvad as standard input (for -d -); the
        pseudo-terminal stays its output and controlling terminal.
        utf8: a UTF-8 terminal (locale C.UTF-8) instead of a plain 8-bit one."""
        self.screen = pyte.Screen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)
        if not utf8:
            self.stream.feed(b"\x1b%@")  # plain 8-bit: curses sends ASCII and line-drawing switches
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, winsize(rows, cols))
        self.stderr = tempfile.TemporaryFile()
        environment = {k: v for k, v in os.environ.items() if k not in ("LINES", "COLUMNS")}
        environment.update(TERM=TERMINAL_NAME, TERMINFO=terminfo(),
                           LC_ALL="C.UTF-8" if utf8 else "C")
        for name, value in (env or {}).items():  # None: not in the environment at all
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value

        def take_terminal():
            fcntl.ioctl(1, termios.TIOCSCTTY, 0)

        given_file = hasattr(audio_stdin, "fileno")
        stdin = audio_stdin if given_file else open(audio_stdin, "rb") if audio_stdin else slave
        self.proc = subprocess.Popen(
            [korvad, *args], cwd=cwd, stdin=stdin, stdout=slave, stderr=self.stderr,
            start_new_session=True, preexec_fn=take_terminal, env=environment)
        if audio_stdin and not given_file:
            stdin.close()
        os.close(slave)
        self.master_open = True
        self.output = b""

    # -- reading -----------------------------------------------------------
    def pump(self, seconds):
        deadline = time.monotonic() + seconds
        while self.master_open:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return
            ready, _, _ = select.select([self.master], [], [], remaining)
            if not ready:
                return
            try:
                data = os.read(self.master, 65536)
            except OSError:
                data = b""
            if not data:
                self.master_open = False
                return
            self.output += data
            self.stream.feed(data)

    def text(self):
        return "\n".join(self.screen.display)

    def errors(self):
        self.stderr.seek(0)
        return self.stderr.read().decode("latin-1")

    def wait_for(self, predicate, timeout=60, what="the expected screen"):
        deadline = time.monotonic() + timeout
        while not predicate(self):
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for %s\n--- screen ---\n%s\n--- stderr ---\n%s"
                                     % (what, self.text(), self.errors()))
            if self.proc.poll() is not None and not self.master_open:
                raise AssertionError("korvad ended (status %s) before %s\n--- stderr ---\n%s"
                                     % (self.proc.returncode, what, self.errors()))
            self.pump(0.1)

    def wait_for_text(self, wanted, timeout=60):
        self.wait_for(lambda run: wanted in run.text(), timeout, repr(wanted))

    def wait_exit(self, timeout=120):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None:
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError("korvad did not end within %d s\n--- screen ---\n%s\n--- stderr ---\n%s"
                                     % (timeout, self.text(), self.errors()))
            self.pump(0.1)
        self.pump(0.2)
        return self.proc.returncode

    def alive(self):
        return self.proc.poll() is None

    # -- acting ------------------------------------------------------------
    def keys(self, data):
        os.write(self.master, data)

    def signal(self, number):
        self.proc.send_signal(number)

    def kill(self):
        """Ends a korvad that did not end by itself, and what it left behind."""
        if self.proc.poll() is not None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except OSError:
            pass
        self.proc.wait()
        queue = queue_id_from(self.errors())
        if queue is not None and queue in queue_ids():
            subprocess.run(["ipcrm", "-q", str(queue)], check=False)
        for shmid in shared_memory_created_by(self.proc.pid):
            subprocess.run(["ipcrm", "-m", str(shmid)], check=False)

    def close(self):
        self.kill()
        self.stderr.close()
        if self.master is not None:
            os.close(self.master)
            self.master = None
            self.master_open = False


def queue_id_from(errors):
    match = re.search(r"Done, id (-?\d+)", errors)
    return int(match.group(1)) if match else None
