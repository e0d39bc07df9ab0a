#!/usr/bin/python3
"""korvad end to end: what it refuses at start, how its files survive damage,
failed saves, links and kills, who else may reach its queue and ring, and
what happens when its terminal goes.

    reliability_test.py KORVAD KORVADM KORVAD_SYNTH [TestClass ...]
"""

import os
import random
import signal
import stat
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "server"))
import korvad_pty  # noqa: E402
from korvad_pty import KorvadRun, queue_id_from  # noqa: E402
from decoder_terminal_test import read_contact, read_list_file  # noqa: E402
from korvad_station import contact_item, queue_send, write_list_file  # noqa: E402

KORVAD = None
KORVADM = None
SYNTH = None
DEMO = os.path.join(HERE, "..", "demo")
DEMO_AIRCRAFT = 9  # registrations of the demo's downlinks
AS_ROOT = os.geteuid() == 0


def queue_rows():
    """{id: (perms, owner uid, creator uid, messages)} of the message queues now."""
    with open("/proc/sysvipc/msg") as f:
        rows = [line.split() for line in f.readlines()[1:] if line.strip()]
    # key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...
    return {int(r[1]): (int(r[2], 8), int(r[7]), int(r[9]), int(r[4])) for r in rows}


def ring_rows(creator):
    """[(key, perms, attachments)] of the audio ring segments creator made."""
    with open("/proc/sysvipc/shm") as f:
        rows = [line.split() for line in f.readlines()[1:] if line.strip()]
    return [(int(r[0]), int(r[2], 8), int(r[6])) for r in rows
            if int(r[3]) == korvad_pty.RING_BYTES and int(r[4]) == creator]


NOBODY = ["--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def as_nobody(command):
    return ["setpriv", *NOBODY, *command]


class ReliabilityCase(korvad_pty.FolderCase):
    folder_prefix = "korvad-reliability-test-"

    def start(self, *args, folder=None, **kw):
        run = KorvadRun(KORVAD, list(args), cwd=folder or self.folder, **kw)
        self.addCleanup(run.close)
        return run

    def start_as_nobody(self, *args, writable=False):
        """korvad as the user nobody: the folder (writable or not) and the
        terminal entry open to it."""
        os.chmod(self.folder, 0o777 if writable else 0o755)
        entries = os.path.dirname(korvad_pty.terminfo())
        for top, folders, _ in os.walk(entries):
            os.chmod(top, 0o755)
        run = KorvadRun("setpriv", NOBODY + [KORVAD, *args], cwd=self.folder)
        self.addCleanup(run.close)
        return run

    def play_and_hold(self, *args, **kw):
        """korvad reading the demo from a FIFO that stays open: it runs on
        after the last message."""
        self.demo("demo.raw")
        fifo = self.path("demo.fifo")
        os.mkfifo(fifo)
        run = self.start("-H", *args, "-d", fifo, **kw)
        writer = os.open(fifo, os.O_WRONLY)
        self.addCleanup(os.close, writer)
        with open(self.path("demo.raw"), "rb") as f:
            audio = f.read()

        def feed():
            try:
                os.write(writer, audio)
            except OSError:
                pass  # korvad ended
        thread = threading.Thread(target=feed, daemon=True)
        thread.start()
        return run

    def silent_pipe(self, name="audio.fifo"):
        """A FIFO held open for writing by the test and never written."""
        fifo = self.path(name)
        os.mkfifo(fifo)
        fd = os.open(fifo, os.O_RDWR)
        self.addCleanup(os.close, fd)
        return fifo

    def demo(self, name="demo.wav", extra=(), messages=None):
        path = self.path(name)
        subprocess.run([SYNTH, "-q", "--snr", "40", "--gap", "3000", "--within", "40000",
                        "--seed", "3", *extra, messages or os.path.join(DEMO, "messages.txt"),
                        path], check=True)
        return path

    def assertSaveFailedAtEnd(self, run, failure):
        """korvad ended with status 100, naming the save that failed."""
        self.assertEqual(run.wait_exit(), 100)
        errors = run.errors()
        self.assertIn("korvad: saving failed: %s\n" % failure, errors)
        self.assertIn("\nACARS decoder finished, NOT everything was saved\n", errors)
        return errors

    def contacts(self, name="korvad.db"):
        return read_list_file(self.path(name), read_contact)


class StartRefusals(ReliabilityCase):
    def test_a_rate_outside_what_is_decoded_is_refused_before_anything(self):
        rec = self.demo()
        queues = korvad_pty.queue_ids()
        for rate in ("0", "-5", "abc", "1000000", "1000000000"):
            run = self.start("-H", "-S", rate, "-d", rec)
            self.assertEqual(run.wait_exit(timeout=20), 1, rate)
            self.assertIn("korvad: -S %s: not a sample rate from 8000 to 192000 samples per "
                          "second\n" % rate, run.errors())
            self.assertNotIn("Initializing", run.errors())
        self.assertEqual(korvad_pty.queue_ids(), queues)

    def test_a_second_korvad_in_the_folder_names_the_first_and_ends_101(self):
        first = self.start("-d", self.silent_pipe())
        first.wait_for_text("Press 'H' for help", timeout=30)
        queues = korvad_pty.queue_ids()
        second = self.start("-H", "-d", self.silent_pipe("other.fifo"))
        self.assertEqual(second.wait_exit(timeout=20), 101)
        self.assertIn("korvad: another korvad (process %d) runs in this folder and holds "
                      "'korvad.lock'\n" % first.proc.pid, second.errors())
        # It made no queue and left the first's control file alone.
        self.assertEqual(korvad_pty.queue_ids(), queues)
        with open(korvad_pty.CONTROL_FILE, "rb") as f:
            published = int.from_bytes(f.read(), "little", signed=True)
        self.assertEqual(published, queue_id_from(first.errors()))
        first.keys(b"q")
        self.assertEqual(first.wait_exit(), 5)
        # The lock went with the first: the next one runs.
        third = self.start("-H", "-d", self.path("other.fifo"))
        third.wait_for_text("Press 'H' for help", timeout=30)
        third.keys(b"q")
        self.assertEqual(third.wait_exit(), 5)

    def test_a_terminal_that_cannot_be_used_releases_queue_and_ring(self):
        for term in (None, "", "no-such-terminal"):
            run = self.start("-d", self.silent_pipe("audio-%s.fifo" % term), env={"TERM": term})
            self.assertEqual(run.wait_exit(timeout=20), 200, term)
            errors = run.errors()
            self.assertIn("Initializing shared memory...  Done and attached\n", errors)
            self.assertIn("error setting ncurses environement\n", errors)
            self.assertNotIn(queue_id_from(errors), korvad_pty.queue_ids())
            self.assertTrue(korvad_pty.ring_released(run.proc.pid))
            self.assertEqual(korvad_pty.children_of(run.proc.pid), [])

    def test_fifos_in_place_of_stores_and_references_neither_hang_nor_get_replaced(self):
        for name in ("korvad.db", "korvad-flights.db", "korvad-types.db", "type_statistics.db"):
            os.mkfifo(self.path(name))
        run = self.start("-H", "-d", self.silent_pipe(), rows=30, cols=100)
        run.wait_for_text("Press 'H' for help", timeout=20)
        run.wait_for_text("korvad.db not loaded: not a regular file (a FIFO)", timeout=10)
        self.assertIn("korvad: type_statistics.db not loaded: not a regular file (a FIFO)\n",
                      run.errors())
        run.signal(signal.SIGHUP)  # the reload of code 156 and of the R key
        run.wait_for_text("all databases reloaded", timeout=20)
        run.keys(b"q")
        # The collection could not be saved over the FIFO: a container failure.
        errors = self.assertSaveFailedAtEnd(run, "korvad.db: not a regular file (a FIFO)")
        self.assertNotIn("normal finished", errors)
        for name in ("korvad.db", "korvad-flights.db", "type_statistics.db"):
            self.assertTrue(stat.S_ISFIFO(os.lstat(self.path(name)).st_mode), name)


class Stores(ReliabilityCase):
    def test_a_failed_save_is_named_on_the_screen_and_at_the_end(self):
        # A link into a folder that does not exist: loads as missing, saves fail.
        os.symlink("gone/korvad.db", self.path("korvad.db"))
        run = self.play_and_hold("--save-interval", "1", rows=30, cols=100)
        run.wait_for_text("Saving failed: korvad.db: No such file or directory", timeout=60)
        run.keys(b"q")
        self.assertSaveFailedAtEnd(run, "korvad.db: No such file or directory")
        self.assertNotIn("Your ACARS collection contains", run.text())

    @unittest.skipUnless(AS_ROOT, "a second user needs root")
    def test_a_read_only_folder_is_named_for_another_user(self):
        write_list_file(self.path("korvad.db"), [contact_item(1700000000, "D-ABCD", "LH0400")])
        run = self.start_as_nobody("-H", "-d", self.demo())  # a folder it cannot write
        self.assertEqual(run.wait_exit(timeout=120), 100)
        errors = run.errors()
        self.assertIn("korvad: no lock file 'korvad.lock' (Permission denied)", errors)
        self.assertIn("korvad: saving failed: korvad.db: Permission denied\n", errors)
        self.assertEqual(len(self.contacts()), 1)

    @unittest.skipUnless(AS_ROOT, "a second user needs root")
    def test_a_collection_that_may_not_be_read_is_kept_aside_not_replaced(self):
        write_list_file(self.path("korvad.db"), [contact_item(1700000000, "D-ABCD", "LH0400")])
        os.chmod(self.path("korvad.db"), 0o600)  # root's: nobody may not read it
        run = self.start_as_nobody("-H", "-d", self.demo(), writable=True)
        self.assertEqual(run.wait_exit(timeout=120), 5)
        self.assertRegex(run.errors(), r"korvad: korvad\.db could not be read \(Permission "
                         r"denied\); it is kept as korvad\.db\.damaged-\d{8}-\d{6}\n")
        copies = [n for n in os.listdir(self.folder) if n.startswith("korvad.db.damaged-")]
        self.assertEqual(len(copies), 1)
        self.assertEqual(len(self.contacts(copies[0])), 1)
        self.assertEqual(len(self.contacts()), DEMO_AIRCRAFT)

    def damaged_collection(self, entries):
        items = [contact_item(1700000000 + i, "D-AB%02d" % i, "LH%04d" % i) for i in range(entries)]
        write_list_file(self.path("korvad.db"), items)
        with open(self.path("korvad.db"), "r+b") as f:
            f.truncate(os.path.getsize(self.path("korvad.db")) - 1)

    def test_a_damaged_collection_keeps_its_entries_and_every_damaged_copy(self):
        rec = self.demo()
        for attempt in (1, 2):
            self.damaged_collection(5)
            run = self.start("-H", "-d", rec, rows=30, cols=120)
            self.assertEqual(run.wait_exit(), 5)
            self.assertIn(b"korvad.db is damaged: 4 entries kept, 1 dropped", run.output)
            self.assertRegex(run.errors(), r"korvad: korvad\.db is damaged: 4 entries kept, 1 "
                             r"dropped; the damaged file is kept as korvad\.db\.damaged-"
                             r"\d{8}-\d{6}(-2)?\n")
            self.assertEqual(len(self.contacts()), 4 + DEMO_AIRCRAFT)
            copies = [n for n in os.listdir(self.folder) if n.startswith("korvad.db.damaged-")]
            self.assertEqual(len(copies), attempt)

    def test_leftovers_of_a_killed_save_are_removed_at_start(self):
        for name in ("korvad.db.tmpAbC123", "type_statistics.db.tmpzzzzzz", "notes.tmpAbC123"):
            with open(self.path(name), "wb") as f:
                f.write(b"\0" * 4096)
        run = self.start("-H", "-d", self.silent_pipe())
        run.wait_for_text("Press 'H' for help", timeout=30)
        self.assertEqual(sorted(n for n in os.listdir(self.folder) if ".tmp" in n),
                         ["notes.tmpAbC123"])
        run.keys(b"q")
        self.assertEqual(run.wait_exit(), 5)

    def test_a_linked_collection_keeps_its_link_mode_and_owner(self):
        os.mkdir(self.path("kept"))
        target = self.path("kept/aircraft.db")
        write_list_file(target, [contact_item(1700000000, "D-ABCD", "LH0400")])
        os.chmod(target, 0o600)
        owner = 65534 if AS_ROOT else os.geteuid()
        if AS_ROOT:
            os.chown(target, owner, owner)
        os.symlink("kept/aircraft.db", self.path("korvad.db"))
        run = self.start("-H", "-d", self.demo())
        self.assertEqual(run.wait_exit(), 5)
        self.assertTrue(os.path.islink(self.path("korvad.db")))
        info = os.stat(target)
        self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (0o600, owner))
        self.assertEqual(len(self.contacts()), 1 + DEMO_AIRCRAFT)
        self.assertEqual(os.listdir(self.path("kept")), ["aircraft.db"])

    def test_additions_are_saved_after_the_interval_while_running(self):
        run = self.play_and_hold("--save-interval", "2")
        run.wait_for(lambda r: os.path.exists(self.path("korvad.db")) and
                     len(self.contacts()) == DEMO_AIRCRAFT, timeout=120,
                     what="the timed save of the demo's aircraft")
        self.assertTrue(run.alive())
        run.proc.kill()  # nothing is saved at the end: what counts was saved before
        run.proc.wait()
        self.assertEqual(len(self.contacts()), DEMO_AIRCRAFT)


class DemoAt8kHz(ReliabilityCase):
    SENT = {"G-EUPT", "D-AIKB", "N784AV", "G-VIIA", "EI-DVM", "F-GSQA", "PH-BXA", "C-FIUL",
            "D-ABYT"}

    def test_frames_whose_check_fails_are_shown_but_never_kept(self):
        # The demo at 8000 samples per second, resampled to 19500 by korvad,
        # and one block more whose check arrives wrong: it fails its block
        # check and is shown with the warning, but neither collected nor
        # registered.
        messages = self.path("messages.txt")
        with open(os.path.join(DEMO, "messages.txt"), encoding="ascii") as f:
            lines = f.read()
        with open(messages, "w", encoding="ascii") as f:
            f.write(lines + "downlink reg=.G-BADC label=H1 block=7 seq=M99A flight=BA0999 "
                    "bcs=bad text=NOT TO BE KEPT\n")
        rec = self.demo("demo8k.wav", extra=("--rate", "8000"), messages=messages)
        run = self.start("-H", "-e", "-N", "-l", ".", "-d", rec, rows=40, cols=120)
        self.assertEqual(run.wait_exit(timeout=120), 5)
        self.assertRegex(run.errors(), r"\n  [1-9]\d* messages with FCB/CRC errors\n")
        self.assertIn(b"FCB checksum doesn't match for the following message", run.output)
        self.assertIn(b"NOT TO BE KEPT", run.output)
        kept = {c["registration"] for c in self.contacts()}
        self.assertEqual(kept, self.SENT)
        registered = {c["registration"] for c in self.contacts("korvad-newregs.db")}
        self.assertEqual(registered, self.SENT)


class Ipc(ReliabilityCase):
    def test_queue_and_ring_belong_to_korvad_and_leave_nothing_behind(self):
        run = self.start("-d", self.silent_pipe())
        run.wait_for_text("Press 'H' for help", timeout=30)
        queue = queue_id_from(run.errors())
        self.assertEqual(queue_rows()[queue][0] & 0o777, 0o600)
        # Private, owner-only, already marked for removal, held by main and collector.
        rings = ring_rows(run.proc.pid)
        self.assertEqual(len(rings), 1)
        key, perms, attachments = rings[0]
        self.assertEqual((key, perms & 0o777, attachments), (0, 0o600, 2))
        self.assertTrue(perms & 0o1000, "marked for removal")
        collector = korvad_pty.children_of(run.proc.pid)[0][0]
        run.proc.kill()  # kill -9 of the main process
        run.proc.wait()
        deadline = time.monotonic() + 10
        while os.path.exists("/proc/%d" % collector) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(os.path.exists("/proc/%d" % collector), "the collector outlived main")
        self.assertEqual(ring_rows(run.proc.pid), [])
        subprocess.run(["ipcrm", "-q", str(queue)], check=False)

    def test_messages_for_servers_that_do_not_run_are_taken_out(self):
        run = self.start("-H", "-d", self.silent_pipe())
        run.wait_for_text("Press 'H' for help", timeout=30)
        queue = queue_id_from(run.errors())
        for i in range(40):
            queue_send(queue, 1 + i % 2, 90, "fill %d" % i)
        run.wait_for(lambda r: queue_rows()[queue][3] == 0, timeout=10, what="an empty queue")
        sent = subprocess.run([KORVADM, "hello"], capture_output=True, text=True)
        self.assertEqual((sent.returncode, sent.stderr), (0, "message send!\n"))
        run.wait_for(lambda r: queue_rows()[queue][3] == 0, timeout=10, what="an empty queue")
        run.keys(b"q")
        self.assertEqual(run.wait_exit(), 5)

    @unittest.skipUnless(AS_ROOT, "a second user needs root")
    def test_other_users_neither_reach_the_queue_nor_are_misled(self):
        run = self.start("-H", "-d", self.silent_pipe())
        run.wait_for_text("Press 'H' for help", timeout=30)
        refused = subprocess.run(as_nobody([KORVADM, "hello"]), capture_output=True, text=True)
        self.assertEqual(refused.returncode, 3)
        self.assertEqual(refused.stderr, "korvadm: the queue of korvad is open to korvad's user "
                         "only: run korvadm as that user or as root\nmessage NOT send!\n")
        run.keys(b"q")
        self.assertEqual(run.wait_exit(), 5)

        # A korvad of another user cannot replace root's control file: it says
        # so, and korvadm will not deliver to the queue the stale file names.
        stale = queue_id_from(run.errors())
        other = self.start_as_nobody("-H", "-d", self.path("audio.fifo"), writable=True)
        other.wait_for_text("Press 'H' for help", timeout=30)
        self.assertIn("korvad: cannot publish the queue id in '/tmp/.korvad' (Operation not "
                      "permitted): korvadm will not reach this korvad\n", other.errors())
        theirs = queue_id_from(other.errors())
        with open(korvad_pty.CONTROL_FILE, "rb") as f:
            self.assertEqual(int.from_bytes(f.read(), "little", signed=True), stale)
        with open(korvad_pty.CONTROL_FILE, "wb") as f:
            f.write(theirs.to_bytes(4, "little", signed=True))  # as if the id were reused
        misled = subprocess.run([KORVADM, "hello"], capture_output=True, text=True)
        self.assertEqual(misled.returncode, 3)
        self.assertEqual(misled.stderr, "korvadm: the queue the control file names was not made "
                         "by its owner: no korvad of that user runs\nmessage NOT send!\n")
        self.assertEqual(queue_rows()[theirs][3], 0)
        other.keys(b"q")
        self.assertEqual(other.wait_exit(), 5)


class Terminal(ReliabilityCase):
    def test_closing_the_terminal_ends_korvad_orderly(self):
        write_list_file(self.path("korvad.db"), [contact_item(1700000000, "D-ABCD", "LH0400")])
        for mode in (["-H"], []):
            run = self.start(*mode, "-d", self.silent_pipe("audio%d.fifo" % len(mode)))
            run.wait_for_text("Press 'H' for help", timeout=30)
            os.close(run.master)  # the terminal window is closed
            run.master, run.master_open = None, False
            self.assertEqual(run.wait_exit(timeout=30), 5, mode)
            errors = run.errors()
            self.assertIn("\nACARS decoder normal finished\n", errors)
            self.assertNotIn(queue_id_from(errors), korvad_pty.queue_ids())
            self.assertTrue(korvad_pty.ring_released(run.proc.pid))
            self.assertEqual(len(self.contacts()), 1)


class KillDuringSaves(ReliabilityCase):
    """kill -9 at random moments of the save of a 50,000-entry collection: the
    file always loads whole, and the next start removes what a kill left."""

    ENTRIES = 50000
    SECONDS = 45

    def test_the_collection_survives_kills_during_its_saves(self):
        items = [contact_item(1700000000 + i, "N%05d" % i, "XX%04d" % (i % 10000))
                 for i in range(self.ENTRIES)]
        write_list_file(self.path("korvad.db"), items)
        fifo = self.silent_pipe()
        rng = random.Random(16)

        def started():
            run = self.start("-H", "-d", fifo)
            run.wait_for_text("Press 'H' for help", timeout=30)
            return run

        # How long a whole shutdown save takes here, to aim the kills into it.
        run = started()
        begun = time.monotonic()
        run.signal(signal.SIGINT)
        self.assertEqual(run.wait_exit(), 5)
        save_seconds = time.monotonic() - begun
        rounds = left_behind = 0
        deadline = time.monotonic() + self.SECONDS
        while time.monotonic() < deadline:
            run = started()
            self.assertEqual([n for n in os.listdir(self.folder) if ".tmp" in n], [])
            self.assertNotIn("damaged", run.errors())
            run.signal(signal.SIGINT)
            time.sleep(rng.uniform(0.0, save_seconds))
            run.proc.kill()
            run.proc.wait()
            run.close()
            rounds += 1
            left_behind += any(".tmp" in n for n in os.listdir(self.folder))
            self.assertEqual(len(self.contacts()), self.ENTRIES)
        print("%d kills, %d left a temporary file (save %.2f s)"
              % (rounds, left_behind, save_seconds), file=sys.stderr)
        self.assertGreater(rounds, 5)
        run = started()
        self.assertEqual([n for n in os.listdir(self.folder) if ".tmp" in n], [])


if __name__ == "__main__":
    KORVAD, KORVADM, SYNTH = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
