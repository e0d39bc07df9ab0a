#!/usr/bin/python3
"""korvad end to end on radio sources: IQ recordings of the demo traffic in
every format, through files, pipes and the collector, and a dongle that is
not there.

    radio_terminal_test.py KORVAD KORVAD_SYNTH [TestClass ...]

What korvad logs from an IQ recording is compared with what it logs from
the same blocks as audio: the same messages, exactly, and nothing else (the
neighbour channel's traffic included)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvad_pty  # noqa: E402
from korvad_pty import KorvadRun, queue_id_from  # noqa: E402

KORVAD = None
SYNTH = None
DEMO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo", "messages.txt")

# The demo's blocks 0.3 s apart (12.5 s), channel 131.725 MHz 225 kHz above the
# centre, on a dongle 20 ppm slow, with a neighbour 25 kHz above that is 10 dB
# stronger and always busy, bursts up to 6 dB apart, the DC spike and noise.
LAYOUT = ["--gap", "300", "--seed", "3"]
AIR = ["--iq-freq", "131.725", "--iq-offset", "225000", "--ppm", "-20", "--neighbour", "10",
       "--dc-spike", "0.05", "--level-spread", "6", "--cn", "30"]
TUNING = ["--freq", "131.725", "--iq-center", "131.500", "--ppm", "-20"]
DOWNLINKS = 16


def log_entries(folder):
    """The entries of the day's log without their time lines, sorted."""
    names = [n for n in os.listdir(folder) if n.startswith("korvad-")]
    assert len(names) == 1, names
    with open(os.path.join(folder, names[0]), encoding="latin-1", newline="") as f:
        text = f.read()
    return sorted(e for e in re.split(r"-+\[ [^\]]* \]-\n", text) if e.strip())


def squitters_once(entries):
    """The entries with each squitter once. The demo's ground station sends
    the same squitter twice, 7 s apart in this layout: two transmissions, and
    message processing's repeat check drops the second unless the minute of
    its screen text changed in between, as it may on a slow run."""
    kept = []
    for e in entries:
        if "Aircraft reg: _______\n" not in e or e not in kept:
            kept.append(e)
    return kept


class RadioCase(korvad_pty.FolderCase):
    folder_prefix = "korvad-radio-test-"

    def synth(self, blocks, output, *extra):
        subprocess.run([SYNTH, "-q", *blocks, *extra, self.path(output)], check=True)
        return self.path(output)

    def decode(self, *args, audio_stdin=None):
        """Runs korvad to the end of its input; returns its log entries and run."""
        logs = tempfile.mkdtemp(prefix="logs-", dir=self.folder)
        run = KorvadRun(KORVAD, ["-l", logs, *args], cwd=self.folder, rows=40, cols=120,
                        audio_stdin=audio_stdin)
        self.addCleanup(run.close)
        self.assertEqual(run.wait_exit(timeout=240), 5, run.errors())
        self.assertIn("  0 messages with FCB/CRC errors\n", run.errors())
        return log_entries(logs), run

    def assertNothingLeft(self, run):
        errors = run.errors()
        queue = queue_id_from(errors)
        self.assertIsNotNone(queue, errors)
        self.assertNotIn(queue, korvad_pty.queue_ids())
        self.assertTrue(korvad_pty.ring_released(run.proc.pid))
        self.assertEqual(korvad_pty.session_members(run.proc.pid), [])


class DemoTraffic(RadioCase):
    """The demo's traffic as a dongle records it, at 2.4 MS/s."""

    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="korvad-radio-audio-")
        audio = os.path.join(cls.shared, "demo.wav")
        subprocess.run([SYNTH, "-q", "--snr", "40", *LAYOUT, DEMO, audio], check=True)
        case = cls("test_cu8_file_read_directly")
        case.folder = cls.shared
        with korvad_pty.ControlFileGuard():
            cls.expected, run = case.decode("-H", "-d", audio)
            run.close()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, True)

    def assertDemo(self, entries, run):
        self.assertEqual(squitters_once(entries), squitters_once(self.expected))
        self.assertEqual(sum(re.search(r"Message Number: \S", e) is not None for e in entries),
                         DOWNLINKS)
        self.assertIn("  Good: %d, " % DOWNLINKS, run.errors())

    def test_cu8_file_read_directly(self):
        rec = self.synth([*LAYOUT, *AIR, DEMO], "demo.cu8")
        self.assertEqual(os.path.getsize(rec) % 2, 0)
        entries, run = self.decode("-H", "-d", "iq:" + rec, *TUNING)
        self.assertDemo(entries, run)
        self.assertIn("Initializing sound device 'iq:%s'...  Done, handle #" % rec, run.errors())
        self.assertNotIn("Initializing shared memory", run.errors())
        self.assertNothingLeft(run)
        os.unlink(rec)

    def test_cs16_and_cf32_through_standard_input_and_the_collector(self):
        for fmt in ("cs16", "cf32"):
            with self.subTest(fmt):
                synth = subprocess.Popen([SYNTH, "-q", "--iq", fmt, *LAYOUT, *AIR, DEMO, "-"],
                                         stdout=subprocess.PIPE)
                try:
                    entries, run = self.decode("-d", "iq:-", "--iq-format", fmt, *TUNING,
                                               audio_stdin=synth.stdout)
                finally:
                    synth.stdout.close()
                    self.assertEqual(synth.wait(), 0)
                self.assertDemo(entries, run)
                self.assertIn("Initializing shared memory...  Done and attached", run.errors())
                self.assertNothingLeft(run)


class Recordings(RadioCase):
    BLOCKS = ["--random", "6", "--gap", "300", "--seed", "5"]

    def test_a_two_channel_wav_file(self):
        expected, _ = self.decode("-H", "-d", self.synth([*self.BLOCKS, "--snr", "40"], "a.wav"))
        self.assertEqual(len(expected), 6)
        # The rate comes from the file; the channel sits where korvad tunes a
        # dongle, a quarter of the rate below it.
        rec = self.synth([*self.BLOCKS, "--iq", "wav", "--iq-rate", "1200000"], "iq.wav")
        entries, _ = self.decode("-H", "-d", "iq:" + rec, "--iq-rate", "2400000")
        self.assertEqual(entries, expected)
        # A one-channel file is no IQ recording.
        mono = self.path("a.wav")
        run = KorvadRun(KORVAD, ["-d", "iq:" + mono], cwd=self.folder)
        self.addCleanup(run.close)
        self.assertEqual(run.wait_exit(), 1)
        self.assertIn("error opening sounddevice 'iq:%s': '%s' holds 1 channel(s); an IQ recording "
                      "has two (I left, Q right)\nunable to init sound\n" % (mono, mono),
                      run.errors())

    def test_a_truncated_recording_decodes_what_it_holds_and_says_so_once(self):
        expected, _ = self.decode("-H", "-d", self.synth([*self.BLOCKS, "--snr", "40"], "a.wav"))
        rec = self.synth([*self.BLOCKS, "--iq", "cs16"], "iq.cs16")
        with open(rec, "ab") as f:
            f.write(b"\x01\x02\x03")  # three bytes of a four-byte pair
        for mode in (["-H"], []):
            entries, run = self.decode(*mode, "-d", "iq:" + rec, "--iq-format", "cs16")
            self.assertEqual(entries, expected)
            drawn = run.output.decode("latin-1")
            self.assertEqual(drawn.count("IQ recording 'iq:%s' ends inside an IQ pair: its last 3 "
                                         "bytes are not used" % rec), 1, mode)


class SetUpFailures(RadioCase):
    """A radio that cannot be had ends korvad at once, as a sound set-up
    failure, and leaves nothing behind."""

    def fails(self, args, reason):
        run = KorvadRun(KORVAD, args, cwd=self.folder)
        self.addCleanup(run.close)
        self.assertEqual(run.wait_exit(timeout=30), 1)
        device = args[args.index("-d") + 1]
        self.assertTrue(run.errors().endswith(
            "Initializing sound device '%s'... error opening sounddevice '%s': %s\n"
            "unable to init sound\nkorvad stopped\n\n" % (device, device, reason)), run.errors())
        self.assertNothingLeft(run)

    def test_no_dongle(self):
        # This machine has none (the test is for such a machine).
        self.fails(["-d", "rtlsdr:0", "--freq", "131.550"], "no RTL-SDR dongle found")
        self.fails(["-H", "-d", "rtlsdr:00000001"], "no RTL-SDR dongle found")

    def test_a_rate_the_dongle_does_not_take(self):
        self.fails(["-d", "rtlsdr:0", "--iq-rate", "500000"],
                   "an RTL-SDR dongle takes 225001 to 300000 or 900001 to 3200000 samples/s, "
                   "not 500000")

    def test_a_channel_outside_the_recording(self):
        rec = self.path("short.cu8")
        with open(rec, "wb") as f:
            f.write(bytes(4800))
        self.fails(["-d", "iq:" + rec, "--freq", "131.725", "--iq-center", "130.500"],
                   "the channel 131.7250 MHz lies outside the band of the recording, 129.4200 to "
                   "131.5800 MHz (centre 130.5000 MHz, 2400000 samples/s)")
        self.fails(["-d", "iq:" + self.path("missing.cu8")],
                   "cannot open '%s': No such file or directory" % self.path("missing.cu8"))


if __name__ == "__main__":
    KORVAD, SYNTH = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
