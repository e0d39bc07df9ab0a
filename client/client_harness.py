"""korvadclient as a user runs it, and stations for it to talk to.

    result = run_client(["-p", str(port), "127.0.0.1", "info"])
    objects = json_lines(result.stdout)      # every line must be one object

FakeStation plays a station from a script: it listens on loopback, runs the
given function on every connection it takes and records what the client sent.
"""

import json
import os
import socket
import struct
import subprocess
import threading
import time

HEADER = struct.Struct("<iii")
CLIENT = None  # path of korvadclient, set by the test's main


def packet(code, text=b"", argument=0):
    if isinstance(text, str):
        text = text.encode("latin-1")
    return HEADER.pack(code, len(text), argument) + text


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


def run_client(args, timeout=60, stdin=None, cwd=None):
    """Runs korvadclient to its end (bounded); text results, Latin-1."""
    proc = subprocess.run([CLIENT] + list(args), input=stdin, capture_output=True,
                          timeout=timeout, cwd=cwd)
    # JSON lines must be UTF-8 throughout; text is the station's 8-bit text.
    proc.stdout = proc.stdout.decode("utf-8" if "--json" in args else "latin-1")
    proc.stderr = proc.stderr.decode("latin-1")
    return proc


def start_client(args, cwd=None):
    """korvadclient running beside the test, its output read line by line."""
    return LiveClient(args, cwd)


def json_lines(text):
    """Every line of text parsed by Python's json module; each must be an
    object with an "event"."""
    objects = []
    for line in text.splitlines():
        obj = json.loads(line)
        if not isinstance(obj, dict) or "event" not in obj:
            raise AssertionError("not an event object: %r" % line)
        objects.append(obj)
    return objects


class LiveClient:
    def __init__(self, args, cwd=None):
        self.proc = subprocess.Popen([CLIENT] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
        self.lines = []
        self.errors = []
        self.lock = threading.Lock()
        for stream, into in ((self.proc.stdout, self.lines), (self.proc.stderr, self.errors)):
            threading.Thread(target=self._read, args=(stream, into), daemon=True).start()

    def _read(self, stream, into):
        for raw in iter(stream.readline, b""):
            with self.lock:
                into.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def output(self):
        with self.lock:
            return list(self.lines)

    def error_text(self):
        with self.lock:
            return "\n".join(self.errors)

    def wait_for_line(self, predicate, timeout=20, what="a line"):
        return wait_until(lambda: next((l for l in self.output() if predicate(l)), None),
                          timeout, what + "; output so far: %r, errors %r"
                          % (self.output()[-5:], self.error_text()[-300:]))

    def wait_for_error(self, text, timeout=20):
        return wait_until(lambda: text in self.error_text(), timeout,
                          "%r on standard error; got %r" % (text, self.error_text()[-500:]))

    def type(self, text):
        self.proc.stdin.write(text.encode("latin-1"))
        self.proc.stdin.flush()

    def end_input(self):
        self.proc.stdin.close()

    def finish(self, timeout=20):
        """Waits for the end; the exit status."""
        return self.proc.wait(timeout=timeout)

    def interrupt(self, timeout=20):
        self.proc.send_signal(2)
        return self.finish(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Peer:
    """One connection of a FakeStation, seen from the station's side."""

    def __init__(self, sock, station):
        self.sock = sock
        self.station = station
        self.pending = b""
        self.closed = False

    def send(self, code, text=b"", argument=0):
        self.send_raw(packet(code, text, argument))

    def send_raw(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            self.closed = True

    def request(self, timeout=10):
        """The client's next request (code, argument, payload bytes), or None
        when it closed the connection."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self.pending) >= 12:
                code, length, argument = HEADER.unpack_from(self.pending)
                if 0 <= length <= 4096 and len(self.pending) >= 12 + length:
                    payload = self.pending[12:12 + length]
                    self.pending = self.pending[12 + length:]
                    self.station.record(code, argument, payload)
                    return code, argument, payload
            if self.closed:
                return None
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the client sent no request in time")
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            if not data:
                self.closed = True
            self.pending += data

    def greet(self, host="tower", port=2202, sizes=(10, 20, 30, 40), entries=1200,
              valid_only=False, reports=True, corrections=True, mailing=True, frequency=None):
        self.send(1, "%s\t%d" % (host, port))
        self.send(11, "%d\t%d\t%d\t%d" % sizes)
        self.send(12, "%d" % entries)
        self.send(152, "korvad 1.oo\nfake station for the client's tests\t ")
        self.send(25 if valid_only else 26, " ")
        if not reports:
            self.send(21, " ")
        if not corrections:
            self.send(106, " ")
        if not mailing:
            self.send(65, " ")
        if frequency:
            self.send(91, frequency)

    def serve(self, answers):
        """Answers requests until the client leaves: answers maps a request
        code to a function (peer, argument, payload); 148 is answered with
        149 unless answers says otherwise. Returns True when the client ended
        with request 2."""
        while True:
            got = self.request(timeout=30)
            if got is None:
                return False
            code, argument, payload = got
            if code == 2:
                return True
            if code in answers:
                answers[code](self, argument, payload)
            elif code == 148:
                self.send(149, " ")


class FakeStation:
    """Listens on a free loopback port; each connection runs script(peer)
    in a thread of its own."""

    def __init__(self, script):
        self.script = script
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.requests = []
        self.connections = 0
        self.results = []
        self.lock = threading.Lock()
        self.open = True
        threading.Thread(target=self._accept, daemon=True).start()

    def record(self, code, argument, payload):
        with self.lock:
            self.requests.append((code, argument, payload))

    def requests_seen(self):
        with self.lock:
            return list(self.requests)

    def _accept(self):
        while self.open:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._run, args=(sock,), daemon=True).start()

    def _run(self, sock):
        peer = Peer(sock, self)
        try:
            result = self.script(peer)
        except Exception as e:  # shown by the test that looks at results
            result = e
        with self.lock:
            self.results.append(result)
        try:
            sock.close()
        except OSError:
            pass

    def close(self):
        self.open = False
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
