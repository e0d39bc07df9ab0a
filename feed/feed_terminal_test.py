#!/usr/bin/python3
"""The JSON feed end to end: the real korvad decodes a recording with the feed
on; UDP sockets of this test receive it; every object is read with the json
module and compared with the daily log's entry of the same message.

    feed_terminal_test.py KORVAD KORVAD_SYNTH [TestClass ...]
"""

import json
import os
import re
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "control"))
import korvad_pty  # noqa: E402
from korvad_pty import KorvadRun  # noqa: E402

KORVAD = None
SYNTH = None
DEMO = os.path.join(HERE, "..", "demo")
DASHES = "-" * 58
ENTRY_HEAD = re.compile(DASHES + r"\[ (\d\d/\d\d/\d{4} \d\d:\d\d) \]-\n")
ENTRY_BODY = re.compile(
    r"ACARS Mode: (.)  Aircraft reg: (.*)\n(?:Aircraft type: .*\n)?"
    r"Message Label: (..) Block ID: (.)  Message Number: (.*)\n"
    r"Flight Number: (.*?)(?:  Flight: .*)?\n(?:Operator: .*\n)?")


def log_entries(text):
    """The daily log as (time text, fields) pairs, in the order written."""
    pieces = ENTRY_HEAD.split(text)
    assert pieces[0] == "", "the log starts with an entry"
    entries = []
    for at in range(1, len(pieces), 2):
        when, body = pieces[at], pieces[at + 1]
        m = ENTRY_BODY.match(body)
        assert m, "entry not in the log form: %r" % body
        rest = body[m.end():]
        if rest.startswith("Message Content:-\n"):
            assert rest.endswith("\n\n"), rest
            message_text = rest[len("Message Content:-\n"):-2]
        else:
            assert rest == "\n", rest
            message_text = None
        mode, registration, label, block, number, flight = m.groups()
        entries.append((when, dict(mode=mode, registration=registration, label=label,
                                   block_id=block, msgno=number, flight=flight,
                                   text=message_text)))
    return entries


class Receiver:
    """A UDP socket on a free loopback port."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]

    def datagrams(self):
        """Everything that has arrived (loopback delivers at the send)."""
        self.sock.setblocking(False)
        got = []
        while True:
            try:
                got.append(self.sock.recv(65536))
            except BlockingIOError:
                return got

    def close(self):
        self.sock.close()


def free_port_nobody_listens_on():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class FeedCase(korvad_pty.FolderCase):
    folder_prefix = "korvad-feed-test-"


class JsonFeed(FeedCase):
    MESSAGES = 23  # demo/messages.txt: 16 downlinks, 5 uplinks, 2 squitters
    LEVEL = 20 * __import__("math").log10(0.25 * 127 / 128 / 2 ** 0.5)  # --level 0.25

    def test_every_logged_message_once_with_the_logs_values(self):
        rec = os.path.join(self.folder, "demo.wav")
        subprocess.run([SYNTH, "-q", "--level", "0.25", "--snr", "40", "--gap", "3000",
                        "--within", "40000", "--seed", "3", os.path.join(DEMO, "messages.txt"),
                        rec], check=True)
        os.mkdir(os.path.join(self.folder, "logs"))
        first, second = Receiver(), Receiver()
        self.addCleanup(first.close)
        self.addCleanup(second.close)
        # A destination nobody listens on, and one no datagram can reach
        # (the broadcast address without permission, or no route at all):
        # neither holds up decoding, the second is told once.
        dead = "127.0.0.1:%d" % free_port_nobody_listens_on()
        refused = "255.255.255.255:9"
        run = KorvadRun(KORVAD, ["-H", "-l", "logs", "-d", rec, "-F", "131.725",
                                 "--station-id", "TEST-1", "--json-udp", first.address,
                                 "--json-udp", dead, "--json-udp", refused,
                                 "--json-udp", second.address],
                        cwd=self.folder, rows=40, cols=120)
        self.addCleanup(run.close)
        self.assertEqual(run.wait_exit(timeout=240), 5)
        self.assertIn("  Good: 16, Uplinks: 7, ", run.errors())
        drawn = run.output.decode("latin-1")
        self.assertEqual(drawn.count("JSON feed to %s: " % refused), 1)
        self.assertNotIn("JSON feed to 127.0.0.1", drawn)

        logs = os.listdir(os.path.join(self.folder, "logs"))
        with open(os.path.join(self.folder, "logs", logs[0]), "rb") as f:
            entries = log_entries(f.read().decode("latin-1"))
        self.assertEqual(len(entries), self.MESSAGES)
        datagrams = first.datagrams()
        self.assertEqual(second.datagrams(), datagrams)
        objects = [json.loads(d) for d in datagrams]
        self.assertEqual(len(objects), self.MESSAGES)

        previous = 0
        for (when, log), o in zip(entries, objects):
            where = "%s %s" % (when, log)
            self.assertEqual((o["station_id"], o["channel"], o["freq"]), ("TEST-1", 0, 131.725))
            self.assertEqual(o["app"], {"name": "korvad", "ver": "1.oo"})
            self.assertGreaterEqual(o["timestamp"], previous, where)
            previous = o["timestamp"]
            minute = time.strftime("%d/%m/%Y %H:%M", time.localtime(o["timestamp"] - 1e-6))
            self.assertEqual(minute, when, where)
            self.assertEqual(o["mode"], log["mode"], where)
            label = "_d" if log["label"] == "_\x7f" else log["label"]
            self.assertEqual(o["label"], label, where)
            self.assertEqual(o["block_id"], log["block_id"], where)
            self.assertEqual(o.get("text"), log["text"], where)
            if "flight" in o:  # a downlink
                self.assertEqual((o["flight"], o["msgno"]), (log["flight"], log["msgno"]), where)
                self.assertEqual(o["tail"].lstrip("."), log["registration"], where)
            else:  # an uplink or a squitter carries neither
                self.assertNotIn("msgno", o)
                self.assertIn(log["flight"], ("    ", ""), where)
                if log["registration"] != "_______":
                    self.assertEqual(o["tail"].lstrip("."), log["registration"], where)
            self.assertIs(o["ack"], False, where)  # the demo's blocks carry NAK
            self.assertIs(o["end"], True, where)
            self.assertIsInstance(o["error"], int)
            self.assertGreaterEqual(o["error"], 0)
            self.assertLess(abs(o["level"] - self.LEVEL), 1.5, where)
        self.assertEqual(sum(1 for o in objects if o["label"] == "_d"), 2)

    def test_a_destination_that_cannot_be_had_is_refused_before_anything_starts(self):
        # Resolved at start-up, and refused by the command line itself.
        for address, reason in (("bad host:5550", "korvad: --json-udp: bad host:5550: "),
                                ("localhost", "korvad: --json-udp: expected HOST:PORT\n")):
            done = subprocess.run([KORVAD, "-H", "-d", "/dev/null", "--json-udp", address],
                                  capture_output=True, text=True, cwd=self.folder, timeout=60)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn(reason, done.stderr)
            self.assertNotIn("Initializing", done.stderr)
        self.assertFalse(os.path.exists(korvad_pty.CONTROL_FILE))


if __name__ == "__main__":
    KORVAD, SYNTH = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
