#!/usr/bin/python3
"""korvadweb over plain HTTP, end to end: the real korvad -s -c on loopback
with a recording paced in real time, real sockets; a scripted station where
the real one cannot be made to misbehave.

    korvadweb_test.py KORVADWEB KORVAD KORVAD_SYNTH KORVAD_PACE KORVADCLIENT [TestClass ...]
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "client"))
from korvadweb_harness import (EventStream, Web, contact_item, pace_into,  # noqa: E402
                               record_text, resident_kib, send_record, start_station, wait_until,
                               write_list_file)
import client_harness  # noqa: E402

KORVADWEB = KORVAD = SYNTH = PACE = KORVADCLIENT = None
HOST = socket.gethostname()[:32]

# What the recording sends, in order: every kind of field, a text with what
# JSON must escape, an uplink.
FRAMES = [
    "downlink mode=2 reg=.D-ABCD label=H1 block=1 seq=M01A flight=LH0400 text=POS N50 E008\\r\\nFL350",
    "downlink mode=2 reg=.N123AB label=Q0 block=2 seq=M02A flight=UA0901 text=",
    "uplink reg=.G-EUPT label=_d block=A ack=4",
    "downlink mode=X reg=.F-GKXA label=5Z block=3 seq=M03B flight=AF1234 "
    "text=say \"hi\" \\\\ <b>&amp;</b>\\ttab",
    "downlink mode=2 reg=.D-ABCD label=H1 block=4 seq=M04A flight=LH0400 text=ETA 1215",
]

CONTACTS = [  # the station's collection file: three contacts of D-ABCD, two of LH0400
    contact_item(1767268800, "D-ABCD", "LH0400", route="FRA-JFK"),
    contact_item(1767272400, "D-ABCD", "LH0402"),
    contact_item(1767276000, "D-ABCD", "LH0404", route="FRA-ORD"),
    contact_item(1767279600, "D-AIPX", "LH0400", aircraft_type="A320"),
    contact_item(1767283200, "N123AB", "UA0901"),
]


class WebCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvadweb-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def station(self, *args, port=None, collection=None):
        if collection is not None:
            write_list_file(os.path.join(self.folder, "korvad.db"), collection)
        s = start_station(KORVAD, self.folder, args, port=port)
        self.addCleanup(s.close)
        return s

    def web(self, port, host="127.0.0.1"):
        w = Web(KORVADWEB, self.folder, port, station_host=host)
        self.addCleanup(w.close)
        return w

    def recording(self, frames, name="rec.raw"):
        lines = os.path.join(self.folder, name + ".txt")
        with open(lines, "w") as f:
            f.write("\n".join(frames) + "\n")
        path = os.path.join(self.folder, name)
        listing = path + ".list"
        subprocess.run([SYNTH, "-q", "--snr", "40", "--gap", "1200", "--lead", "2500",
                        "--list", listing, lines, path], check=True)
        with open(listing) as f:
            return path, [line.split() for line in f if line[:1].isalpha()]

    def play(self, station, recording):
        pacer = pace_into(PACE, recording, station)
        self.addCleanup(lambda: pacer.poll() is None and pacer.kill())
        return pacer

    def reference_client(self, station, count):
        """korvadclient --json watch on the same station: the objects as the
        client prints them."""
        c = client_harness.start_client(["--json", "-p", str(station.port), "--count", str(count),
                                         "127.0.0.1", "watch"])
        self.addCleanup(c.kill)
        c.wait_for_line(lambda l: '"event": "station"' in l or '"event":"station"' in l,
                        what="korvadclient's greeting")
        return c

    def queue(self, station):
        # 0 is a good id (the first queue of a fresh IPC namespace).
        wait_until(lambda: station.queue_id() is not None, 10, "the station's queue id")
        return station.queue_id()


def without_ours(message):
    return {k: v for k, v in message.items() if k not in ("id", "received")}


class Interface(WebCase):
    def test_a_paced_recording_reaches_every_endpoint_as_the_station_sent_it(self):
        station = self.station("-F", "131.725 MHz", collection=CONTACTS)
        web = self.web(station.port)
        web.wait_connected()
        raw = station.connect()
        self.addCleanup(raw.close)
        greeting = raw.greeting()
        reference = self.reference_client(station, len(FRAMES))
        stream = web.events("/events")  # live from now on
        recording, sent = self.recording(FRAMES)
        started = time.time()
        self.play(station, recording)
        stream.wait_for(lambda s: len(s.messages()) == len(FRAMES), 120, "every message")
        ended = time.time()

        # What korvadclient --json printed for the same packets, field by field.
        self.assertEqual(reference.finish(60), 0)
        printed = [json.loads(l) for l in reference.output()]
        printed = [o for o in printed if o["event"] == "message"]
        got = web.get_json("/api/messages")
        self.assertEqual(got["last_id"], len(FRAMES))
        self.assertEqual([without_ours(m) for m in got["messages"]], printed)
        self.assertEqual(stream.messages(), got["messages"])
        self.assertEqual([m["id"] for m in got["messages"]], list(range(1, len(FRAMES) + 1)))
        self.assertEqual([i for k, i, _ in stream.events if k == "message"],
                         [str(n) for n in range(1, len(FRAMES) + 1)])
        for m in got["messages"]:
            self.assertTrue(int(started) <= m["received"] <= ended + 1, m)

        # And against the recording's own listing.
        def field(words, name):
            return next((w[len(name) + 1:] for w in words if w.startswith(name + "=")), "")
        self.assertEqual([m["registration"] for m in got["messages"]],
                         [field(w, "reg").lstrip(".") for w in sent])
        self.assertEqual([m["direction"] for m in got["messages"]], [w[0] for w in sent])
        self.assertEqual([m["label"] for m in got["messages"]], [field(w, "label") for w in sent])
        self.assertEqual([m["block_id"] for m in got["messages"]], [field(w, "block") for w in sent])
        texts = [m["text"] for m in got["messages"]]
        self.assertEqual(texts[0], "POS N50 E008\r\nFL350")
        self.assertEqual(texts[1], "-")  # the station's "no text"
        self.assertEqual(texts[3], 'say "hi" \\ <b>&amp;</b>\ttab')
        self.assertEqual(got["messages"][3]["mode"], "X")
        self.assertEqual(got["messages"][3]["flight"], "AF1234")

        # since and limit.
        self.assertEqual([m["id"] for m in web.get_json("/api/messages?since=3")["messages"]],
                         [4, 5])
        self.assertEqual([m["id"] for m in web.get_json("/api/messages?limit=2")["messages"]],
                         [4, 5])
        self.assertEqual(web.get_json("/api/messages?since=5"), {"last_id": 5, "messages": []})
        replay = web.events("/events?since=2")
        self.addCleanup(replay.close)
        replay.wait_for(lambda s: len(s.messages()) == 3, 20, "the replay")
        self.assertEqual(replay.messages(), got["messages"][2:])

        # The greeting, as the station sent it to a client of its own.
        info = web.info()
        codes = {code: payload.decode("latin-1") for code, _, payload in greeting}
        station_obj = info["station"]
        self.assertEqual("%s\t%d" % (station_obj["host"], station_obj["port"]), codes[1])
        self.assertEqual(station_obj["frequency"], codes[91])
        self.assertEqual(str(station_obj["collection_entries"]), codes[12])
        self.assertEqual(station_obj["collection_entries"], len(CONTACTS))
        self.assertEqual((station_obj["program"], station_obj["version"]), ("korvad", "1.oo"))
        self.assertEqual(codes[152].split("\n")[0], "korvad 1.oo")
        self.assertEqual((station_obj["reports"], station_obj["corrections"],
                          station_obj["mailing"]), (21 not in codes, 106 not in codes,
                                                    65 not in codes))
        self.assertEqual(info["link"], {"host": "127.0.0.1", "port": station.port,
                                        "connected": True, "since": info["link"]["since"],
                                        "reason": ""})
        self.assertEqual(info["messages"], {"received": 5, "uplinks": 1, "downlinks": 4, "kept": 5,
                                            "first_id": 1, "last_id": 5})
        self.assertEqual(info["counters"]["good"], 4)
        self.assertEqual(info["counters"]["uplinks"], 1)
        self.assertEqual(info["event_clients"], 2)

        # The day's counts hold all five.
        counts = web.get_json("/api/counts")
        self.assertEqual(counts["bucket_seconds"], 600)
        self.assertEqual(len(counts["buckets"]), 144)
        self.assertEqual(sum(b["count"] for b in counts["buckets"]), 5)
        starts = [b["start"] for b in counts["buckets"]]
        self.assertEqual(starts, list(range(starts[0], starts[0] + 144 * 600, 600)))
        self.assertTrue(starts[-1] <= time.time() < starts[-1] + 600, starts[-1])

    def test_the_page_files_and_their_headers(self):
        station = self.station()
        web = self.web(station.port)
        for path, kind, marker in (("/", "text/html", b'<script src="/korvadweb.js" defer>'),
                                   ("/korvadweb.css", "text/css", b"#messages"),
                                   ("/korvadweb.js", "text/javascript", b"textContent")):
            status, headers, body = web.get(path)
            self.assertEqual(status, 200, path)
            self.assertEqual(headers["content-type"], kind + "; charset=utf-8")
            self.assertIn(marker, body)
            with open(os.path.join(HERE, path[1:] or "index.html"), "rb") as f:
                self.assertEqual(body, f.read())
            policy = headers["content-security-policy"]
            self.assertIn("default-src 'none'", policy)
            self.assertIn("script-src 'self';", policy)
            self.assertNotIn("unsafe", policy)
            self.assertEqual(headers["x-content-type-options"], "nosniff")
        status, headers, body = web.get("/", headers={"Accept-Encoding": "gzip"})
        self.assertEqual(headers.get("content-encoding"), "gzip")
        # No script or style inside the page itself.
        with open(os.path.join(HERE, "index.html"), "rb") as f:
            page = f.read()
        self.assertEqual(page.count(b"<script"), 1)
        self.assertNotIn(b"<style", page)
        self.assertIsNone(re.search(rb"\son[a-z]+\s*=", page))
        self.assertNotIn(b"innerHTML", web.get("/korvadweb.js")[2])


class Searches(WebCase):
    def test_contacts_of_an_aircraft_and_of_a_flight_as_the_station_has_them(self):
        station = self.station(collection=CONTACTS)
        web = self.web(station.port)
        web.wait_connected()
        a = web.get_json("/api/aircraft/D-ABCD")
        self.assertEqual({k: a[k] for k in ("search", "key", "found", "count", "complete")},
                         {"search": "aircraft", "key": "D-ABCD", "found": True, "count": 3,
                          "complete": True})
        self.assertEqual([(c["event"], c["time"], c["flight"], c["route"]) for c in a["contacts"]],
                         [("aircraft_contact", 1767268800, "LH0400", "FRA-JFK"),
                          ("aircraft_contact", 1767272400, "LH0402", "-unknown-"),
                          ("aircraft_contact", 1767276000, "LH0404", "FRA-ORD")])
        f = web.get_json("/api/flight/LH0400")
        self.assertEqual((f["search"], f["count"], f["complete"]), ("flight", 2, True))
        self.assertEqual(sorted((c["registration"], c["aircraft_type"]) for c in f["contacts"]),
                         [("D-ABCD", "-unknown-"), ("D-AIPX", "A320")])
        none = web.get_json("/api/aircraft/ZZ-TOP")
        self.assertEqual(none, {"search": "aircraft", "key": "ZZ-TOP", "found": False, "count": 0,
                                "complete": True, "contacts": []})
        self.assertFalse(web.get_json("/api/flight/XX9999")["found"])
        # Case matters to the station.
        self.assertFalse(web.get_json("/api/aircraft/d-abcd")["found"])


def scripted_station(answers):
    """A station that greets and answers as told; every request recorded."""
    def script(peer):
        first = peer.request()
        if first is None:
            return False
        peer.greet(host="fake", port=2202)
        peer.send(149, " ")
        return peer.serve(answers)
    station = client_harness.FakeStation(script)
    return station


class Refusals(WebCase):
    def fake(self, answers=None):
        s = scripted_station(answers or {})
        self.addCleanup(s.close)
        web = self.web(s.port)
        web.wait_connected()
        return s, web

    def test_bad_paths_queries_and_methods_are_refused_and_never_reach_the_station(self):
        # The station's "found" says which search it answers: argument 0 for
        # an aircraft, 1 for a flight.
        station, web = self.fake({14: lambda peer, _, key: peer.send(16, b"0\t" + key, 0),
                                  17: lambda peer, _, key: peer.send(16, b"0\t" + key, 1)})
        cases = [
            ("/api/aircraft/", 400), ("/api/aircraft/N1234567", 400),
            ("/api/aircraft/%3Cimg%3E", 400), ("/api/aircraft/A%2FB", 400),
            ("/api/aircraft/A/B", 400), ("/api/aircraft/D%00X", 400),
            ("/api/aircraft/D-ABCD?x=1", 400), ("/api/flight/LH%200400", 400),
            ("/api/flight/LH04000", 400), ("/api/flight/%C3%84", 400),
            ("/api/messages?since=abc", 400), ("/api/messages?since=-1", 400),
            ("/api/messages?since=", 400), ("/api/messages?limit=0", 400),
            ("/api/messages?limit=2001", 400), ("/api/messages?bogus=1", 400),
            ("/api/messages?since=1&since=2", 400), ("/api/info?x=1", 400),
            ("/api/counts?x", 400), ("/events?since=x", 400), ("/events?from=1", 400),
            ("/?x=1", 400), ("/" + "a" * 300, 400), ("/a%20b", 400),
            ("/nothing", 404), ("/api", 404), ("/api/aircraft", 404), ("/index.html", 404),
        ]
        for path, expected in cases:
            status, headers, body = web.get(path)
            self.assertEqual(status, expected, path)
            self.assertIn("error", json.loads(body), path)
            self.assertIn("content-security-policy", headers)
        for method in ("POST", "PUT", "DELETE"):
            status, headers, _ = web.get("/api/info", method=method)
            self.assertEqual(status, 405, method)
            self.assertEqual(headers["allow"], "GET, HEAD")
        for host in ("evil.example", "evil.example:%d" % web.port, "127.0.0.1:1"):
            self.assertEqual(web.get("/api/info", headers={"Host": host})[0], 400, host)
        self.assertEqual(web.get("/api/info", headers={"Host": "localhost:%d" % web.port})[0], 200)
        # Nothing of that went to the station; a good search does, byte for byte.
        self.assertEqual([r[0] for r in station.requests_seen()], [148])
        self.assertTrue(web.get_json("/api/aircraft/D-AB.C_")["complete"])
        self.assertTrue(web.get_json("/api/flight/LH0400")["complete"])
        self.assertEqual(station.requests_seen()[1:], [(14, 0, b"D-AB.C_"), (17, 0, b"LH0400")])

    def test_a_station_that_stops_answering_a_search_in_the_middle(self):
        def partial(peer, argument, payload):
            peer.send(16, b"3\t" + payload)
            peer.send(15, b"1767268800\tLH0400\tFRA-JFK")  # and then nothing
        station, web = self.fake({14: partial})
        sent = time.monotonic()
        status, _, body = web.get("/api/aircraft/D-ABCD")
        self.assertLess(time.monotonic() - sent, 30)
        self.assertEqual(status, 504)
        answer = json.loads(body)
        self.assertEqual((answer["count"], answer["complete"], len(answer["contacts"])),
                         (3, False, 1))
        self.assertEqual(answer["error"], "the station did not answer in time")

    def test_a_search_while_the_station_is_away(self):
        port = client_harness.free_port()
        web = self.web(port)
        status, _, body = web.get("/api/aircraft/D-ABCD")
        self.assertEqual((status, json.loads(body)), (503, {"error": "the station is not connected"}))
        link = web.info()["link"]
        self.assertFalse(link["connected"])
        self.assertIn("connection refused", link["reason"])


class EventReaders(WebCase):
    def test_a_hundred_readers_and_the_next_is_refused(self):
        station = self.station()
        web = self.web(station.port)
        web.wait_connected()
        readers = []
        for _ in range(100):
            r = EventStream(web.port, "/events")
            self.addCleanup(r.close)
            self.assertEqual(r.status, 200)
            self.assertEqual(r.headers["content-type"], "text/event-stream")
            readers.append(r)
        refused = EventStream(web.port, "/events")
        self.addCleanup(refused.close)
        self.assertEqual(refused.status, 503)
        self.assertEqual(refused.headers["retry-after"], "10")
        self.assertEqual(web.info()["event_clients"], 100)
        # Every reader gets a message; one leaves and the next is let in.
        send_record(self.queue(station), record_text("D-ABCD", "LH0400", "to all"))
        for r in readers:
            r.wait_for(lambda s: len(s.messages()) == 1, 30, "the message")
            self.assertEqual(r.messages()[0]["text"], "to all")
        readers[0].close()
        wait_until(lambda: web.info()["event_clients"] == 99, 30, "the reader to be gone")
        again = EventStream(web.port, "/events")
        self.addCleanup(again.close)
        self.assertEqual(again.status, 200)

    def test_a_reader_that_never_reads_is_dropped_and_memory_stays_bounded(self):
        station = self.station()
        web = self.web(station.port)
        web.wait_connected()
        queue = self.queue(station)
        watcher = web.events("/events")
        self.addCleanup(watcher.close)
        big = "X" * 2800  # about what a queue message holds

        def push(first, n):
            # The watcher keeps reading while the messages go in: a reader
            # that takes nothing for the write timeout is dropped like the
            # stalled one.
            for i in range(first, first + n):
                send_record(queue, record_text("D-ABCD", "LH0400", "%06d %s" % (i, big)))
                watcher.pump(0.001)
            wait_until(lambda: watcher.pump(0.01) is not None and
                       web.info()["messages"]["last_id"] == first + n - 1, 60,
                       "korvadweb to take the messages")
        push(1, 2000)  # the store is full: its size is what it will be
        watcher.wait_for(lambda s: len(s.messages()) == 2000, 60, "the watcher's messages")
        before = resident_kib(web.proc.pid)
        stalled = EventStream(web.port, "/events", read=False)
        self.addCleanup(stalled.close)
        wait_until(lambda: web.info()["event_clients"] == 2, 10, "the stalled reader")
        # 18 MB for a reader that takes none of it: more than the socket buffers.
        for round in range(6):
            push(2001 + round * 1000, 1000)
            watcher.wait_for(lambda s: len(s.messages()) == 3000 + round * 1000, 60, "the watcher")
        wait_until(lambda: web.info()["event_clients"] == 1, 30, "the stalled reader to be dropped")
        grown = resident_kib(web.proc.pid) - before
        # AddressSanitizer keeps freed memory aside for a while: there the
        # figure says nothing about korvadweb.
        with open("/proc/%d/maps" % web.proc.pid) as f:
            sanitized = "libasan" in f.read()
        if not sanitized:
            self.assertLess(grown, 8 * 1024, "korvadweb grew by %d KiB" % grown)
        self.assertEqual(web.info()["messages"]["kept"], 2000)


class StationRestart(WebCase):
    def test_the_station_killed_and_started_again(self):
        station = self.station()
        port = station.port
        web = self.web(port)
        web.wait_connected()
        stream = web.events("/events")
        self.addCleanup(stream.close)
        send_record(self.queue(station), record_text("D-ABCD", "LH0400", "before"))
        stream.wait_for(lambda s: len(s.messages()) == 1, 30, "the first message")
        station.close()  # SIGKILL to every process of it
        stream.wait_for(lambda s: s.last("link") and not s.last("link")["link"]["connected"], 30,
                        "the link to go")
        self.assertFalse(web.info()["link"]["connected"])
        self.assertEqual(web.get("/api/flight/LH0400")[0], 503)
        again = self.station(port=port)
        stream.wait_for(lambda s: s.last("link")["link"]["connected"], 30, "the link to come back")
        send_record(self.queue(again), record_text("D-EFGH", "LH0402", "after"))
        stream.wait_for(lambda s: len(s.messages()) == 2, 30, "the next message")
        self.assertEqual([(m["id"], m["text"]) for m in stream.messages()],
                         [(1, "before"), (2, "after")])
        self.assertEqual(web.get_json("/api/messages")["last_id"], 2)

    def test_sigterm_ends_korvadweb_with_readers_connected(self):
        station = self.station()
        web = self.web(station.port)
        web.wait_connected()
        readers = [web.events("/events") for _ in range(3)]
        for r in readers:
            self.addCleanup(r.close)
            r.wait_for(lambda s: s.last("link"), 10, "the link object")
        sent = time.monotonic()
        self.assertEqual(web.stop(signal.SIGTERM), 0)
        self.assertLess(time.monotonic() - sent, 10)
        for r in readers:
            wait_until(lambda: (r.pump(0.2), r.closed)[1], 10, "the stream to end")
        self.assertIn("korvadweb: stopped", web.errors())


if __name__ == "__main__":
    KORVADWEB, KORVAD, SYNTH, PACE, KORVADCLIENT = sys.argv[1:6]
    client_harness.CLIENT = KORVADCLIENT
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)
