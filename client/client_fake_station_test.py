#!/usr/bin/python3
"""korvadclient against stations played from a script on loopback: every
failure the client must name, the bytes of every request, the answers it
prints (text and JSON), watch's keep-alives and reconnects, chat.

    client_fake_station_test.py KORVADCLIENT MANPAGE [TestClass ...]
"""

import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import client_harness as h
from client_harness import FakeStation, json_lines, run_client

MANPAGE = None
DASHES = "-" * 58


def downlink(reg, flight, text, minute=15):
    return "%s[ 08/12/2026 04:%02d ]-\t2\t%s\tA320\tH1\t7\tM01A\t%s\tunknown\t-\t%s" % (
        DASHES, minute, reg, flight, text)


def greet_and_serve(answers=None, **greeting):
    def script(peer):
        peer.greet(**greeting)
        return peer.serve(answers or {})
    return script


class Failures(unittest.TestCase):
    """Every way a connection can go wrong ends with its own status and a
    message that says what happened, within the time-out."""

    def client(self, station_port, *args, timeout=30):
        return run_client(["--timeout", "2", "-p", str(station_port), "127.0.0.1"] + list(args),
                          timeout=timeout)

    def test_refused_and_unknown_host(self):
        port = h.free_port()
        r = self.client(port, "info")
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("connection refused by 127.0.0.1 port %d" % port, r.stderr)
        # A name that does not resolve, in a network of its own so the
        # look-up goes nowhere.
        try:
            r = subprocess.run(["unshare", "-n", h.CLIENT, "--json", "no-such-station.invalid",
                                "info"], capture_output=True, timeout=30, text=True)
        except (OSError, subprocess.SubprocessError):
            self.skipTest("no network namespace for the look-up")
        if "unshare failed" in r.stderr:
            self.skipTest("no network namespace for the look-up")
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertIn("no-such-station.invalid", r.stderr)
        self.assertEqual(json_lines(r.stdout)[-1]["event"], "error")
        self.assertEqual(json_lines(r.stdout)[-1]["status"], 3)

    def test_busy_station_gives_its_text(self):
        text = "all 64 slots are busy. please try later!"
        station = FakeStation(lambda peer: peer.send(100, text))
        for args, out in ((["info"], ""), (["--json", "info"], "json")):
            r = self.client(station.port, *args)
            self.assertEqual(r.returncode, 4, r.stderr)
            self.assertIn(text, r.stderr)
            if out:
                self.assertEqual(json_lines(r.stdout), [
                    {"event": "error", "status": 4,
                     "text": "127.0.0.1 port %d is busy: %s" % (station.port, text)}])
        station.close()

    def test_foreign_and_broken_streams(self):
        cases = [
            ("a web server", b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", 5,
             'a web server answered ("HTTP/1.1 400 Bad Request")'),
            ("the browser page", b"HTTP/1.0 200 OK\nContent-Type: text/html\n\n<html><head>", 5,
             "a web server answered"),
            ("a negative length", h.HEADER.pack(1, -1, 0), 5, "is not a korvad station"),
            ("a length above 4096", h.HEADER.pack(1, 4097, 0) + b"x" * 64, 5,
             "is not a korvad station"),
            ("a header cut short", h.HEADER.pack(1, 9, 0)[:7], 5, "in the middle of a packet"),
            ("a payload cut short", h.HEADER.pack(1, 9, 0) + b"tow", 5,
             "in the middle of a packet"),
            ("another first packet", h.packet(18, "hello"), 5, "began with packet code 18"),
            ("a greeting that does not read", h.packet(1, "no port"), 5, "does not read"),
            ("closed at once", b"", 5, "closed the connection"),
            ("binary noise", bytes(range(7, 250)), 5, "is not a korvad station"),
        ]
        for what, data, status, message in cases:
            station = FakeStation(lambda peer, data=data: peer.send_raw(data))
            r = self.client(station.port, "info")
            self.assertEqual(r.returncode, status, what + ": " + r.stderr)
            self.assertIn(message, r.stderr, what)
            station.close()

    def test_a_silent_station_is_left_at_the_time_out(self):
        def silent(peer):
            peer.request(timeout=30)  # the keep-alive that asks for the greeting
            time.sleep(5)
        station = FakeStation(silent)
        start = time.monotonic()
        r = self.client(station.port, "info")
        self.assertEqual(r.returncode, 6, r.stderr)
        self.assertIn("sent no greeting within 2 s", r.stderr)
        self.assertLess(time.monotonic() - start, 4.5)
        # Greeted, then silent: the answer is waited for as long as allowed.
        station2 = FakeStation(lambda peer: (peer.greet(), peer.request(), peer.send(149, " "),
                                             peer.request(), peer.request()))
        r = self.client(station2.port, "aircraft", "D-AIPX")
        self.assertEqual(r.returncode, 6, r.stderr)
        self.assertIn("no answer from 127.0.0.1 port %d within 2 s" % station2.port, r.stderr)
        # Given up, it still leaves with request 2.
        h.wait_until(lambda: station2.results, 10, "the leave")
        self.assertEqual([q[0] for q in station2.requests_seen()], [148, 14, 2])
        station.close()
        station2.close()

    def test_random_streams_never_crash_or_hang(self):
        rng = random.Random(15)
        statuses = set()
        for _ in range(40):
            # Real headers with random fields and payloads, mixed with noise.
            data = b""
            for _ in range(rng.randint(1, 6)):
                if rng.random() < 0.7:
                    payload = bytes(rng.randrange(256) for _ in range(rng.randint(0, 40)))
                    length = rng.choice([len(payload), len(payload), -rng.randint(1, 9),
                                         4097 + rng.randint(0, 9), 2**31 - 1])
                    data += h.HEADER.pack(rng.choice([1, 1, 11, 12, 149, 100, 18, 7, -1]),
                                          length, rng.randint(-5, 5)) + payload
                else:
                    data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 30)))
            station = FakeStation(lambda peer, data=data: peer.send_raw(data))
            command = rng.choice([["info"], ["registrations"], ["aircraft", "D-AIPX"]])
            r = self.client(station.port, "--json", *command)
            self.assertIn(r.returncode, (0, 1, 4, 5, 6), r.stderr)
            json_lines(r.stdout)
            statuses.add(r.returncode)
            station.close()
        self.assertIn(5, statuses)


class Requests(unittest.TestCase):
    """Each command's request as bytes on the wire, the answer as printed,
    request 2 at the end."""

    def run_against(self, answers, args, greeting=None, timeout=30, cwd=None):
        station = FakeStation(greet_and_serve(answers, **(greeting or {})))
        r = run_client(["--timeout", "3", "-p", str(station.port), "127.0.0.1"] + list(args),
                       timeout=timeout, cwd=cwd)
        if station.connections:
            h.wait_until(lambda: station.results, 10, "the connection's end")
        station.close()
        self.assertTrue(station.results, "no connection: " + r.stderr)
        requests = [q for q in station.requests_seen() if q[0] != 148]
        return r, requests, station.results[0]

    def test_info_in_text_and_json(self):
        greeting = dict(host="tower", port=2203, sizes=(1, 2, 3, 4), entries=7, valid_only=True,
                        reports=False, mailing=False, frequency="131.725")
        r, requests, left = self.run_against({}, ["info"], greeting)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("port:          2203\n", r.stdout)
        self.assertIn("databases:     1 flights, 2 airlines, 3 types, 4 airports\n", r.stdout)
        self.assertIn("CRC:           only messages with a valid checksum are shown\n", r.stdout)
        self.assertIn("frequency:     131.725\n", r.stdout)
        self.assertEqual(requests, [(2, 0, b" ")])
        self.assertTrue(left)
        r, _, _ = self.run_against({}, ["--json", "info"], greeting)
        self.assertEqual(json_lines(r.stdout), [{
            "event": "station", "host": "tower", "port": 2203, "program": "korvad",
            "version": "1.oo", "notice": "fake station for the client's tests", "flights": 1,
            "airlines": 2, "types": 3, "airports": 4, "collection_entries": 7,
            "valid_only": True, "reports": False, "corrections": True, "mailing": False,
            "frequency": "131.725"}])

    def test_contact_searches(self):
        def contacts(peer, argument, payload):
            peer.send(4, "Good: 1, Upl: 0, Err parity: 0, block: 0, crc: 0")  # in between
            if payload == b"D-AIPX":
                peer.send(16, "2\tD-AIPX")
                peer.send(15, "1796703300\tLH1234\tFrankfurt - London")
                peer.send(5, "=[ Vol: 3, Extended: OFF ]=")
                peer.send(15, "1796789700\tLH1235\t-unknown-")
            else:
                peer.send(104, payload)
        def flights(peer, argument, payload):
            peer.send(16, "1\tLH1234", 1)
            peer.send(15, "1796703300\tD-AIPX\tA320")
        r, requests, left = self.run_against({14: contacts}, ["aircraft", "D-AIPX"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(requests, [(14, 0, b"D-AIPX"), (2, 0, b" ")])
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], "2 contacts of aircraft D-AIPX")
        self.assertRegex(lines[1], r"^\d\d/\d\d/\d{4} \d\d:\d\d  flight LH1234   route: Frankfurt - London$")
        self.assertEqual(len(lines), 3)
        r, _, _ = self.run_against({14: contacts}, ["--json", "aircraft", "N404"])
        self.assertEqual(r.returncode, 1)
        self.assertEqual(json_lines(r.stdout), [
            {"event": "not_found", "code": 104, "search": "aircraft", "key": "N404"}])
        r, requests, _ = self.run_against({17: flights}, ["--json", "flight", "LH1234"])
        self.assertEqual(requests, [(17, 0, b"LH1234"), (2, 0, b" ")])
        self.assertEqual(json_lines(r.stdout), [
            {"event": "found", "code": 16, "search": "flight", "count": 1, "key": "LH1234"},
            {"event": "flight_contact", "code": 15, "time": 1796703300,
             "registration": "D-AIPX", "aircraft_type": "A320"}])

    def test_records_and_a_list_stopped_part_way(self):
        asked = []
        record = "1796703300\t8\t12\t126\t2\tH1\t7\tD-AIPX\tM01A\tLH1234\tPOS N50\r\n\tA320\t\tLufthansa"
        def records(peer, argument, payload):
            asked.append(payload)
            peer.send(75, "2\tD-AIPX")
            peer.send(76, record)
            if len(asked) == 1:
                return  # the station reloaded its collection: no more of this list
            peer.send(76, record)
            peer.send(77, "!")
        r, requests, _ = self.run_against({73: records}, ["--json", "records", "D-AIPX"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("stopped its list after 1 entries", r.stderr)
        self.assertEqual([q[0] for q in requests], [73, 73, 2])
        objects = json_lines(r.stdout)
        self.assertEqual([o["event"] for o in objects], ["found", "record", "record"])
        self.assertEqual(objects[1]["text"], "POS N50\r\n")
        self.assertEqual(objects[1]["airline"], "Lufthansa")
        self.assertEqual(objects[1]["years_since_1900"], 126)
        r, _, _ = self.run_against({73: lambda p, a, t: p.send(74, t)}, ["records", "N404"])
        self.assertEqual((r.returncode, r.stdout), (1, "no records of aircraft N404\n"))

    def test_registration_batches(self):
        # 1000 names: two full batches, then the empty one that ends the list;
        # 1003 names with one batch cut short by its size.
        def lister(names, cuts):
            def answer(peer, argument, payload):
                peer.send(72, "%d\t500" % len(names))
                at = 0
                for size in cuts:
                    peer.send(71, "".join(n + "|" for n in names[at:at + size]))
                    at += size
            return answer
        names = ["N%05d" % i for i in range(1000)]
        r, requests, _ = self.run_against({70: lister(names, [500, 500, 0])}, ["registrations"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), names)
        self.assertEqual(requests, [(70, 0, b" "), (2, 0, b" ")])
        names = ["N%05d" % i for i in range(1003)]
        r, _, _ = self.run_against({70: lister(names, [500, 300, 200, 3])},
                                   ["--json", "registrations"])
        objects = json_lines(r.stdout)
        self.assertEqual(objects[0], {"event": "registration_count", "code": 72, "count": 1003,
                                      "batch": 500})
        self.assertEqual([o["registration"] for o in objects[1:]], names)
        r, _, _ = self.run_against({70: lister([], [0])}, ["registrations"])
        self.assertEqual((r.returncode, r.stdout), (0, ""))

    def test_reports(self):
        folder = tempfile.mkdtemp()
        try:
            def report(data):
                def answer(peer, argument, payload):
                    peer.send(22, "%d" % len(data))
                    peer.send(23, payload)
                    for at in range(0, len(data) + 1, 4096):
                        peer.send_raw(h.HEADER.pack(200, len(data[at:at + 4096]), 0)
                                      + data[at:at + 4096])
                return answer
            for size in (0, 4096, 10000):
                data = bytes(random.Random(size).randrange(256) for _ in range(size))
                r, requests, _ = self.run_against({19: report(data)}, ["report", "day.log"],
                                                  cwd=folder)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(requests, [(19, 0, b"day.log"), (2, 0, b" ")])
                with open(os.path.join(folder, "day.log"), "rb") as f:
                    self.assertEqual(f.read(), data)
                self.assertEqual(r.stdout, "day.log: %d bytes saved to ./day.log\n" % size)
            r, _, _ = self.run_against({19: report(b"abc")}, ["--json", "report", "x", "-o", "-"])
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith("abc{"))
            # More bytes than announced, or fewer: no file is left.
            def lying(peer, argument, payload):
                peer.send(22, "10")
                peer.send(23, payload)
                peer.send(200, b"x" * 5)
            r, _, _ = self.run_against({19: lying}, ["report", "short.log"], cwd=folder)
            self.assertEqual(r.returncode, 5)
            self.assertIn("ended after 5 of the 10 bytes", r.stderr)
            self.assertEqual(sorted(os.listdir(folder)), ["day.log"])
            r, _, _ = self.run_against({19: lambda p, a, t: p.send(105, b"No report for " + t)},
                                       ["report", "none.log"], cwd=folder)
            self.assertEqual((r.returncode, r.stderr), (1, "korvadclient: No report for none.log\n"))
            r, requests, _ = self.run_against({}, ["report", "day.log"], {"reports": False})
            self.assertEqual(r.returncode, 1)
            self.assertEqual(requests, [(2, 0, b" ")])
        finally:
            shutil.rmtree(folder)

    def test_names_and_fields_refused_before_connecting(self):
        station = FakeStation(greet_and_serve())
        base = ["-p", str(station.port), "127.0.0.1"]
        for args, message in (
                (["report", "../etc/passwd"], 'report "../etc/passwd" refused'),
                (["report", "a/b"], "without \"/\""),
                (["report", ".."], "refused"),
                (["chat", "an\tna"], "holds a tab"),
                (["confirm", "a@b", "12x"], "is not a number"),
                (["format", "a@b", "html"], "anad or korvad"),
                (["correct", "routes", "K", "V"], "flights, airlines or types"),
                (["delete", "N1", "AB0001", "yesterday", "7"], "not a number of seconds"),
                (["aircraft"], "usage: korvadclient [options] HOST aircraft REGISTRATION"),
                (["fly"], 'unknown command "fly"'),
                (["info", "-o", "x"], "-o FILE belongs to the report command")):
            r = run_client(base + args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(message, r.stderr, args)
        self.assertEqual(station.connections, 0)
        station.close()

    def test_subscriptions_corrections_delete(self):
        def subscription(code):
            def answer(peer, argument, payload):
                if code == 62 and argument != 1796703300:
                    peer.send(108, "Your authorisation code is wrong!")
                else:
                    peer.send(64, "done %d %d" % (code, argument))
            return answer
        answers = {c: subscription(c) for c in (60, 61, 62, 63, 66)}
        cases = [
            (["subscribe", "op@example.org"], (60, 0), 0, "done 60 0\n"),
            (["confirm", "op@example.org", "1796703300"], (62, 1796703300), 0,
             "done 62 1796703300\n"),
            (["confirm", "op@example.org", "5"], (62, 5), 1, "Your authorisation code is wrong!\n"),
            (["pause", "--", "op@example.org", "-3"], (63, -3), 0, "done 63 -3\n"),
            (["unsubscribe", "op@example.org", "9"], (61, 9), 0, "done 61 9\n"),
            (["format", "op@example.org", "anad"], (66, 1), 0, "done 66 1\n"),
            (["format", "op@example.org", "korvad"], (66, 0), 0, "done 66 0\n"),
        ]
        for args, (code, argument), status, out in cases:
            r, requests, _ = self.run_against(answers, args)
            self.assertEqual((r.returncode, r.stdout), (status, out), args)
            self.assertEqual(requests, [(code, argument, b"op@example.org"), (2, 0, b" ")])
            r, _, _ = self.run_against(answers, ["--json"] + args)
            self.assertEqual(json_lines(r.stdout)[0]["event"], "subscription")
            self.assertEqual(json_lines(r.stdout)[0]["accepted"], status == 0)

        verdicts = {30: 35, 31: 36, 32: 106}
        for kind, code in (("flights", 30), ("airlines", 31), ("types", 32)):
            def correction(peer, argument, payload, code=code):
                peer.send(verdicts[code], "%d 3" % verdicts[code])
            r, requests, _ = self.run_against({code: correction},
                                              ["correct", kind, "LH1234", "FRA-LHR"])
            self.assertEqual(requests, [(code, 0, b"LH1234\tFRA-LHR"), (2, 0, b" ")])
            self.assertIn("waiting up to 60 s for the station's verdict", r.stderr)
            expected = {35: (0, "accepted\n"), 36: (1, "rejected\n"),
                        106: (1, "127.0.0.1 lets no client change its databases\n")}
            self.assertEqual((r.returncode, r.stdout), expected[verdicts[code]])

        def delete(peer, argument, payload):
            reg, flight, when, key = payload.decode().split("\t")
            if key == "42":
                peer.send(105, "Entry '%s %s' successful deleted" % (reg, flight))
            else:
                peer.send(105, "Unable to delete entry '%s %s'" % (reg, flight))
        r, requests, _ = self.run_against({78: delete},
                                          ["delete", "D-AIPX", "LH1234", "1796703300", "42"])
        self.assertEqual((r.returncode, r.stdout), (0, "Entry 'D-AIPX LH1234' successful deleted\n"))
        self.assertEqual(requests, [(78, 0, b"D-AIPX\tLH1234\t1796703300\t42"), (2, 0, b" ")])
        r, _, _ = self.run_against({78: delete},
                                   ["--json", "delete", "D-AIPX", "LH1234", "1796703300", "7"])
        self.assertEqual(r.returncode, 1)
        self.assertEqual(json_lines(r.stdout), [{"event": "notice", "code": 105,
                                                 "text": "Unable to delete entry 'D-AIPX LH1234'"}])


class Live(unittest.TestCase):
    """watch and chat stay connected: keep-alives, reconnects, leaving."""

    def test_watch_shows_each_message_once_and_keeps_alive(self):
        def station_script(peer):
            peer.greet()
            peer.request()  # the greeting's keep-alive
            peer.send(149, " ")
            for i in range(5):
                peer.send(18, downlink("D-AIP%d" % i, "LH123%d" % i, "LINE %d\r\nEND" % i, i))
                peer.send(9, "A320\tD-AIP%d\tLH123%d\tLH123%d" % (i, i, i))
            peer.send(90, "station closes at noon")
            # Keep-alives every second from now on, then a leave.
            return peer.serve({})
        station = FakeStation(station_script)
        client = h.start_client(["--json", "--keepalive", "1", "-p", str(station.port),
                                 "127.0.0.1", "watch"])
        try:
            client.wait_for_line(lambda l: "broadcast" in l, what="the operator's notice")
            h.wait_until(lambda: sum(1 for q in station.requests_seen() if q[0] == 148) >= 3,
                         10, "three keep-alives")
            self.assertEqual(client.interrupt(), 0)
        finally:
            client.kill()
        h.wait_until(lambda: station.results, 10, "the leave")
        self.assertEqual(station.results, [True])  # ended with request 2
        objects = json_lines("\n".join(client.output()))
        messages = [o for o in objects if o["event"] == "message"]
        self.assertEqual([m["registration"] for m in messages], ["D-AIP%d" % i for i in range(5)])
        self.assertEqual(messages[3]["text"], "LINE 3\r\nEND")
        self.assertEqual(objects[0]["event"], "station")
        self.assertNotIn("keepalive", [o["event"] for o in objects])

    def test_watch_connects_again_with_growing_pauses(self):
        connections = []
        def station_script(peer):
            connections.append(time.monotonic())
            n = len(connections)
            if n in (2, 3):
                peer.send(100, "all 64 slots are busy. please try later!")
                return None
            peer.greet()
            peer.request()
            peer.send(149, " ")
            peer.send(18, downlink("N%d" % n, "AB000%d" % n, "FROM CONNECTION %d" % n))
            if n == 1:
                time.sleep(0.3)
                return None  # the station goes away
            return peer.serve({})
        station = FakeStation(station_script)
        client = h.start_client(["--count", "2", "-p", str(station.port), "127.0.0.1"])
        try:
            self.assertEqual(client.finish(timeout=30), 0)
        finally:
            client.kill()
        errors = client.error_text()
        for pause in (1, 2, 4):
            self.assertIn("connecting again in %d s" % pause, errors)
        self.assertIn("connected again to 127.0.0.1 port %d" % station.port, errors)
        out = "\n".join(client.output())
        self.assertEqual(out.count("FROM CONNECTION"), 2)
        self.assertIn("FROM CONNECTION 4", out)
        gaps = [b - a for a, b in zip(connections, connections[1:])]
        self.assertEqual(len(gaps), 3)
        for gap, pause in zip(gaps, (1, 2, 4)):
            self.assertGreaterEqual(gap, pause - 0.05)
        station.close()

    def test_watch_leaves_a_station_that_stops_answering(self):
        def mute(peer):
            peer.greet()
            peer.request()
            peer.send(149, " ")
            time.sleep(8)
        station = FakeStation(mute)
        client = h.start_client(["--keepalive", "1", "--timeout", "1", "-p", str(station.port),
                                 "127.0.0.1"])
        try:
            client.wait_for_error("no answer to the keep-alive within 1 s; connecting again in 1 s")
            self.assertEqual(client.interrupt(), 0)
        finally:
            client.kill()
        station.close()

    def test_chat_history_lines_and_leaving(self):
        def station_script(peer):
            peer.greet()
            peer.request()
            peer.send(149, " ")
            code, argument, nick = peer.request()
            assert (code, nick) == (52, b"anna"), (code, nick)
            peer.send(51, "bob\tearlier line")
            peer.send(18, downlink("N1", "AB0001", "not for the chat"))
            peer.send(54, "carl\tis now in chatmode\t1")
            while True:
                code, argument, text = peer.request()
                if code == 148:
                    peer.send(149, " ")
                elif code == 50:
                    peer.send(51, text)  # every line comes back to the chatters
                elif code == 53:
                    peer.send(54, "anna\thas closed chat window\t0")
                    return peer.request()[0] == 2
        station = FakeStation(station_script)
        r = run_client(["-p", str(station.port), "127.0.0.1", "chat", "anna"],
                       stdin=b"hello there\r\n\nsecond line")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "<bob> earlier line\n-- carl is now in chatmode\n"
                                   "<anna> hello there\n<anna> second line\n")
        h.wait_until(lambda: station.results, 10, "the leave")
        self.assertEqual(station.results, [True])
        said = [q for q in station.requests_seen() if q[0] in (50, 52, 53)]
        self.assertEqual(said, [(52, 0, b"anna"), (50, 0, b"anna\thello there"),
                                (50, 0, b"anna\tsecond line"), (53, 0, b"anna")])
        station.close()


class Manual(unittest.TestCase):
    def test_man_page_and_help_name_every_command(self):
        r = subprocess.run(["man", "--warnings", "-l", MANPAGE], capture_output=True, text=True,
                           env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        shown = re.sub(".\x08", "", r.stdout)  # no overstrike
        help_text = run_client(["--help"]).stdout
        for command in ("watch", "info", "aircraft", "flight", "records", "registrations",
                        "report", "chat", "subscribe", "confirm", "pause", "unsubscribe",
                        "format", "correct", "delete"):
            self.assertIn("\n  " + command, help_text)
            self.assertIn(command, shown)
        for option in ("--port", "--json", "--output", "--timeout", "--keepalive", "--count"):
            self.assertIn(option, help_text)
            self.assertIn(option, shown)


if __name__ == "__main__":
    h.CLIENT = os.path.abspath(sys.argv[1])
    MANPAGE = sys.argv[2]
    names = sys.argv[3:]
    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    suite = (unittest.TestSuite(loader.loadTestsFromName(n, module) for n in names)
             if names else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors),
                                     len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
