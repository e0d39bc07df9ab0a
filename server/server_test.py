#!/usr/bin/python3
"""The server process end to end: the real korvad -s -c on loopback, real
sockets, audio through a pipe.

    server_test.py KORVAD KORVAD_SYNTH KORVADM [TestClass ...]
"""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from korvad_station import (Client, Station, children_of, contact_item, free_port, packet,  # noqa: E402
                            queue_ids, queue_send, reference_item, ring_segments, wait_until,
                            write_list_file)

KORVAD = SYNTH = KORVADM = None
HOST = socket.gethostname()[:32]


class ServerCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvad-server-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def start(self, *args, port=None, collection=None, folder=None):
        """folder: another working folder than the test's (one korvad per folder)."""
        folder = folder or self.folder
        if collection is not None:
            write_list_file(os.path.join(folder, "korvad.db"), collection)
        station = Station(KORVAD, folder, args, port=port)
        self.addCleanup(station.close)
        return station.wait_listening()

    def connect(self, station, port=None):
        client = station.connect(port)
        self.addCleanup(client.close)
        return client

    def assertAnswers(self, client):
        """The connection stands and the server answers it."""
        client.send(148, " ")
        self.assertEqual(client.skip_to((149,)), (149, 0, b" "))


class Greeting(ServerCase):
    def test_every_combination_of_reports_modify_mail_and_frequency(self):
        for name, entries in (("flights", 3), ("airlines", 2), ("types", 1), ("airports", 4)):
            write_list_file(os.path.join(self.folder, "korvad-%s.db" % name),
                            [reference_item("K%d" % i, "V") for i in range(entries)])
        write_list_file(os.path.join(self.folder, "korvad.db"),
                        [contact_item(1700000000 + i, "D-AB%02d" % i, "LH%04d" % i) for i in range(5)])
        stations = []
        for combination in range(16):
            args = []
            if combination & 1:
                args += ["-R", self.folder]
            if combination & 2:
                args += ["-a"]
            if combination & 4:
                args += ["-M", "station"]
            if combination & 8:
                args += ["-F", "131.725 MHz"]
            if combination == 5:
                args += ["-k"]
            # One working folder each: a second korvad in a folder is refused.
            own = os.path.join(self.folder, "station-%d" % combination)
            os.mkdir(own)
            for name in os.listdir(self.folder):
                if name.endswith(".db"):
                    shutil.copy(os.path.join(self.folder, name), own)
            station = Station(KORVAD, own, args)
            self.addCleanup(station.close)
            stations.append((combination, station))
        for combination, station in stations:
            station.wait_listening()
            mail = "Your system is ready for subscriptions!" in station.errors()
            expected = (packet(1, "%s\t%d" % (HOST, station.port)) + packet(11, "3\t2\t1\t4") +
                        packet(12, "5") +
                        packet(152, "korvad 1.oo\nACARS traffic as it is received, live\t ") +
                        packet(25 if combination == 5 else 26, " "))
            if not combination & 1:
                expected += packet(21, " ")
            if not combination & 2:
                expected += packet(106, " ")
            if not (combination & 4 and mail):
                expected += packet(65, " ")
            if combination & 8:
                expected += packet(91, "131.725 MHz")
            client = self.connect(station)
            got = b"".join(packet(c, p, a) for c, a, p in client.greeting())
            self.assertEqual(got, expected, "combination %d" % combination)
        # The first packet, byte by byte: code 1, length, argument 0.
        text = ("%s\t%d" % (HOST, stations[-1][1].port)).encode()
        self.assertEqual(expected[:12 + len(text)],
                         bytes([1, 0, 0, 0, len(text), 0, 0, 0, 0, 0, 0, 0]) + text)


class Slots(ServerCase):
    def test_the_65th_client_is_refused_and_the_first_64_stay(self):
        station = self.start()
        clients = [self.connect(station) for _ in range(64)]
        for client in clients:
            self.assertEqual(client.greeting()[0][0], 1)
        wait_until(lambda: station.server_title() == "korvad server, 64 clients connected", 10,
                   "64 clients in the title")
        extra = Client(station.port)
        self.addCleanup(extra.close)
        self.assertEqual(extra.next(), (100, 0, b"all 64 slots are busy. please try later!"))
        self.assertIsNone(extra.next())
        for client in clients[::9]:
            self.assertAnswers(client)
        clients[0].send(2, " ")
        self.assertTrue(clients[0].wait_closed())
        again = self.connect(station)
        self.assertEqual(again.greeting()[0][0], 1)

    def test_a_browser_gets_the_page_and_is_closed(self):
        station = self.start()
        browser = self.connect(station)
        self.assertEqual(browser.greeting()[0][0], 1)
        browser.pending = b""
        browser.send_raw(b"GET / HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n")
        browser.wait_closed()
        self.assertTrue(browser.pending.startswith(
            b"HTTP/1.0 200 OK\nContent-Type: text/html\n\n<html><head><title>E R R O R</title></head>"
            b"<body bgcolor='#ffffff'>This server is only for special clients.<p>You'll find clients "
            b"for Windows and LINUX <a href='"), browser.pending)
        self.assertTrue(browser.pending.endswith(b"'>here</a></body></html>"))
        wait_until(lambda: station.server_title() == "korvad server, 0 clients connected", 10,
                   "the count back down")


class Framing(ServerCase):
    def test_pieces_empty_packets_and_bad_lengths(self):
        station = self.start()
        client = self.connect(station)
        client.greeting()
        whole = packet(148, " ")
        client.send_raw(whole[:5])
        time.sleep(0.3)  # the server sees the first piece alone
        client.send_raw(whole[5:])
        self.assertEqual(client.next(), (149, 0, b" "))
        client.send(73, b"")  # length 0: ignored, the connection stays
        self.assertAnswers(client)
        # A request in three pieces, its payload split too.
        request = packet(73, "N-SPLIT")
        for piece in (request[:7], request[7:14], request[14:]):
            client.send_raw(piece)
            time.sleep(0.1)
        self.assertEqual(client.next(), (74, 0, b"N-SPLIT"))
        for bad in (struct.pack("<iii", 148, -1, 0), struct.pack("<iii", 148, 4097, 0),
                    struct.pack("<iii", 14, 0x7fffffff, 0) + b"x" * 64):
            victim = self.connect(station)
            victim.greeting()
            victim.send_raw(bad)
            self.assertTrue(victim.wait_closed())
        # The largest payload is taken.
        client.send(73, "Z" * 4096)
        self.assertEqual(client.next(), (74, 0, b"Z" * 4092))
        # A client that closes in the middle of a packet is freed.
        quitter = self.connect(station)
        quitter.greeting()
        quitter.send_raw(packet(50, "half a line")[:15])
        quitter.close()
        wait_until(lambda: station.server_title() == "korvad server, 1 clients connected", 10,
                   "the quitter freed")
        self.assertAnswers(client)

    def test_a_client_that_stops_reading(self):
        station = self.start()
        stuck = socket.socket()
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stuck.connect(("127.0.0.1", station.port))
        self.addCleanup(stuck.close)
        reader = self.connect(station)
        reader.greeting()
        queue = station.queue_id()
        count = 3000
        got = []
        for i in range(count):
            text = ("%04d " % i) + "x" * 2994
            while True:
                try:
                    queue_send(queue, 1, 90, text)
                    break
                except OSError:  # the queue is full: let the server work
                    got += [p for p in reader.read_all(0.001) if p[0] == 90]
        while len(got) < count:
            p = reader.expect(90)
            got.append(p)
        self.assertEqual([p[2][:4] for p in got], [b"%04d" % i for i in range(count)])
        # The stuck client missed broadcasts but got only whole packets.
        late = Client.__new__(Client)
        late.sock, late.pending, late.closed, late.timeout = stuck, b"", False, 10
        received = late.read_all(1.0)
        late.send(148, " ")
        while True:
            p = late.next()
            self.assertIsNotNone(p)
            if p[0] == 149:
                break
            received.append(p)
        broadcasts = [p for p in received if p[0] == 90]
        self.assertLess(len(broadcasts), count)
        self.assertTrue(all(len(p[2]) == 2999 for p in broadcasts))
        numbers = [int(p[2][:4]) for p in broadcasts]
        self.assertEqual(numbers, sorted(numbers))

    def test_a_client_that_asks_without_reading_is_disconnected(self):
        station = self.start()
        greedy = socket.socket()
        greedy.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        greedy.connect(("127.0.0.1", station.port))
        self.addCleanup(greedy.close)
        other = self.connect(station)
        other.greeting()
        # Each 4 KiB question is answered with 4 KiB: 8 MiB asked (the kernel
        # holds a few of them), nothing read.
        question = packet(73, "Q" * 4092)
        greedy.settimeout(10)
        try:
            for _ in range(2048):
                greedy.sendall(question)
        except (BrokenPipeError, ConnectionResetError):
            pass
        wait_until(lambda: station.server_title() == "korvad server, 1 clients connected", 20,
                   "the greedy client disconnected")
        self.assertAnswers(other)


def contacts_file(folder):
    items = []
    for day in range(3):  # one aircraft, three days, two flights
        items.append(contact_item(1700000000 + day * 86400, "D-ABCD", "LH%04d" % (400 + day % 2),
                                  text="hello", aircraft_type="A320", route="FRA-JFK", day=day + 1))
    items.append(contact_item(1700003600, "G-EUPT", "LH0400", aircraft_type="A319", day=1))
    items.append(contact_item(1700007200, "F-GKDH", "AF0001", day=1))
    return items


class Searches(ServerCase):
    def test_searches_by_registration_flight_and_full_records(self):
        station = self.start(collection=contacts_file(self.folder))
        client = self.connect(station)
        client.greeting()
        client.send(14, "D-ABCD")
        self.assertEqual(client.next(), (16, 0, b"3\tD-ABCD"))
        contacts = sorted(client.next() for _ in range(3))
        self.assertEqual(contacts, [(15, 0, b"%d\tLH%04d\tFRA-JFK" % (1700000000 + d * 86400, 400 + d % 2))
                                    for d in range(3)])
        self.assertAnswers(client)  # nothing after the three
        client.send(17, "LH0400")
        self.assertEqual(client.next(), (16, 1, b"3\tLH0400"))
        self.assertEqual(sorted(client.next()[2] for _ in range(3)),
                         [b"1700000000\tD-ABCD\tA320", b"1700003600\tG-EUPT\tA319",
                          b"1700172800\tD-ABCD\tA320"])
        client.send(17, "AF0001")
        self.assertEqual(client.next(), (16, 1, b"1\tAF0001"))
        self.assertEqual(client.next(), (15, 0, b"1700007200\tF-GKDH\t-unknown-"))
        for code, key, answer in ((14, "N-OPE", 104), (17, "XX9999", 104), (73, "N-OPE", 74)):
            client.send(code, key)
            self.assertEqual(client.next(), (answer, 0, key.encode()))
        client.send(73, "G-EUPT")
        self.assertEqual(client.next(), (75, 0, b"1\tG-EUPT"))
        self.assertEqual(client.next(), (76, 0, b"1700003600\t1\t1\t126\t2\tH1\t1\tG-EUPT\tM01A\tLH0400"
                                                b"\t\tA319\t\t"))
        self.assertEqual(client.next(), (77, 0, b"!"))
        # A keep-alive in the middle of a stream is answered at once.
        client.send(73, "D-ABCD")
        client.send(148, " ")
        got = [client.next() for _ in range(6)]
        self.assertEqual(got[0], (75, 0, b"3\tD-ABCD"))
        self.assertIn((149, 0, b" "), got)
        self.assertEqual([c for c, _, _ in got if c != 149], [75, 76, 76, 76, 77])

    def test_registration_list_of_1200_in_batches(self):
        names = ["R%05d" % i for i in range(1200)]
        station = self.start(collection=[contact_item(1700000000, n, "XX0001") for n in names])
        client = self.connect(station)
        client.greeting()
        client.send(70, " ")
        self.assertEqual(client.next(), (72, 0, b"1200\t500"))
        batches = [client.expect(71)[2] for _ in range(3)]
        self.assertEqual([b.count(b"|") for b in batches], [500, 500, 200])
        self.assertTrue(all(len(b) <= 4095 and b.endswith(b"|") for b in batches))
        self.assertEqual(b"".join(batches).decode().split("|")[:-1], names)
        self.assertAnswers(client)

    def test_the_refresh_stops_streams_when_the_collection_changed(self):
        many = [contact_item(1700000000 + i, "D-MANY", "LH%04d" % (i % 9000)) for i in range(6000)]
        path = os.path.join(self.folder, "korvad.db")
        station = self.start(collection=many)
        client = self.connect(station)
        client.greeting()
        # Unchanged file: the refresh that passes during 6000 cycles keeps it.
        client.send(14, "D-MANY")
        self.assertEqual(client.next(), (16, 0, b"6000\tD-MANY"))
        self.assertEqual(sum(1 for _ in range(6000) if client.next()[0] == 15), 6000)
        self.assertAnswers(client)
        client.send(14, "D-MANY")
        self.assertEqual(client.next(), (16, 0, b"6000\tD-MANY"))
        write_list_file(path, many[:10])
        contacts = 0
        while True:  # until a keep-alive comes back with no contact before it
            client.send(148, " ")
            before = contacts
            while client.next()[0] != 149:
                contacts += 1
            if contacts == before:
                break
        self.assertGreater(contacts, 0)
        self.assertLess(contacts, 6000)  # the stream ended without a marker
        client.send(14, "D-MANY")
        self.assertEqual(client.next(), (16, 0, b"10\tD-MANY"))


class Reports(ServerCase):
    def test_downloads_and_refused_names(self):
        reports = os.path.join(self.folder, "reports")
        os.mkdir(reports)
        contents = {"empty.txt": b"", "page.txt": bytes(range(256)) * 16,
                    "long.txt": os.urandom(10000)}
        for name, data in contents.items():
            with open(os.path.join(reports, name), "wb") as f:
                f.write(data)
        with open(os.path.join(self.folder, "secret"), "w") as f:
            f.write("outside")
        os.symlink(os.path.join(self.folder, "secret"), os.path.join(reports, "link"))
        os.mkdir(os.path.join(reports, "sub"))
        station = self.start("-R", reports)
        client = self.connect(station)
        client.greeting()
        for name, data in contents.items():
            client.send(19 if name != "long.txt" else 20, name)
            self.assertEqual(client.next(), (22, 0, b"%d" % len(data)))
            self.assertEqual(client.next(), (23, 0, name.encode()))
            chunks = []
            while True:
                code, argument, chunk = client.next()
                self.assertEqual((code, argument), (200, 0))
                chunks.append(chunk)
                if len(chunk) < 4096:
                    break
            self.assertEqual(b"".join(chunks), data)
            self.assertEqual(len(chunks), len(data) // 4096 + 1)
        for name in ("../secret", "..", ".", "link", "sub", "missing", "sub/../page.txt"):
            client.send(19, name)
            self.assertEqual(client.next(), (105, 0, b"No report for " + name.encode()))
        unreadable = os.path.join(reports, "locked")
        with open(unreadable, "w") as f:
            f.write("x")
        os.chmod(unreadable, 0)
        if os.geteuid() != 0:
            client.send(19, "locked")
            self.assertEqual(client.next(), (105, 0, b"Error opening report for locked"))

        plain = self.start(folder=tempfile.mkdtemp(dir=self.folder))
        other = self.connect(plain)
        other.greeting()
        other.send(19, "page.txt")  # no report folder: ignored
        self.assertAnswers(other)


class ChatAndForwarding(ServerCase):
    def test_chat_with_three_clients(self):
        station = self.start()
        anna, bert, carl = (self.connect(station) for _ in range(3))
        for c in (anna, bert, carl):
            c.greeting()
        anna.send(52, "anna")
        self.assertEqual(bert.next(), (54, 0, b"anna\tis now in chatmode\t1"))
        self.assertEqual(carl.next(), (54, 0, b"anna\tis now in chatmode\t1"))
        anna.send(50, "anna\thello")
        self.assertEqual(anna.next(), (51, 0, b"anna\thello"))
        carl.send(52, "carl")
        self.assertEqual(carl.next(), (51, 0, b"anna\thello"))  # the history
        self.assertEqual(anna.next(), (51, 0, b"SYSTEM\tcarl logged in"))
        self.assertEqual(anna.next(), (54, 0, b"carl\tis now in chatmode\t1"))
        self.assertEqual(bert.next(), (54, 0, b"carl\tis now in chatmode\t1"))
        bert.send(50, "bert\tnot in chat")  # goes to those in chat mode only
        self.assertEqual(anna.next(), (51, 0, b"bert\tnot in chat"))
        self.assertEqual(carl.next(), (51, 0, b"bert\tnot in chat"))
        carl.send(53, "carl")
        self.assertEqual(anna.next(), (51, 0, b"SYSTEM\tcarl has closed chat window"))
        self.assertEqual(anna.next(), (54, 0, b"carl\thas closed chat window\t0"))
        self.assertEqual(bert.next(), (54, 0, b"carl\thas closed chat window\t0"))
        for c in (anna, bert, carl):
            self.assertAnswers(c)  # nothing else on the way
        for i in range(40):
            anna.send(50, "line %02d" % i)
            anna.expect(51)
        newcomer = self.connect(station)
        newcomer.greeting()
        newcomer.send(52, "dora")
        history = [newcomer.next()[2] for _ in range(11)]
        self.assertAnswers(newcomer)
        # At most 11 lines, from the oldest kept; the history was cut to 19
        # after it passed 30.
        self.assertEqual(len(history), 11)
        self.assertTrue(all(h.startswith(b"line ") for h in history), history)

    def test_updates_and_deletes(self):
        station = self.start(collection=contacts_file(self.folder))
        client = self.connect(station)
        client.greeting()
        for code in (30, 31, 32):
            client.send(code, "LH0400\tFRA-JFK")
            self.assertEqual(client.next(), (106, 0, b" "))
        client.send(78, "D-ABCD\tLH0400\t1700000000\tsecret")
        self.assertEqual(client.next(), (105, 0, b"Delete on this server is not allowed!"))
        client.send(78, "")
        self.assertAnswers(client)  # length 0 is no request at all
        client.send(78, "\0")
        self.assertEqual(client.next(), (105, 0, b"Missing data in your request!"))

        station.close()  # the next korvad takes the same working folder
        modifying = self.start("-a", "-D", "secret", collection=contacts_file(self.folder))
        clients = [self.connect(modifying) for _ in range(2)]
        for c in clients:
            c.greeting()
        # The database server answers each to its client; the queue carries
        # 2999 characters of a longer text.
        clients[1].send(31, "XX\t" + "A" * 4000)
        self.assertEqual(clients[1].expect(35, timeout=20), (35, 0, b"35 1"))
        clients[0].send(30, "LH0400\tAB-CDE")
        self.assertEqual(clients[0].expect(36, timeout=20), (36, 0, b"36 0"))
        airlines = os.path.join(self.folder, "korvad-airlines.db")
        wait_until(lambda: os.path.exists(airlines), 10, "the first save")
        with open(airlines, "rb") as f:
            data = f.read()
        self.assertIn(b"XX" + struct.pack("<i", 2996) + b"A" * 2996, data)
        modifying.flow()
        clients[1].send(78, "D-ABCD\tLH0401\t1700086400\tsecret")
        self.assertEqual(clients[1].expect(105, timeout=30),
                         (105, 0, b"Entry 'D-ABCD LH0401' successful deleted"))
        clients[0].send(78, "D-ABCD\tLH0401\t1700086400\twrong")
        self.assertEqual(clients[0].expect(105, timeout=30),
                         (105, 0, b"Unable to delete entry 'D-ABCD LH0401'"))


class Traffic(ServerCase):
    def test_decoded_messages_notices_and_uptime_reach_every_client(self):
        station = self.start()
        clients = [self.connect(station) for _ in range(3)]
        for c in clients:
            c.greeting()
        recording = os.path.join(self.folder, "rec.raw")
        listing = os.path.join(self.folder, "sent.txt")
        subprocess.run([SYNTH, "-q", "--random", "12", "--snr", "40", "--seed", "11", "--gap", "3000",
                        "--within", "40000", "--list", listing, recording], check=True)
        with open(listing) as f:
            # Squitters are not passed to clients.
            sent = [line.split() for line in f if line[:1].isalpha() and not line.startswith("squitter")]
        registrations = [next(w[5:] for w in words if w.startswith("reg=")) for words in sent]
        with open(recording, "rb") as f:
            station.write_audio(f.read())
        station.flow()
        for c in clients:
            got = [c.expect((6, 18), timeout=60) for _ in sent]
            self.assertEqual([p[2].split(b"\t")[2].decode() for p in got],
                             [r.lstrip(".") for r in registrations])
            self.assertEqual([p[0] for p in got],
                             [18 if words[0] == "downlink" else 6 for words in sent])
        subprocess.run([KORVADM, "notice\tfor all"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        for c in clients:
            self.assertEqual(c.expect(90), (90, 0, b"notice\tfor all"))
        for c in clients:  # 250 buffers: about 5 s of silence at 50 buffers a second
            code, argument, text = c.expect(153, timeout=60)
            seconds, count = text.split(b"\t")
            self.assertTrue(seconds.isdigit(), text)
            self.assertEqual(count, b"3 clients currently connected")


class DatabaseUpdates(ServerCase):
    def message_buffer(self, text):
        frames = os.path.join(self.folder, "frame.txt")
        raw = os.path.join(self.folder, "frame.raw")
        with open(frames, "w") as f:
            f.write("downlink mode=2 reg=.D-ABCD label=H1 block=1 seq=M01A flight=LH0400 "
                    "text=%s\n" % text)
        subprocess.run([SYNTH, "-q", frames, raw], check=True)
        with open(raw, "rb") as f:
            audio = f.read()
        return audio + bytes([128]) * (40000 - len(audio))

    def route_of_next_message(self, station, client, n):
        station.write_audio(self.message_buffer("MESSAGE %d" % n))
        return client.expect(18, timeout=30)[2].split(b"\t")[8]

    def test_an_accepted_route_is_looked_up_after_the_reload(self):
        station = self.start("-a")
        client = self.connect(station)
        client.greeting()
        station.flow()
        self.assertEqual(self.route_of_next_message(station, client, 0), b"unknown")
        client.send(30, "LH0400\tFRA-JFK")
        self.assertEqual(client.expect(35, timeout=20), (35, 0, b"35 0"))
        # The main process reloads at its next look at the queue (every
        # 20th buffer).
        for n in range(1, 30):
            route = self.route_of_next_message(station, client, n)
            if route != b"unknown":
                break
        self.assertEqual(route, b"FRA-JFK")
        titles = [t for _, t in station.children()]
        self.assertIn("korvad database server", titles)


class Restart(ServerCase):
    def crash_and_reconnect(self, station, old_port, new_port):
        client = self.connect(station, old_port)
        client.greeting()
        old = station.server_pid()
        os.kill(old, signal.SIGSEGV)
        self.assertTrue(client.wait_closed())
        wait_until(lambda: station.server_pid() not in (None, old), 20, "a new server")
        station.wait_listening(new_port)
        again = self.connect(station, new_port)
        self.assertEqual(again.greeting()[0], (1, 0, b"%s\t%d" % (HOST.encode(), new_port)))
        return station

    def test_a_crashed_server_is_replaced_on_the_other_port(self):
        station = Station(KORVAD, self.folder, port=0)
        self.addCleanup(station.close)
        station.port = 2202
        station.wait_listening(2202)
        self.crash_and_reconnect(station, 2202, 2203)
        self.crash_and_reconnect(station, 2203, 2202)
        self.assertIsNone(station.proc.poll())

    def test_a_fixed_port_is_taken_again(self):
        station = self.start()
        self.crash_and_reconnect(station, station.port, station.port)
        self.assertIsNone(station.proc.poll())


class Shutdown(ServerCase):
    def assertAllGone(self, station, server):
        wait_until(lambda: not os.path.exists("/proc/%d" % server), 10, "the server to end")
        self.assertNotIn(station.queue_id(), queue_ids())
        self.assertEqual(ring_segments(station.proc.pid), [])

    def test_sigint_ends_main_server_and_database_server(self):
        station = self.start("-a")
        client = self.connect(station)
        client.greeting()
        server = station.server_pid()
        databases = [pid for pid, t in station.children() if t == "korvad database server"]
        self.assertEqual(len(databases), 1)
        self.assertEqual(station.stop(signal.SIGINT), 5)
        self.assertTrue(client.wait_closed())
        self.assertAllGone(station, server)
        wait_until(lambda: not os.path.exists("/proc/%d" % databases[0]), 10, "the database server")

    def test_sigint_to_the_server_stops_the_station(self):
        station = self.start()
        server = station.server_pid()
        os.kill(server, signal.SIGINT)
        self.assertEqual(station.proc.wait(20), 5)
        self.assertAllGone(station, server)

    def test_q_on_the_screen_ends_both(self):
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "control"))
        from korvad_pty import KorvadRun, queue_id_from
        fifo = os.path.join(self.folder, "audio.fifo")
        os.mkfifo(fifo)
        fd = os.open(fifo, os.O_RDWR)
        self.addCleanup(os.close, fd)
        port = free_port()
        run = KorvadRun(KORVAD, ["-s", "-H", "-p", str(port), "-d", fifo], cwd=self.folder)
        self.addCleanup(run.close)
        run.wait_for_text("Press 'H' for help", timeout=30)
        servers = [pid for pid, title in children_of(run.proc.pid)
                   if title.startswith("korvad server")]
        self.assertEqual(len(servers), 1)
        client = Client(port)
        self.addCleanup(client.close)
        client.greeting()
        run.keys(b"Q")
        self.assertEqual(run.wait_exit(), 5)
        self.assertTrue(client.wait_closed())
        wait_until(lambda: not os.path.exists("/proc/%d" % servers[0]), 10, "the server to end")
        self.assertNotIn(queue_id_from(run.errors()), queue_ids())


if __name__ == "__main__":
    KORVAD, SYNTH, KORVADM = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
