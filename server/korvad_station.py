"""The real korvad as a server on loopback, and clients that speak its packet
protocol, for the server's end-to-end tests.

    station = Station(korvad, folder, ["-R", reports])
    client = station.connect()
    greeting = client.greeting()
    client.send(148)
    client.expect(149)
"""

import ctypes
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "control"))
from korvad_pty import children_of, queue_ids, ring_segments  # noqa: E402,F401

HEADER = struct.Struct("<iii")
SILENCE = bytes([128]) * 40000  # one buffer of new samples


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def packet(code, text=b"", argument=0):
    if isinstance(text, str):
        text = text.encode("latin-1")
    return HEADER.pack(code, len(text), argument) + text


class Client:
    """One connection: a stream of (code, argument, payload) packets."""

    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.timeout = timeout
        self.pending = b""
        self.closed = False

    def close(self):
        self.sock.close()

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, code, text=b"", argument=0):
        self.sock.sendall(packet(code, text, argument))

    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(1 << 20)
        except socket.timeout:
            return False
        except ConnectionResetError:
            data = b""
        if not data:
            self.closed = True
            return False
        self.pending += data
        return True

    def next(self, timeout=None):
        """The next packet, or None when the server closed the connection
        (AssertionError when nothing came in time)."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            if len(self.pending) >= 12:
                code, length, argument = HEADER.unpack_from(self.pending)
                if len(self.pending) >= 12 + length:
                    payload = self.pending[12:12 + length]
                    self.pending = self.pending[12 + length:]
                    return code, argument, payload
            if self.closed:
                return None
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no packet within the time; pending %r" % self.pending[:40])
            self._fill(left)

    def skip_to(self, codes, timeout=None):
        """The next packet whose code is in codes; others (volume lines,
        counters) are passed over."""
        codes = (codes,) if isinstance(codes, int) else codes
        while True:
            p = self.next(timeout)
            if p is None or p[0] in codes:
                return p

    def expect(self, code, timeout=None):
        p = self.skip_to(code, timeout)
        if p is None:
            raise AssertionError("connection closed while waiting for %d" % code)
        return p

    def greeting(self):
        """The packets up to the keep-alive answer that follows them."""
        self.send(148, " ")
        got = []
        while True:
            p = self.next()
            if p is None or p[0] == 149:
                return got
            got.append(p)

    def wait_closed(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not self.closed:
            if time.monotonic() > deadline:
                raise AssertionError("the server did not close the connection")
            if len(self.pending) > (1 << 24):
                self.pending = b""
            self._fill(0.2)
        return True

    def read_all(self, seconds):
        """Everything that arrives within seconds, as packets."""
        end = time.monotonic() + seconds
        while time.monotonic() < end and self._fill(max(0.01, end - time.monotonic())):
            pass
        got = []
        while len(self.pending) >= 12:
            code, length, argument = HEADER.unpack_from(self.pending)
            if len(self.pending) < 12 + length:
                break
            got.append((code, argument, self.pending[12:12 + length]))
            self.pending = self.pending[12 + length:]
        return got


class Station:
    """korvad -s -c -H -d - with its audio from a pipe that the test feeds."""

    def __init__(self, korvad, folder, args=(), port=None, env=None):
        self.port = port if port is not None else free_port()
        args = list(args)
        if port != 0 and "-p" not in args:
            args = ["-p", str(self.port)] + args
        self.errors_file = open(os.path.join(folder, "korvad.stderr"), "w+b")
        self.started = time.time()
        self.proc = subprocess.Popen([korvad, "-s", "-c", "-H", "-d", "-"] + args, cwd=folder,
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=self.errors_file, start_new_session=True, env=env)
        self.feeding = None
        self.stop_feeding = threading.Event()
        self.audio_lock = threading.Lock()

    # -- audio ----------------------------------------------------------------
    def write_audio(self, data):
        with self.audio_lock:
            try:
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
            except (BrokenPipeError, ValueError):
                pass

    def flow(self, buffers_per_second=50, limit_seconds=120):
        """Silence, so the main loop turns (queue every 20th buffer, uptime
        every 500th); bounded in time."""
        def feed():
            end = time.monotonic() + limit_seconds
            while not self.stop_feeding.is_set() and time.monotonic() < end:
                self.write_audio(SILENCE)
                time.sleep(1.0 / buffers_per_second)
        self.feeding = threading.Thread(target=feed, daemon=True)
        self.feeding.start()

    # -- processes --------------------------------------------------------------
    def errors(self):
        self.errors_file.seek(0)
        return self.errors_file.read().decode("latin-1")

    def queue_id(self):
        match = re.search(r"Done, id (-?\d+)", self.errors())
        return int(match.group(1)) if match else None

    def children(self):
        return children_of(self.proc.pid)

    def server_pid(self):
        for pid, title in self.children():
            if title.startswith("korvad server"):
                return pid
        return None

    def server_title(self):
        for pid, title in self.children():
            if title.startswith("korvad server"):
                return title
        return None

    def wait_listening(self, port=None, timeout=20):
        port = port or self.port

        def up():
            if self.proc.poll() is not None:
                raise AssertionError("korvad ended (%s):\n%s" % (self.proc.returncode, self.errors()))
            try:
                probe = Client(port, timeout=5)
            except OSError:
                return False
            probe.greeting()  # accepted and answered: counted now
            probe.close()
            return True
        wait_until(up, timeout, "the server on port %d" % port)
        # That probe connection is counted until the server sees it closed.
        wait_until(lambda: self.server_title() == "korvad server, 0 clients connected", timeout,
                   "the probe to go")
        return self

    def connect(self, port=None):
        return Client(port or self.port)

    def stop(self, sig=signal.SIGINT, timeout=20):
        self.stop_feeding.set()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def close(self):
        self.stop_feeding.set()
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except OSError:
                pass
            self.proc.wait()
            queue = self.queue_id()
            if queue is not None:
                subprocess.run(["ipcrm", "-q", str(queue)], check=False, stderr=subprocess.DEVNULL)
        try:
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass
        if not self.errors_file.closed:
            self.errors_file.close()


# -- the message queue, through the C library ---------------------------------
_libc = ctypes.CDLL(None, use_errno=True)
QUEUE_DATA = 3016


class _QueueMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("code", ctypes.c_int32), ("client_slot", ctypes.c_int32),
                ("reserved", ctypes.c_int32), ("text", ctypes.c_char * (QUEUE_DATA - 12))]


def queue_receive(queue, msg_type, timeout=10):
    """(code, client_slot, text) of the next message of msg_type."""
    IPC_NOWAIT = 0o4000
    deadline = time.monotonic() + timeout
    msg = _QueueMessage()
    while True:
        n = _libc.msgrcv(queue, ctypes.byref(msg), QUEUE_DATA, ctypes.c_long(msg_type), IPC_NOWAIT)
        if n >= 0:
            return msg.code, msg.client_slot, msg.text
        if time.monotonic() > deadline:
            raise AssertionError("no queue message of type %d" % msg_type)
        time.sleep(0.02)


def queue_send(queue, msg_type, code, text, client_slot=0):
    msg = _QueueMessage()
    msg.type = msg_type
    msg.code = code
    msg.client_slot = client_slot
    msg.text = text.encode("latin-1") if isinstance(text, str) else text
    size = 16 + len(msg.text)
    if _libc.msgsnd(queue, ctypes.byref(msg), size, 0o4000) != 0:
        raise OSError(ctypes.get_errno(), "msgsnd")


# -- the collection file --------------------------------------------------------
def contact_item(time_s, registration, flight_id, text=None, aircraft_type=None, route=None,
                 airline=None, day=1, month=1, year=126, mode=b"2", label=b"H1", block=b"1",
                 number=b"M01A"):
    def fixed(value, size):
        value = value.encode("latin-1") if isinstance(value, str) else value
        return value[:size - 1].ljust(size, b"\0")

    def string(value):
        if not value:
            return struct.pack("<i", 0)
        value = value.encode("latin-1")
        return struct.pack("<i", len(value)) + value
    return (struct.pack("<iiii", time_s, day, month, year) + mode + fixed(label, 3) + block +
            fixed(registration, 8) + fixed(number, 5) + fixed(flight_id, 7) + string(text) +
            string(aircraft_type) + string(route) + string(airline))


# A reference database entry: key, value and a tally of 0.
def reference_item(key, value):
    return (struct.pack("<i", len(key)) + key.encode() + struct.pack("<i", len(value)) +
            value.encode() + struct.pack("<i", 0))


def write_list_file(path, items, limit=1000, delta=100):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(struct.pack("<iii", len(items), max(limit, len(items)), delta) + b"\0")
        for item in items:
            f.write(item)
    os.rename(tmp, path)
