#!/usr/bin/python3
"""korvadclient against the real korvad server on loopback (korvad -s -c with
its audio from a pipe): what the station decodes reaches watch once, the
collection answers, reports byte for byte, chat, subscriptions, corrections,
deletes, reconnects after a restart, the 65th client. Every command runs
once more with --json, read back by Python's json module.

    client_station_test.py KORVAD KORVADCLIENT SYNTH REFDB PACE STATION_DIR [TestClass ...]

STATION_DIR holds korvad_station.py, the server tests' helper that starts
korvad and speaks the protocol from Python.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import client_harness as h
from client_harness import json_lines, wait_until

KORVAD = SYNTH = REFDB = PACE = None
Station = contact_item = write_list_file = StationClient = None
HOST = socket.gethostname()[:32]

# One afternoon's traffic: every line a block korvad-synth sends; the
# squitter is not passed to clients.
FRAMES = r"""
downlink mode=2 reg=.G-EUPT label=H1 block=2 seq=M01A flight=BA0117 text=#DFBA0117 POS N51284W001239,LHR\r\n
uplink mode=2 reg=.G-EUPT label=_d block=A
downlink mode=2 reg=.D-AIKB label=10 block=3 seq=D02A flight=LH0400 text=OUT 1215 FOB 0412\r\n
squitter mode=2 text=02XAEGLLEGLL15129N00027WV136975/
downlink mode=2 reg=.N784AV label=5Z block=4 seq=M23B flight=AV0120 text=/WXRQ KJFK\r\n
uplink mode=2 reg=.N784AV label=C1 block=B text=KJFK 121451Z 31012KT 10SM\r\nTAF KJFK 1212/1318\r\n
downlink mode=2 reg=.EI-DVM label=SA block=6 seq=S03A flight=EI0154 text=0EV121533V
downlink mode=2 reg=.PH-BXA label=15 block=9 seq=K17A flight=KL0643 text=FST01EGLLKJFK N5133W00400 350\r\n
"""
SENT = [(line.split()[0], line.split()[2][5:], line.split("text=")[1].replace("\\r\\n", "\r\n")
         if "text=" in line else "-")
        for line in FRAMES.strip().splitlines() if not line.startswith("squitter")]


class StationCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvadclient-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def start(self, *args, collection=None, port=None):
        if collection is not None:
            write_list_file(os.path.join(self.folder, "korvad.db"), collection)
        station = Station(KORVAD, self.folder, args, port=port)
        self.addCleanup(station.close)
        return station.wait_listening()

    def client(self, station, *args, timeout=90, cwd=None):
        return h.run_client(["-p", str(station.port), "127.0.0.1"] + list(args),
                            timeout=timeout, cwd=cwd)

    def live(self, station, *args):
        client = h.start_client(["-p", str(station.port), "127.0.0.1"] + list(args))
        self.addCleanup(client.kill)
        return client

    def both(self, station, *args, status=0, cwd=None):
        """The command in text and in JSON; the JSON objects."""
        text = self.client(station, *args, cwd=cwd)
        self.assertEqual(text.returncode, status, text.stderr)
        as_json = self.client(station, "--json", *args, cwd=cwd)
        self.assertEqual(as_json.returncode, status, as_json.stderr)
        return text, json_lines(as_json.stdout)

    def reference_files(self, **entries):
        for name, pairs in entries.items():
            source = os.path.join(self.folder, name + ".txt")
            with open(source, "w") as f:
                f.writelines("%s\t%s\n" % pair for pair in pairs)
            subprocess.run([REFDB, "build", source, os.path.join(self.folder, "korvad-%s.db" % name)],
                           check=True, capture_output=True)

    def play(self, station, frames):
        """The frames as korvad-synth sends them, paced in real time by
        korvad-pace into the station's audio pipe; silence after them."""
        listing = os.path.join(self.folder, "frames.txt")
        recording = os.path.join(self.folder, "traffic.raw")
        with open(listing, "w") as f:
            f.write(frames)
        subprocess.run([SYNTH, "-q", "--gap", "1500", "--within", "40000", listing, recording],
                       check=True)

        def feed():
            with open(recording, "rb") as audio:
                pace = subprocess.Popen([PACE, "19500"], stdin=audio, stdout=subprocess.PIPE)
                for chunk in iter(lambda: pace.stdout.read(1950), b""):
                    station.write_audio(chunk)
                pace.wait()
            station.flow()
        threading.Thread(target=feed, daemon=True).start()


class Traffic(StationCase):
    def test_info_and_watch_show_what_was_sent(self):
        self.reference_files(flights=[("BA0117", "LHR-JFK"), ("LH0400", "FRA-JFK")],
                             airlines=[("BA", "British Airways"), ("LH", "Lufthansa"),
                                       ("KL", "KLM")],
                             types=[("G-EUPT", "A319")],
                             airports=[("LHR", "London"), ("JFK", "New York"),
                                       ("FRA", "Frankfurt"), ("AMS", "Amsterdam")])
        collection = [contact_item(1700000000 + i, "D-AB%02d" % i, "LH%04d" % i) for i in range(5)]
        station = self.start("-F", "131.725 MHz", "-R", self.folder, collection=collection)
        text, objects = self.both(station, "info")
        self.assertIn("host:          %s\nport:          %d\nstation:       korvad 1.oo\n"
                      % (HOST, station.port), text.stdout)
        self.assertIn("databases:     2 flights, 3 airlines, 1 types, 4 airports\n"
                      "collection:    5 entries\nCRC:           all messages are shown\n"
                      "reports:       a report folder is kept\ncorrections:   no\n"
                      "mailing:       no\nfrequency:     131.725 MHz\n", text.stdout)
        station_object = dict(objects[0], notice=None)
        self.assertEqual(station_object, {
            "event": "station", "host": HOST, "port": station.port, "program": "korvad",
            "version": "1.oo", "notice": None, "flights": 2, "airlines": 3, "types": 1,
            "airports": 4, "collection_entries": 5, "valid_only": False, "reports": True,
            "corrections": False, "mailing": False, "frequency": "131.725 MHz"})

        as_json = self.live(station, "--json", "watch")
        as_text = self.live(station, "watch")
        as_json.wait_for_line(lambda l: '"event":"station"' in l, what="the greeting")
        as_text.wait_for_line(lambda l: l.startswith("Connected to %s port %d" % (HOST, station.port)),
                              what="the greeting")
        self.play(station, FRAMES)
        last = SENT[-1][2].rstrip("\r\n")
        as_json.wait_for_line(lambda l: last in l, timeout=90, what="the last message")
        as_text.wait_for_line(lambda l: last in l, timeout=30, what="the last message")
        self.assertEqual(as_json.interrupt(), 0)
        self.assertEqual(as_text.interrupt(), 0)
        wait_until(lambda: station.server_title() == "korvad server, 0 clients connected", 20,
                   "both watchers to leave")

        messages = [o for o in json_lines("\n".join(as_json.output())) if o["event"] == "message"]
        self.assertEqual([(m["direction"], m["registration"], m["text"]) for m in messages],
                         [(kind, reg.lstrip("."), text) for kind, reg, text in SENT])
        first = messages[0]
        self.assertEqual((first["flight"], first["route"], first["airline"], first["aircraft_type"],
                          first["label"], first["block_id"], first["message_number"]),
                         ("BA0117", "London-New York", "British Airways", "A319", "H1", "2",
                          "M01A"))
        self.assertRegex(first["time_text"], r"^\d\d/\d\d/\d{4} \d\d:\d\d$")
        shown = "\n".join(as_text.output())
        for kind, reg, message in SENT:
            heading = "  %s  %s [" % ("downlink" if kind == "downlink" else "uplink  ", reg.lstrip("."))
            self.assertEqual(shown.count(heading), 1, heading)
        self.assertIn("  | KJFK 121451Z 31012KT 10SM\n  | TAF KJFK 1212/1318\n", shown)
        self.assertIn("  flight BA0117  message M01A  route: London-New York  airline: British "
                      "Airways\n", shown)


class Collection(StationCase):
    """A collection of 1200 entries: 400 aircraft, three contacts each."""

    def setUp(self):
        super().setUp()
        self.entries = []
        for n in range(400):
            for day in range(3):
                self.entries.append(contact_item(
                    1700000000 + day * 86400 + n, "N%04dX" % n, "AB%04d" % (n % 7 + day),
                    text="POS %d\r\n" % n if day == 0 else None,
                    aircraft_type="B738" if n % 2 else None, route="JFK-LAX" if day else None,
                    airline="Airline %d" % (n % 7), day=day + 1))
        self.station = self.start(collection=self.entries)

    def test_registrations_every_entry_once_per_contact(self):
        text, objects = self.both(self.station, "registrations")
        expected = sorted("N%04dX" % n for n in range(400) for _ in range(3))
        self.assertEqual(text.stdout.splitlines(), expected)
        self.assertEqual(objects[0], {"event": "registration_count", "code": 72, "count": 1200,
                                      "batch": 500})
        self.assertEqual([o["registration"] for o in objects[1:]], expected)

    def test_aircraft_flight_and_records(self):
        text, objects = self.both(self.station, "aircraft", "N0123X")
        self.assertEqual(text.stdout.splitlines()[0], "3 contacts of aircraft N0123X")
        self.assertEqual(len(text.stdout.splitlines()), 4)
        self.assertEqual(objects[0], {"event": "found", "code": 16, "search": "aircraft",
                                      "count": 3, "key": "N0123X"})
        self.assertEqual(sorted((o["time"], o["flight"], o["route"]) for o in objects[1:]),
                         [(1700000123, "AB%04d" % (123 % 7), "-unknown-"),
                          (1700086523, "AB%04d" % (123 % 7 + 1), "JFK-LAX"),
                          (1700172923, "AB%04d" % (123 % 7 + 2), "JFK-LAX")])

        text, objects = self.both(self.station, "flight", "AB0000")
        expected = sorted((e_time, reg) for e_time, reg in
                          ((1700000000 + day * 86400 + n, "N%04dX" % n)
                           for n in range(400) for day in range(3) if n % 7 + day == 0))
        self.assertEqual(objects[0]["count"], len(expected))
        self.assertEqual(sorted((o["time"], o["registration"]) for o in objects[1:]), expected)
        self.assertTrue(all(o["event"] == "flight_contact" for o in objects[1:]))
        self.assertEqual(len(text.stdout.splitlines()), len(expected) + 1)

        text, objects = self.both(self.station, "records", "N0123X")
        self.assertEqual([o["event"] for o in objects], ["found", "record", "record", "record"])
        day_one = next(o for o in objects[1:] if o["day"] == 1)
        self.assertEqual(day_one, {
            "event": "record", "code": 76, "time": 1700000123, "day": 1, "month": 1,
            "years_since_1900": 126, "mode": "2", "label": "H1", "block_id": "1",
            "registration": "N0123X", "message_number": "M01A", "flight": "AB%04d" % (123 % 7),
            "text": "POS 123\r\n", "aircraft_type": "B738", "route": "", "airline": "Airline 4"})
        self.assertIn("  text:\n    POS 123\n", text.stdout)

        for command in ("aircraft", "flight", "records"):
            text, objects = self.both(self.station, command, "ZZ999", status=1)
            self.assertEqual(objects[0]["event"], "not_found")
            self.assertEqual(objects[0]["key"], "ZZ999")


class Reports(StationCase):
    def test_reports_arrive_byte_for_byte(self):
        reports = os.path.join(self.folder, "reports")
        downloads = os.path.join(self.folder, "downloads")
        os.mkdir(reports)
        os.mkdir(downloads)
        contents = {}
        for size in (0, 4096, 10000):
            data = bytes((i * 7 + size) % 256 for i in range(size))
            contents["day-%d.log" % size] = data
            with open(os.path.join(reports, "day-%d.log" % size), "wb") as f:
                f.write(data)
        station = self.start("-R", reports)
        for name, data in contents.items():
            text, objects = self.both(station, "report", name, cwd=downloads)
            self.assertEqual(text.stdout, "%s: %d bytes saved to ./%s\n" % (name, len(data), name))
            self.assertEqual(objects, [{"event": "report", "name": name, "file": "./" + name,
                                        "bytes": len(data)}])
            with open(os.path.join(downloads, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
        saved = os.path.join(self.folder, "elsewhere.bin")
        r = self.client(station, "report", "day-10000.log", "-o", saved)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(saved, "rb") as f:
            self.assertEqual(f.read(), contents["day-10000.log"])

        r = self.client(station, "report", "../reports/day-0.log", cwd=downloads)
        self.assertEqual(r.returncode, 2)
        self.assertIn("without \"/\"", r.stderr)
        text, objects = self.both(station, "report", "missing.log", status=1, cwd=downloads)
        self.assertEqual(text.stderr, "korvadclient: No report for missing.log\n")
        self.assertEqual(objects[-1]["event"], "error")
        self.assertEqual(sorted(os.listdir(downloads)), sorted(contents))


class Chat(StationCase):
    def test_two_clients_chat_and_a_third_gets_the_history(self):
        station = self.start()
        bob = self.live(station, "chat", "bob")
        wait_until(lambda: "in the chat as bob" in bob.error_text(), 20, "bob in the chat")
        anna = self.live(station, "--json", "chat", "anna")
        bob.wait_for_line(lambda l: l == "* anna logged in", what="anna's arrival")
        bob.wait_for_line(lambda l: l == "-- anna is now in chatmode", what="anna's presence")
        wait_until(lambda: "in the chat as anna" in anna.error_text(), 20, "anna in the chat")
        anna.type("hello bob\n")
        bob.wait_for_line(lambda l: l == "<anna> hello bob", what="anna's line")
        bob.type("hi anna\n")
        anna.wait_for_line(lambda l: '"text":"hi anna"' in l, what="bob's line")
        anna.end_input()
        self.assertEqual(anna.finish(), 0)
        bob.wait_for_line(lambda l: l == "* anna has closed chat window", what="anna leaving")
        objects = json_lines("\n".join(anna.output()))
        self.assertIn({"event": "chat", "code": 51, "nick": "anna", "text": "hello bob"}, objects)
        self.assertIn({"event": "chat", "code": 51, "nick": "bob", "text": "hi anna"}, objects)
        # A newcomer gets what was said.
        carl = self.client(station, "chat", "carl", timeout=30)
        self.assertEqual(carl.returncode, 0, carl.stderr)
        self.assertIn("<anna> hello bob\n<bob> hi anna\n", carl.stdout)
        bob.end_input()
        self.assertEqual(bob.finish(), 0)
        wait_until(lambda: station.server_title() == "korvad server, 0 clients connected", 20,
                   "every chatter to leave")


class StationAnswers(StationCase):
    """Subscriptions, corrections and deletes, through to the station's answers."""

    def test_without_mail_corrections_or_deletes(self):
        station = self.start(collection=[contact_item(1700000000, "D-ABCD", "LH0400")])
        for args in (["subscribe", "anna@example.org"], ["confirm", "anna@example.org", "17"],
                     ["pause", "anna@example.org", "17"], ["unsubscribe", "anna@example.org", "1"],
                     ["format", "anna@example.org", "anad"]):
            text, objects = self.both(station, *args, status=1)
            self.assertEqual(text.stdout, "No support for daily reports on this server\n")
            self.assertEqual(objects, [{"event": "subscription", "code": 108, "accepted": False,
                                        "text": "No support for daily reports on this server"}])
        text, objects = self.both(station, "correct", "flights", "LH0400", "FRA-JFK", status=1)
        self.assertEqual(text.stdout, "127.0.0.1 lets no client change its databases\n")
        self.assertEqual(objects, [{"event": "no_corrections", "code": 106}])
        text, objects = self.both(station, "delete", "D-ABCD", "LH0400", "1700000000", "x",
                                  status=1)
        self.assertEqual(text.stdout, "Delete on this server is not allowed!\n")

    def test_deletes_answered(self):
        station = self.start("-D", "secret",
                             collection=[contact_item(1700000000, "D-ABCD", "LH0400"),
                                         contact_item(1700086400, "D-ABCD", "LH0401", day=2)])
        station.flow()
        r = self.client(station, "delete", "D-ABCD", "LH0400", "1700000000", "wrong")
        self.assertEqual((r.returncode, r.stdout), (1, "Unable to delete entry 'D-ABCD LH0400'\n"))
        r = self.client(station, "--json", "delete", "D-ABCD", "LH0400", "1700000000", "secret")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(json_lines(r.stdout), [{"event": "notice", "code": 105,
                                                 "text": "Entry 'D-ABCD LH0400' successful deleted"}])

    def test_corrections_answered(self):
        station = self.start("-a")
        if not any(t.startswith("korvad database server") for _, t in station.children()):
            self.skipTest("this korvad starts no database server for -a")
        station.flow()
        text, objects = self.both(station, "correct", "flights", "LH0400", "FRA-JFK")
        self.assertEqual(text.stdout, "accepted\n")
        self.assertEqual(objects, [{"event": "correction", "code": 35, "accepted": True}])
        text, objects = self.both(station, "correct", "flights", "LH0400", "FRANKFURT", status=1)
        self.assertEqual(text.stdout, "rejected\n")
        self.assertEqual(objects, [{"event": "correction", "code": 36, "accepted": False}])
        r = self.client(station, "correct", "types", "D-ABCD", "A320")
        self.assertEqual((r.returncode, r.stdout), (0, "accepted\n"), r.stderr)

    def test_subscriptions_through_to_the_answers(self):
        shown = subprocess.run([KORVAD, "--help"], capture_output=True, text=True).stdout
        if "--mail-programs" not in shown:
            self.skipTest("this korvad has no daily mailing")
        programs = os.path.join(self.folder, "bin")
        mails = os.path.join(self.folder, "mails")
        os.mkdir(programs)
        os.mkdir(mails)
        for name, body in (("sendmail", 't=$(mktemp %s/part.XXXXXX)\ncat > "$t"\nmv "$t" "$t.mail"\n'
                            % mails), ("zip", "exit 0\n"), ("mimencode", "exit 0\n")):
            with open(os.path.join(programs, name), "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(os.path.join(programs, name), 0o755)
        station = self.start("--mail-programs", programs, "-M", "station")
        r = self.client(station, "subscribe", "anna@example.org")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "You are now subscribed. You'll receive a mail with your "
                                   "authorisation code.\nPlease send this code back to this korvad "
                                   "Server with your korvadclient to get fully enabled.\n")
        mail = wait_until(lambda: [n for n in os.listdir(mails) if n.endswith(".mail")], 20,
                          "the code mail")
        r = self.client(station, "--json", "subscribe", "Anna@Example.org")
        self.assertEqual((r.returncode, json_lines(r.stdout)), (1, [{
            "event": "subscription", "code": 108, "accepted": False,
            "text": "You are already subscribed but we send the code again :)"}]))
        with open(os.path.join(mails, mail[0])) as f:
            code = re.search(r"Your code: (\d+)\n", f.read()).group(1)
        text, objects = self.both(station, "confirm", "anna@example.org", str(int(code) + 1),
                                  status=1)
        self.assertEqual(text.stdout, "Your authorisation code is wrong!\n")
        r = self.client(station, "--json", "confirm", "anna@example.org", code)
        self.assertEqual(json_lines(r.stdout), [{
            "event": "subscription", "code": 64, "accepted": True,
            "text": "You are now fully subscribed to this Server\n\nYou now should receive daily "
                    "reports with your mail."}])
        text, objects = self.both(station, "format", "anna@example.org", "anad")
        self.assertEqual(text.stdout, "Your logfile format is now: ANAD Style\n")
        text, objects = self.both(station, "pause", "anna@example.org", code)
        self.assertEqual(text.stdout, "Your subscription is temporarily disabled\n\nYou must "
                                      "activate your account to receive reports again\n")
        r = self.client(station, "--json", "unsubscribe", "anna@example.org", code)
        self.assertEqual((r.returncode, json_lines(r.stdout)), (0, [{
            "event": "subscription", "code": 64, "accepted": True,
            "text": "You are now unsubscribed from this Server"}]))
        r = self.client(station, "confirm", "anna@example.org", code)
        self.assertEqual((r.returncode, r.stdout), (1, "You are not subscribed to this Server\n"))


class Connections(StationCase):
    def test_watch_connects_again_after_a_restart(self):
        port = h.free_port()
        station = self.start(port=port)
        watcher = self.live(station, "--json", "watch")
        watcher.wait_for_line(lambda l: '"event":"station"' in l, what="the greeting")
        self.assertEqual(station.stop(), 5)
        watcher.wait_for_error("connecting again in 1 s")
        watcher.wait_for_error("connecting again in 2 s")
        # A new korvad on the same port.
        station = self.start(port=port)
        watcher.wait_for_error("connected again to 127.0.0.1 port %d" % port, timeout=30)
        wait_until(lambda: sum('"event":"station"' in l for l in watcher.output()) == 2, 20,
                   "the second greeting")
        self.play(station, FRAMES)
        last = SENT[-1][2].rstrip("\r\n")
        watcher.wait_for_line(lambda l: last in l, timeout=90, what="a message after the restart")
        self.assertEqual(watcher.interrupt(), 0)
        objects = json_lines("\n".join(watcher.output()))
        events = [o["event"] for o in objects]
        self.assertIn("disconnected", events)
        self.assertLess(events.index("disconnected"), events.index("message"))

    def test_the_65th_client_is_told_the_station_is_busy(self):
        station = self.start()
        clients = [StationClient(station.port) for _ in range(64)]
        try:
            for c in clients:
                c.greeting()
            for args in (["info"], ["--json", "info"]):
                r = self.client(station, *args, timeout=30)
                self.assertEqual(r.returncode, 4, r.stderr)
                self.assertIn("is busy: all 64 slots are busy. please try later!", r.stderr)
            self.assertEqual(json_lines(r.stdout)[-1]["status"], 4)
            clients.pop().close()
            wait_until(lambda: station.server_title() == "korvad server, 63 clients connected",
                       20, "one slot to be free")
            r = self.client(station, "info")
            self.assertEqual(r.returncode, 0, r.stderr)
        finally:
            for c in clients:
                c.close()


if __name__ == "__main__":
    KORVAD, h.CLIENT, SYNTH, REFDB, PACE = (os.path.abspath(p) for p in sys.argv[1:6])
    sys.path.insert(0, os.path.abspath(sys.argv[6]))
    import korvad_station
    Station = korvad_station.Station
    StationClient = korvad_station.Client
    contact_item = korvad_station.contact_item
    write_list_file = korvad_station.write_list_file
    names = sys.argv[7:]
    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    suite = (unittest.TestSuite(loader.loadTestsFromName(n, module) for n in names)
             if names else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors),
                                     len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
