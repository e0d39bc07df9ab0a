#!/usr/bin/python3
"""korvad end to end: the real program in a pseudo-terminal on synthesized
recordings, pipes and missing devices.

    decoder_terminal_test.py KORVAD KORVAD_SYNTH [TestClass ...]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvad_pty  # noqa: E402
from korvad_pty import KorvadRun, queue_id_from  # noqa: E402

KORVAD = None
SYNTH = None
SHM_KEY = 0x1001001


class DecoderCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvad-decoder-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        guard = korvad_pty.ControlFileGuard()
        guard.__enter__()
        self.addCleanup(guard.__exit__, None, None, None)
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

    def assertNothingLeft(self, errors, streaming):
        queue = queue_id_from(errors)
        self.assertIsNotNone(queue, errors)
        self.assertNotIn(queue, korvad_pty.queue_ids())
        self.assertNotIn(SHM_KEY, korvad_pty.shared_memory_keys())
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
        self.assertNothingLeft(errors, streaming=False)

    def test_streaming_mode_ends_with_the_statistics(self):
        # 60 s: 30 buffers, 1.14 MiB read: "1.00".
        rec = self.recording(seconds=60)
        run = self.start("-d", rec)
        self.assertEqual(run.wait_exit(), 5)
        errors = run.errors()
        self.assertIn("Initializing shared memory...  Done and attached\n", errors)
        self.assertStatistics(errors, 1.0)
        self.assertNothingLeft(errors, streaming=True)


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
        self.assertNothingLeft(errors, streaming="-H" not in args)

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
    def test_missing_device_goes_on_reading_directly(self):
        run = self.start("-d", "/no/such/dsp")
        run.wait_for_text("Press 'H' for help", timeout=30)
        errors = run.errors()
        self.assertIn("Initializing sound device '/no/such/dsp'... error opening sounddevice "
                      "'/no/such/dsp'\n Done, handle #0\nunable to initialize sound\n", errors)
        self.assertNotIn("Initializing shared memory", errors)
        # The loop retries the device every 3 seconds and says so once.
        run.wait_for_text("error opening sounddevice '/no/such/dsp'", timeout=20)
        self.assertTrue(run.alive())
        run.keys(b"Q")
        self.assertEqual(run.wait_exit(), 5)


class DaemonOption(DecoderCase):
    def test_c_without_s_keeps_the_screen(self):
        fifo = Signals.silent_pipe(self)
        run = self.start("-c", "-H", "-d", fifo)
        run.wait_for_text("-=[ Press 'H' for help or 'Q' to quit ]=-", timeout=30)
        run.wait_for_text("korvad - Free ACARS decoder for LiNUX", timeout=5)
        run.keys(b"q")
        self.assertEqual(run.wait_exit(), 5)


if __name__ == "__main__":
    KORVAD, SYNTH = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
