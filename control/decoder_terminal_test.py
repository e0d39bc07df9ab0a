#!/usr/bin/python3
"""korvad end to end: the real program in a pseudo-terminal on synthesized
recordings, pipes and missing devices.

    decoder_terminal_test.py KORVAD KORVAD_SYNTH [TestClass ...]
"""

import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvad_pty  # noqa: E402
from korvad_pty import KorvadRun, queue_id_from  # noqa: E402

KORVAD = None
SYNTH = None
REFDB = None
DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo")


class DecoderCase(korvad_pty.FolderCase):
    folder_prefix = "korvad-decoder-test-"

    def setUp(self):
        super().setUp()
        self.queues_before = korvad_pty.queue_ids()

    def recording(self, name="rec.wav", blocks=6, seconds=None, extra=()):
        path = os.path.join(self.folder, name)
        args = [SYNTH, "-q", "--random", str(blocks), "--snr", "40", "--seed", "5", *extra]
        if seconds:
            args += ["--scatter", str(seconds)]
        subprocess.run(args + [path], check=True)
        return path

    def start(self, *args, **kw):
        run = KorvadRun(KORVAD, list(args), cwd=self.folder, **kw)
        self.addCleanup(run.close)
        return run

    def assertStatistics(self, errors, megabytes=None):
        self.assertIn("\nACARS decoder normal finished\n" + "-" * 68 + "\n", errors)
        self.assertIn(" megabytes were read and decoded\n", errors)
        if megabytes is not None:
            self.assertIn("\n%0.2f megabytes were read and decoded\n" % megabytes, errors)
        self.assertIn("Your contact statistics:\n  Good: ", errors)
        self.assertIn(" messages with FCB/CRC errors\n" + "-" * 68 + "\n", errors)

    def assertNothingLeft(self, errors, streaming, pid):
        queue = queue_id_from(errors)
        self.assertIsNotNone(queue, errors)
        self.assertNotIn(queue, korvad_pty.queue_ids())
        self.assertTrue(korvad_pty.ring_released(pid))
        # The control file outlives the decoder and names its queue.
        with open(korvad_pty.CONTROL_FILE, "rb") as f:
            self.assertEqual(int.from_bytes(f.read(), "little", signed=True), queue)


class EndOfRecording(DecoderCase):
    def test_direct_mode_ends_with_the_statistics(self):
        # 30 s of audio: 15 buffers of 40000 samples, 0.57 MiB: "0.00".
        rec = self.recording(seconds=30)
        run = self.start("-H", "-d", rec)
        self.assertEqual(run.wait_exit(), 5)
        errors = run.errors()
        self.assertStatistics(errors, 0.0)
        self.assertIn("Initializing sound device '%s'...  Done, handle #" % rec, errors)
        self.assertNotIn("Initializing shared memory", errors)
        self.assertNothingLeft(errors, streaming=False, pid=run.proc.pid)

    def test_streaming_mode_ends_with_the_statistics(self):
        # 60 s: 30 buffers, 1.14 MiB read: "1.00".
        rec = self.recording(seconds=60)
        run = self.start("-d", rec)
        self.assertEqual(run.wait_exit(), 5)
        errors = run.errors()
        self.assertIn("Initializing shared memory...  Done and attached\n", errors)
        self.assertStatistics(errors, 1.0)
        self.assertNothingLeft(errors, streaming=True, pid=run.proc.pid)


class StandardInput(DecoderCase):
    def test_audio_through_standard_input_keys_from_the_terminal(self):
        # A DC offset puts the silence between blocks at 113, the byte of
        # 'q': read as keys, the audio would end korvad at once.
        raw = os.path.join(self.folder, "audio.raw")
        listing = os.path.join(self.folder, "sent.txt")
        subprocess.run([SYNTH, "-q", "--random", "8", "--dc", "-0.1181", "--gap", "3000",
                        "--within", "40000", "--seed", "9", "--list", listing, raw], check=True)
        with open(raw, "rb") as f:
            audio = f.read()
        self.assertGreater(audio.count(b"q"), len(audio) // 2)
        with open(listing) as f:
            kinds = [line.split()[0] for line in f if line[:1].isalpha()]
        run = self.start("-H", "-d", "-", audio_stdin=raw)
        self.assertEqual(run.wait_exit(), 5)
        self.assertIn("  Good: %d, Uplinks: %d," % (kinds.count("downlink"), len(kinds) - kinds.count("downlink")),
                      run.errors())


class Signals(DecoderCase):
    def silent_pipe(self):
        fifo = os.path.join(self.folder, "audio.fifo")
        os.mkfifo(fifo)
        # Held open for writing (and never written) by the test itself.
        fd = os.open(fifo, os.O_RDWR)
        self.addCleanup(os.close, fd)
        return fifo

    def stop_while_waiting(self, *args):
        run = self.start(*args)
        run.wait_for_text("Press 'H' for help", timeout=30)
        run.pump(1.0)
        self.assertTrue(run.alive())
        run.signal(signal.SIGTERM)  # ignored
        run.pump(1.0)
        self.assertTrue(run.alive(), run.errors())
        sent = time.monotonic()
        run.signal(signal.SIGINT)
        self.assertEqual(run.wait_exit(timeout=10), 5)
        self.assertLess(time.monotonic() - sent, 5.0)
        errors = run.errors()
        self.assertStatistics(errors)
        self.assertNothingLeft(errors, streaming="-H" not in args, pid=run.proc.pid)

    def test_sigint_ends_a_direct_read_of_a_silent_pipe(self):
        self.stop_while_waiting("-H", "-d", self.silent_pipe())

    def test_sigint_ends_the_wait_for_a_silent_collector(self):
        self.stop_while_waiting("-d", self.silent_pipe())


class Processes(DecoderCase):
    def test_collector_only_when_streaming(self):
        fifo = Signals.silent_pipe(self)
        run = self.start("-d", fifo)
        run.wait_for_text("Press 'H' for help", timeout=30)
        run.wait_for(lambda r: any(c == "korvad soundcollector" for _, c in korvad_pty.children_of(r.proc.pid)),
                     timeout=10, what="the collector")
        with open("/proc/%d/cmdline" % run.proc.pid, "rb") as f:
            self.assertEqual(f.read().split(b"\0")[0], b"korvad ACARS decoder")
        run.keys(b"Q")
        self.assertEqual(run.wait_exit(), 5)

        direct = self.start("-H", "-d", fifo)
        direct.wait_for_text("Press 'H' for help", timeout=30)
        direct.pump(1.0)
        self.assertEqual(korvad_pty.children_of(direct.proc.pid), [])
        direct.keys(b"q")
        self.assertEqual(direct.wait_exit(), 5)


class Devices(DecoderCase):
    def test_a_source_that_cannot_deliver_audio_is_refused_at_start(self):
        # A missing path or a folder never becomes a source: said at once, status 1.
        os.mkdir(os.path.join(self.folder, "recordings"))
        for source, reason in (("/no/such/dsp", "No such file or directory"),
                               ("recordings", "neither a sound device, a FIFO nor a recording "
                                              "(a folder)")):
            run = self.start("-d", source)
            self.assertEqual(run.wait_exit(timeout=20), 1)
            errors = run.errors()
            self.assertIn("Initializing sound device '%s'... error opening sounddevice '%s': %s\n"
                          "unable to init sound\nkorvad stopped\n" % (source, source, reason),
                          errors)
            self.assertNotIn(queue_id_from(errors), korvad_pty.queue_ids())


class WaysOut(DecoderCase):
    def test_a_crash_releases_queue_segment_and_collector(self):
        fifo = Signals.silent_pipe(self)
        run = self.start("-d", fifo)
        run.wait_for_text("Press 'H' for help", timeout=30)
        run.wait_for(lambda r: korvad_pty.children_of(r.proc.pid), timeout=10, what="the collector")
        collector = korvad_pty.children_of(run.proc.pid)[0][0]
        run.signal(signal.SIGSEGV)
        self.assertEqual(run.wait_exit(timeout=10), 100)
        errors = run.errors()
        self.assertTrue(errors.endswith("ACARS decoder crashed\n"), errors)
        self.assertNotIn(queue_id_from(errors), korvad_pty.queue_ids())
        deadline = time.monotonic() + 5
        while os.path.exists("/proc/%d" % collector) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(any(pid == collector for pid, _ in korvad_pty.children_of(run.proc.pid)))
        self.assertFalse(os.path.exists("/proc/%d" % collector))
        # The segment went with the last of the two processes attached to it.
        self.assertTrue(korvad_pty.ring_released(run.proc.pid))

    def test_a_device_that_hangs_in_open_gives_up_after_five_seconds(self):
        # Opening a FIFO for reading waits for a writer: one never comes.
        fifo = os.path.join(self.folder, "nobody.fifo")
        os.mkfifo(fifo)
        run = self.start("-d", fifo)
        self.assertEqual(run.wait_exit(timeout=30), 1)
        errors = run.errors()
        self.assertTrue(errors.endswith("Initializing sound device '%s'... unable to init sound\n"
                                        "korvad stopped\n\n" % fifo), errors)
        self.assertNotIn(queue_id_from(errors), korvad_pty.queue_ids())


class DaemonOption(DecoderCase):
    def test_c_without_s_keeps_the_screen(self):
        fifo = Signals.silent_pipe(self)
        run = self.start("-c", "-H", "-d", fifo)
        run.wait_for_text("-=[ Press 'H' for help or 'Q' to quit ]=-", timeout=30)
        run.wait_for_text("korvad - Free ACARS decoder for LiNUX", timeout=5)
        run.keys(b"q")
        self.assertEqual(run.wait_exit(), 5)


def read_list_file(path, read_item):
    """The list file form: count, limit, delta (int32 little-endian), a flag
    byte, then the items."""
    with open(path, "rb") as f:
        data = f.read()
    count = int.from_bytes(data[0:4], "little", signed=True)
    at = 13
    items = []
    for _ in range(count):
        item, at = read_item(data, at)
        items.append(item)
    assert at == len(data), "trailing bytes in %s" % path
    return items


def read_string(data, at):
    n = int.from_bytes(data[at:at + 4], "little", signed=True)
    at += 4
    return (data[at:at + n].decode("latin-1") if n else None), at + n


def read_reference(data, at):
    key, at = read_string(data, at)
    value, at = read_string(data, at)
    tally = int.from_bytes(data[at:at + 4], "little", signed=True)
    return (key, value, tally), at + 4


def read_contact(data, at):
    def text(a, n):
        return data[a:a + n].split(b"\0")[0].decode("latin-1")
    contact = {
        "time": int.from_bytes(data[at:at + 4], "little", signed=True),
        "registration": text(at + 21, 8),
        "flight_id": text(at + 34, 7),
    }
    at += 41
    for field in ("text", "aircraft_type", "route", "airline"):
        contact[field], at = read_string(data, at)
    return contact, at


class DemoTraffic(DecoderCase):
    """The demo's messages and reference data: every message with its lookups
    in the logs and the stores."""

    DOWNLINKS = 16
    UPLINKS_AND_SQUITTERS = 7
    AIRCRAFT = {"G-EUPT", "D-AIKB", "N784AV", "G-VIIA", "EI-DVM", "F-GSQA", "PH-BXA", "C-FIUL",
                "D-ABYT"}

    def setUp(self):
        super().setUp()
        for name, db in (("flights", "flights"), ("airlines", "airlines"), ("types", "types"),
                         ("airports", "airports"), ("labels", "modes"), ("ground", "ground")):
            subprocess.run([REFDB, "import", os.path.join(DEMO, name + ".txt"),
                            os.path.join(self.folder, "korvad-%s.db" % db)], check=True)
        self.rec = os.path.join(self.folder, "demo.wav")
        # Light noise, three seconds between blocks and none across the end
        # of a 40000-sample read.
        subprocess.run([SYNTH, "-q", "--snr", "40", "--gap", "3000", "--within", "40000", "--seed", "3",
                        os.path.join(DEMO, "messages.txt"), self.rec], check=True)
        os.mkdir(os.path.join(self.folder, "logs"))

    def test_a_noisy_channel_shows_and_counts_each_message_once(self):
        # At 30 dB the pass loop loses frames and decodes others damaged; the
        # MSK receiver recovers them all. What both decode is shown once, and
        # a damaged copy of a recovered frame is neither shown nor counted.
        noisy = os.path.join(self.folder, "noisy.wav")
        subprocess.run([SYNTH, "-q", "--snr", "30", "--gap", "2500", "--seed", "7",
                        os.path.join(DEMO, "messages.txt"), noisy], check=True)
        for mode in (["-H"], []):
            run = self.start(*mode, "-l", "logs", "-d", noisy, rows=40, cols=100)
            self.assertEqual(run.wait_exit(timeout=240), 5)
            self.assertIn("  Good: %d, Uplinks: %d, parity errors: 0, block errors: 0\n"
                          % (self.DOWNLINKS, self.UPLINKS_AND_SQUITTERS), run.errors())
            self.assertIn("  0 messages with FCB/CRC errors\n", run.errors())
        log = self.log_text()
        self.assertEqual(log.count("ACARS Mode: 2  Aircraft reg: "),
                         2 * (self.DOWNLINKS + self.UPLINKS_AND_SQUITTERS))

    def run_once(self, *extra):
        run = self.start("-H", "-k", "-N", "-e", "-l", "logs", "-d", self.rec, *extra, rows=40, cols=100)
        self.assertEqual(run.wait_exit(timeout=240), 5)
        return run

    def log_text(self):
        logs = os.listdir(os.path.join(self.folder, "logs"))
        self.assertEqual(len([n for n in logs if n.startswith("korvad-")]), 1, logs)
        name = [n for n in logs if n.startswith("korvad-")][0]
        with open(os.path.join(self.folder, "logs", name), encoding="latin-1", newline="") as f:
            return f.read()

    def test_every_message_once_with_its_lookups(self):
        run = self.run_once()
        errors = run.errors()
        self.assertIn("  Good: %d, Uplinks: %d, parity errors: 0, block errors: 0\n"
                      "  0 messages with FCB/CRC errors\n"
                      % (self.DOWNLINKS, self.UPLINKS_AND_SQUITTERS), errors)
        log = self.log_text()
        self.assertEqual(log.count("ACARS Mode: 2  Aircraft reg: "),
                         self.DOWNLINKS + self.UPLINKS_AND_SQUITTERS)
        self.assertEqual(log.count("Aircraft reg: G-EUPT\nAircraft type: Airbus A319-131\n"), 4)
        self.assertIn("Flight Number: BA0117  Flight: London Heathrow-New York John F. Kennedy\n"
                      "Operator: British Airways\n", log)
        self.assertIn("Flight Number: AV0120  Flight: London Heathrow-Bogota El Dorado\n"
                      "Operator: Avianca\nMessage Content:-\n/WXRQ KJFK\r\n\n", log)
        self.assertEqual(log.count("Aircraft reg: _______\n"), 2)

        # The stores, read back from their files.
        contacts = read_list_file(os.path.join(self.folder, "korvad.db"), read_contact)
        self.assertEqual({c["registration"] for c in contacts}, self.AIRCRAFT)
        self.assertEqual(len(contacts), 9)  # one per day, aircraft and flight
        euPT = [c for c in contacts if c["registration"] == "G-EUPT"][0]
        self.assertEqual((euPT["flight_id"], euPT["aircraft_type"], euPT["airline"], euPT["route"]),
                         ("BA0117", "Airbus A319-131", "British Airways",
                          "London Heathrow-New York John F. Kennedy"))
        register = read_list_file(os.path.join(self.folder, "korvad-newregs.db"), read_contact)
        self.assertEqual({c["registration"] for c in register}, self.AIRCRAFT)
        types = read_list_file(os.path.join(self.folder, "type_statistics.db"), read_reference)
        self.assertEqual(len(types), 9)
        self.assertIn(("Boeing 787-8", "1", 1), types)
        airlines = read_list_file(os.path.join(self.folder, "airline_statistics.db"), read_reference)
        self.assertIn(("British Airways", "1", 2), airlines)
        self.assertIn(("Lufthansa", "1", 2), airlines)
        self.assertIn(("Avianca", "1", 1), airlines)

        # A second run over the same recording finds every aircraft known.
        second = self.run_once()
        self.assertIn("  Good: %d, Uplinks: %d," % (self.DOWNLINKS, self.UPLINKS_AND_SQUITTERS),
                      second.errors())
        self.assertEqual(len(read_list_file(os.path.join(self.folder, "korvad.db"), read_contact)), 9)
        # The screen is blank after the end: look at what was drawn.
        drawn = second.output.decode("latin-1")
        self.assertIn(" contacts with this aircraft. First contact: ", drawn)
        self.assertNotIn("First contact with this aircraft", drawn)


class OpenFlightsData(DecoderCase):
    """Reference data imported from OpenFlights' files: the names, UTF-8 as
    they come, in the log, on a UTF-8 screen and in the collection."""

    AIRPORTS = (
        '1678,"Z\u00fcrich Airport","Zurich","Switzerland","ZRH","LSZH",47.46,8.54,1416,1,"E",'
        '"Europe/Zurich","airport","OurAirports"\n'
        '2279,"El Dorado International Airport","Bogot\u00e1","Colombia","BOG","SKBO",4.70,'
        '-74.14,8361,-5,"S","America/Bogota","airport","OurAirports"\n'
        '599,"Dublin Airport","Dublin","Ireland","DUB","EIDW",53.42,-6.27,242,0,"E",'
        '"Europe/Dublin","airport","OurAirports"\n'
        '507,"London Heathrow Airport","London","United Kingdom","LHR","EGLL",51.47,-0.46,83,0,'
        '"E","Europe/London","airport","OurAirports"\n'
        '1613,"Vienna International Airport","Vienna","Austria","VIE","LOWW",48.11,16.57,600,1,'
        '"E","Europe/Vienna","airport","OurAirports"\n'
        '9,"Broken, "quote","X","Y","BRK","XBRK",0,0,0,0,"U","x","airport","x"\n')
    AIRLINES = (
        '-1,"Unknown",\\N,"-","N/A",\\N,\\N,"Y"\n'
        '4559,"Swiss International Air Lines",\\N,"LX","SWR","SWISS","Switzerland","Y"\n'
        '2010,"Aer Lingus Old",\\N,"EI","EIX",\\N,"Ireland","N"\n'
        '2009,"Aer Lingus",\\N,"EI","EIN","SHAMROCK","Ireland","Y"\n'
        '491,"\u00d6sterreichische Luftverkehrs AG","Austrian","OS","AUA","AUSTRIAN",'
        '"Austria","Y"\n')
    MESSAGES = (
        "downlink mode=2 reg=.HB-JHA label=H1 block=2 seq=M01A flight=LX0318 text=POS N47270E008330\n"
        "downlink mode=2 reg=.EI-DVM label=10 block=3 seq=S03A flight=EI0154 text=OUT 1215\n"
        "downlink mode=2 reg=.OE-LBA label=11 block=4 seq=A01A flight=OS0451 text=OFF 1221\n")
    ZURICH = "Zurich Z\u00fcrich Airport"
    BOGOTA = "Bogot\u00e1 El Dorado International Airport"
    AUSTRIAN = "\u00d6sterreichische Luftverkehrs AG"

    def write(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def refdb(self, *args):
        done = subprocess.run([REFDB, *args], capture_output=True, text=True, cwd=self.folder)
        return done.returncode, done.stdout, done.stderr

    def test_imported_names_in_the_messages(self):
        status, out, err = self.refdb("import-openflights", "airports",
                                      self.write("airports.dat", self.AIRPORTS), "korvad-airports.db")
        self.assertEqual(status, 0, err)
        self.assertIn("airports.dat: 6 lines, 5 taken, 0 without a code, 0 duplicate codes, "
                      "1 bad lines\n", out)
        self.assertIn("korvad-airports.db: 10 entries\n", out)
        self.assertIn(":6: bad line: unbalanced quotes\n", err)
        status, out, err = self.refdb("import-openflights", "airlines",
                                      self.write("airlines.dat", self.AIRLINES), "korvad-airlines.db")
        self.assertEqual(status, 0, err)
        self.assertIn("korvad-airlines.db: 3 entries\n", out)
        self.assertIn(":4: duplicate code 'EI', first on line 3: this active airline replaces it", err)
        # Routes by ICAO code, by IATA code in lower case, with a via; one
        # added later with merge, which keeps the others.
        status, _, err = self.refdb("import", self.write("flights.txt", "LX0318\tLSZH-SKBO\n"
                                                         "EI0154\tdub-lhr-zrh\n"), "korvad-flights.db")
        self.assertEqual(status, 0, err)
        status, out, err = self.refdb("merge", self.write("more.txt", "OS0451\tVIE-DUB\n"),
                                      "korvad-flights.db")
        self.assertEqual(status, 0, err)
        self.assertIn("korvad-flights.db: 1 added, 0 replaced, 0 unchanged\n", out)
        status, out, _ = self.refdb("dump", "korvad-flights.db")
        self.assertEqual(out, "EI0154\tdub-lhr-zrh\t0\nLX0318\tLSZH-SKBO\t0\nOS0451\tVIE-DUB\t0\n")
        # A wrong file leaves a good database as it was.
        status, _, err = self.refdb("import-openflights", "airports", "airlines.dat",
                                    "korvad-airports.db")
        self.assertEqual(status, 1)
        self.assertIn("'korvad-airports.db' left as it was", err)

        rec = os.path.join(self.folder, "of.wav")
        subprocess.run([SYNTH, "-q", "--snr", "40", "--gap", "3000", "--within", "40000",
                        "--seed", "4", self.write("messages.txt", self.MESSAGES), rec], check=True)
        os.mkdir(os.path.join(self.folder, "logs"))
        run = self.start("-H", "-l", "logs", "-d", rec, rows=40, cols=120, utf8=True)
        self.assertEqual(run.wait_exit(timeout=240), 5)
        self.assertIn("  Good: 3, Uplinks: 0, ", run.errors())

        logs = [n for n in os.listdir(os.path.join(self.folder, "logs")) if n.startswith("korvad-")]
        with open(os.path.join(self.folder, "logs", logs[0]), "rb") as f:
            log = f.read().decode("utf-8")
        self.assertIn("Flight Number: LX0318  Flight: %s-%s\nOperator: Swiss International Air "
                      "Lines\n" % (self.ZURICH, self.BOGOTA), log)
        self.assertIn("Flight Number: EI0154  Flight: Dublin Airport-London Heathrow Airport via "
                      "%s\nOperator: Aer Lingus\n" % self.ZURICH, log)
        self.assertIn("Flight Number: OS0451  Flight: Vienna International Airport-Dublin "
                      "Airport\nOperator: %s\n" % self.AUSTRIAN, log)
        # Drawn on the UTF-8 terminal as the characters they are.
        drawn = run.output.decode("utf-8", "replace")
        self.assertIn(self.ZURICH, drawn)
        self.assertIn(self.AUSTRIAN, drawn)
        self.assertNotIn("M-C", drawn)
        # Kept in the collection as the same bytes.
        contacts = read_list_file(os.path.join(self.folder, "korvad.db"), read_contact)
        swiss = [c for c in contacts if c["flight_id"] == "LX0318"][0]
        self.assertEqual(swiss["route"].encode("latin-1").decode("utf-8"),
                         "%s-%s" % (self.ZURICH, self.BOGOTA))


class Transmissions(DecoderCase):
    """One message per transmission: told by where it lies in the audio."""

    FIRST = ("downlink mode=2 reg=.N123AB label=H1 block=4 seq=M01A flight=BA0123 "
             "text=FIRST BLOCK OF THE FLIGHT\n")
    SECOND = ("downlink mode=2 reg=.N123AB label=H1 block=5 seq=M02A flight=BA0123 "
              "text=SECOND BLOCK OF THE FLIGHT\n")
    OTHER = ("downlink mode=2 reg=.G-EUPT label=H1 block=7 seq=M07A flight=BA0117 "
             "text=ANOTHER AIRCRAFT IN THE SAME READ\n")
    SAMPLES_PER_CHARACTER = 8 * 19500 // 2400

    def synthesize(self, lines, *options):
        """Raw 19500/s audio of the frame lines, and the sample of each block's '*'."""
        frames = os.path.join(self.folder, "frames.txt")
        with open(frames, "w") as f:
            f.write("".join(lines))
        raw = os.path.join(self.folder, "audio.raw")
        listing = os.path.join(self.folder, "sent.txt")
        subprocess.run([SYNTH, "-q", "--snr", "40", "--list", listing, *options, frames, raw],
                       check=True)
        with open(listing) as f:
            stars = [int(line.split("'*' at ")[1].split()[0])
                     for line in f if line.startswith("# block ")]
        with open(raw, "rb") as f:
            return raw, bytearray(f.read()), stars

    def damage(self, audio, star, character):
        """Turns the waveform of three characters from the given one upside
        down: their bits come out wrong, so the block cannot be repaired."""
        first = star + character * self.SAMPLES_PER_CHARACTER
        for i in range(first, first + 3 * self.SAMPLES_PER_CHARACTER):
            audio[i] = 255 - audio[i]

    def log_entries(self):
        logs = [n for n in os.listdir(os.path.join(self.folder, "logs")) if n.startswith("korvad-")]
        with open(os.path.join(self.folder, "logs", logs[0]), encoding="latin-1") as f:
            return f.read().count("ACARS Mode: 2  Aircraft reg: N123AB")

    def test_a_block_sent_again_15_s_later_is_shown_and_logged_twice(self):
        # Both demodulators decode each of the two transmissions: two
        # messages, not one (the same text) and not four (two paths).
        raw, _, stars = self.synthesize([self.FIRST, self.FIRST], "--gap", "15000")
        self.assertEqual(len(stars), 2)
        os.mkdir(os.path.join(self.folder, "logs"))
        run = self.start("-H", "-l", "logs", "-d", raw, rows=40, cols=100)
        self.assertEqual(run.wait_exit(timeout=120), 5)
        self.assertIn("  Good: 2, Uplinks: 0, parity errors: 0, block errors: 0\n"
                      "  0 messages with FCB/CRC errors\n", run.errors())
        self.assertEqual(self.log_entries(), 2)

    def test_a_faulty_block_5_s_after_a_good_one_is_counted_and_analysed(self):
        # The flight id damaged: mode, address and label read as in the
        # good block before it, yet it is another transmission.
        raw, audio, stars = self.synthesize([self.FIRST, self.SECOND], "--gap", "5000")
        self.damage(audio, stars[1], 21)
        with open(raw, "wb") as f:
            f.write(audio)
        run = self.start("-H", "-d", raw, rows=40, cols=100)
        self.assertEqual(run.wait_exit(timeout=120), 5)
        self.assertIn("  Good: 1, Uplinks: 0, parity errors: 0, block errors: 1\n", run.errors())
        # The fault analysis' first line: the faults found.
        self.assertIn(" MSG_ERR_FLI ", run.output.decode("latin-1"))

    def test_a_stop_right_after_a_faulty_block_still_counts_it(self):
        # A good block of another aircraft and the faulty one in one read,
        # then no more audio: korvad waits for the next read, the faulty pass
        # held for the receiver, when Q or SIGINT comes.
        raw, audio, stars = self.synthesize([self.OTHER, self.SECOND], "--gap", "300",
                                            "--within", "40000")
        self.damage(audio, stars[1], 8)  # the address
        reads = (len(audio) + 39999) // 40000
        audio = audio[:reads * 40000] + bytes([128]) * (reads * 40000 - len(audio))
        for stop in ("q", signal.SIGINT):
            with self.subTest(stop=stop):
                fifo = os.path.join(self.folder, "audio-%s.fifo" % stop)
                os.mkfifo(fifo)
                fd = os.open(fifo, os.O_RDWR)  # held open: korvad then waits for more
                self.addCleanup(os.close, fd)
                writer = threading.Thread(target=write_all, args=(fd, bytes(audio)), daemon=True)
                writer.start()
                run = self.start("-H", "-d", fifo, rows=40, cols=100)
                run.wait_for_text("ANOTHER AIRCRAFT IN THE SAME READ")
                if stop == "q":
                    run.keys(b"q")
                else:
                    run.signal(stop)
                self.assertEqual(run.wait_exit(timeout=30), 5)
                self.assertIn("  Good: 1, Uplinks: 0, parity errors: 1, block errors: 0\n",
                              run.errors())
                self.assertIn(" MSG_ERR_ALL MSG_ERR_REG ", run.output.decode("latin-1"))
                writer.join(timeout=5)


def write_all(fd, data):
    while data:
        data = data[os.write(fd, data):]


if __name__ == "__main__":
    KORVAD, SYNTH, REFDB = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
