"""korvadweb beside a real korvad station on loopback, for its end-to-end
tests and its measurements.

    station = start_station(korvad, folder)            # korvad -s -c, audio by pipe
    web = Web(korvadweb, folder, station.port)         # korvadweb --listen 127.0.0.1:0
    status, headers, body = web.get("/api/info")
    stream = web.events("/events?since=0")             # server-sent events, parsed
"""

import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "server"))
from korvad_station import (Client, Station, contact_item, free_port, queue_send,  # noqa: E402,F401
                            wait_until, write_list_file)

DASHES = "-" * 58


def record_text(registration, flight, text, label="H1", block="1", number="M01A", mode="2",
                time_text="09/12/2026 10:15", aircraft_type="-", route="unknown", airline="-"):
    """A client record as the main process hands it to the server (the eleven
    tab-separated fields of a downlink)."""
    header = "%s[ %s ]-" % (DASHES, time_text)
    return "\t".join([header, mode, registration, aircraft_type, label, block, number, flight,
                      route, airline, text])


def send_record(queue, text, code=18, timeout=10):
    """Puts a decoded message on the station's queue, waiting while it is full."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            queue_send(queue, 1, code, text)
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.002)


def start_station(korvad, folder, args=(), port=None):
    station = Station(korvad, folder, list(args), port=port)
    station.wait_listening()
    return station


def pace_into(pace, recording, station, rate=19500):
    """korvad-pace plays the recording into the station's audio pipe at the
    receiver's speed; returns the pacer's process."""
    with open(recording, "rb") as source:
        return subprocess.Popen([pace, str(rate)], stdin=source, stdout=station.proc.stdin)


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


class Web:
    """korvadweb running for a test; its port is the one it says it took."""

    def __init__(self, korvadweb, folder, station_port, station_host="127.0.0.1", extra=()):
        self.errors_path = os.path.join(folder, "korvadweb.stderr")
        self.errors_file = open(self.errors_path, "w+b")
        self.proc = subprocess.Popen([korvadweb, "--listen", "127.0.0.1:0", "-p",
                                      str(station_port), *extra, station_host],
                                     stdout=subprocess.DEVNULL, stderr=self.errors_file)
        match = wait_until(lambda: self._port(), 20, "korvadweb to serve")
        self.port = int(match)

    def _port(self):
        if self.proc.poll() is not None:
            raise AssertionError("korvadweb ended (%s): %s" % (self.proc.returncode, self.errors()))
        m = re.search(r"serving http://127\.0\.0\.1:(\d+)/", self.errors())
        return m.group(1) if m else None

    def errors(self):
        self.errors_file.seek(0)
        return self.errors_file.read().decode("utf-8", "replace")

    def get(self, path, headers=None, method="GET", timeout=30):
        """(status, headers as a dict of lower-case names, body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, headers=headers or {})
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def get_json(self, path, expect=200):
        status, headers, body = self.get(path)
        if status != expect:
            raise AssertionError("%s: %d %r" % (path, status, body[:200]))
        if headers.get("content-type") != "application/json; charset=utf-8":
            raise AssertionError("%s: content type %r" % (path, headers.get("content-type")))
        return json.loads(body.decode("utf-8"))

    def info(self):
        return self.get_json("/api/info")

    def wait_connected(self, connected=True, timeout=30):
        return wait_until(lambda: self.info()["link"]["connected"] == connected, timeout,
                          "korvadweb %s" % ("connected" if connected else "disconnected"))

    def events(self, path="/events?since=0"):
        return EventStream(self.port, path)

    def stop(self, sig=signal.SIGTERM, timeout=20):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.errors_file.close()


class EventStream:
    """One reader of /events on a raw socket: the status line, the headers,
    then the events one by one (chunked transfer undone)."""

    def __init__(self, port, path, read=True):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                           "Accept: text/event-stream\r\n\r\n" % (path, port)).encode())
        self.raw = b""
        self.body = b""
        self.status = None
        self.headers = {}
        self.closed = False
        self.lock = threading.Lock()
        self.events = []  # (type, id, data)
        self.arrivals = []  # time.monotonic() of each message event
        if read:
            self._head()

    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        try:
            data = self.sock.recv(1 << 16)
        except socket.timeout:
            return False
        except (ConnectionResetError, OSError):
            data = b""
        if not data:
            self.closed = True
            return False
        self.raw += data
        return True

    def _head(self, timeout=30):
        deadline = time.monotonic() + timeout
        while b"\r\n\r\n" not in self.raw:
            if self.closed or time.monotonic() > deadline:
                raise AssertionError("no answer head: %r" % self.raw[:200])
            self._fill(deadline - time.monotonic())
        head, self.raw = self.raw.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        self.status = int(lines[0].split()[1])
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.headers[name.strip().lower()] = value.strip()

    def _unchunk(self):
        while True:
            end = self.raw.find(b"\r\n")
            if end < 0:
                return
            size = int(self.raw[:end].split(b";")[0], 16)
            if len(self.raw) < end + 2 + size + 2:
                return
            self.body += self.raw[end + 2:end + 2 + size]
            self.raw = self.raw[end + 2 + size + 2:]
            if size == 0:
                self.closed = True

    def _parse(self):
        while b"\n\n" in self.body:
            block, self.body = self.body.split(b"\n\n", 1)
            kind, ident, data = "message", None, []
            for line in block.decode("utf-8").split("\n"):
                if line.startswith(":"):
                    continue
                name, _, value = line.partition(":")
                value = value[1:] if value.startswith(" ") else value
                if name == "event":
                    kind = value
                elif name == "id":
                    ident = value
                elif name == "data":
                    data.append(value)
            if data:
                self.events.append((kind, ident, json.loads("\n".join(data))))
                if kind == "message":
                    self.arrivals.append(time.monotonic())

    def pump(self, timeout):
        """Reads what is there within timeout; True when anything came."""
        got = self._fill(timeout)
        if self.headers.get("transfer-encoding") == "chunked":
            self._unchunk()
        else:
            self.body += self.raw
            self.raw = b""
        self._parse()
        return got

    def messages(self):
        return [data for kind, _, data in self.events if kind == "message"]

    def last(self, kind):
        for k, _, data in reversed(self.events):
            if k == kind:
                return data
        return None

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while not predicate(self):
            if self.closed:
                raise AssertionError("the event stream closed while waiting for " + what)
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for " + what)
            self.pump(min(0.5, max(0.01, deadline - time.monotonic())))
        return self

    def close(self):
        self.sock.close()
