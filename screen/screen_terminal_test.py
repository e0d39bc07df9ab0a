#!/usr/bin/python3
"""korvad's screen as a person sees it.

Runs screen_probe in a real pseudo-terminal, feeds everything it writes to
the pyte terminal emulator and asserts on the characters and colours shown.

    screen_terminal_test.py PROBE [TestClass ...]
"""

import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import pyte

PROBE = None
TERMINFO = None

# pyte emulates most of what the "screen" terminal description uses, but not
# the scroll-by-n sequences (CSI S, CSI T), and it ignores SO/SI (the line
# drawing set) in UTF-8 mode: the tests give curses a description without
# them, built once per run.
TERMINAL_ENTRY = (
    "korvad-pyte|the part of screen that pyte emulates,\n"
    "\tindn@, rin@, sgr@, enacs@, smacs=\\E(0, rmacs=\\E(B, sgr0=\\E[m\\E(B, use=screen,\n")
TERMINAL_NAME = "korvad-pyte"


def build_terminal_entry(folder):
    source = os.path.join(folder, "entry.src")
    with open(source, "w") as f:
        f.write(TERMINAL_ENTRY)
    database = os.path.join(folder, "terminfo")
    subprocess.run(["tic", "-o", database, source], check=True)
    return database

SPLASH_TITLE = "  -----=[ korvad - Free ACARS decoder for LiNUX ]=-----"
PRESS_H = "        Press 'H' for help and 'Q' to quit korvad"
SPLASH_DASHES = "  " + "-" * 53
NAME_LINE = "korvad 1.oo - (C) 2026 the korvad developers"
PRESS_H_BORDER = "-=[ Press 'H' for help or 'Q' to quit ]=-"
COUNTERS = "-=[ Good: 0, Upl: 0, Err parity: 0, block: 0, crc: 0 ]=-"
HELP_FIRST = "A ... Show/Hide daily airline statistics"
HELP_LAST = "Q ... Quit korvad"


def winsize(rows, cols):
    return struct.pack("HHHH", rows, cols, 0, 0)


class Probe:
    """screen_probe in a pseudo-terminal of rows x cols, read through pyte."""

    def __init__(self, rows=24, cols=80, extra=(), env=None, utf8=False):
        """utf8: a UTF-8 terminal (locale C.UTF-8), else a plain 8-bit one."""
        self.screen = pyte.Screen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)
        if not utf8:
            # Leave pyte's UTF-8 mode, in which it ignores the character set
            # switches that draw the box lines (curses sends only ASCII here).
            self.stream.feed(b"\x1b%@")
        self.master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, winsize(rows, cols))
        command_read, self.command_write = os.pipe()
        self.ack_read, ack_write = os.pipe()
        self.stderr = tempfile.TemporaryFile()
        environment = {k: v for k, v in os.environ.items() if k not in ("LINES", "COLUMNS")}
        environment.update(TERM=TERMINAL_NAME, TERMINFO=TERMINFO, LC_ALL="C", TZ="UTC")
        if utf8:
            environment.update(LC_ALL="C.UTF-8")
        environment.update(env or {})

        def take_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen(
            [PROBE, "--commands", str(command_read), "--acks", str(ack_write), *extra],
            stdin=slave, stdout=slave, stderr=self.stderr, pass_fds=(command_read, ack_write),
            start_new_session=True, preexec_fn=take_terminal, env=environment)
        os.close(slave)
        os.close(command_read)
        os.close(ack_write)
        self.master_open = True
        self.acks = b""
        self.markers = 0
        self.terminal = True  # the probe marks every answer on the terminal
        self.expect("ready")

    # -- reading ---------------------------------------------------------
    def _pump(self, deadline):
        fds = [self.ack_read] + ([self.master] if self.master_open else [])
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            self.fail_with("the probe did not answer")
        ready, _, _ = select.select(fds, [], [], remaining)
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            if fd == self.master:
                if data:
                    self.stream.feed(data)
                else:
                    self.master_open = False
            elif data:
                self.acks += data
            else:
                self.fail_with("the probe ended")

    def answer(self, timeout=30):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.acks:
            self._pump(deadline)
        line, self.acks = self.acks.split(b"\n", 1)
        if self.terminal:
            self.markers += 1
            wanted = "ack-%d" % self.markers
            while self.screen.icon_name != wanted:
                self._pump(deadline)
        return line.decode("latin-1")

    def expect(self, wanted):
        got = self.answer()
        if got != wanted:
            self.fail_with("expected answer %r, got %r" % (wanted, got))

    def fail_with(self, why):
        self.stderr.seek(0)
        raise AssertionError("%s\n--- probe stderr ---\n%s\n--- screen ---\n%s" % (
            why, self.stderr.read().decode("latin-1"), "\n".join(self.screen.display)))

    # -- acting ----------------------------------------------------------
    def send(self, line):
        os.write(self.command_write, line.encode("latin-1") + b"\n")
        return self.answer()

    def do(self, line):
        got = self.send(line)
        if not got.startswith("ok "):
            self.fail_with("command %r answered %r" % (line, got))

    def resize(self, rows, cols):
        self.screen.resize(rows, cols)
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, winsize(rows, cols))
        got = self.answer()
        if got != "resized %d %d" % (rows, cols):
            self.fail_with("resize answered %r" % got)

    def quit(self):
        os.write(self.command_write, b"quit\n")
        deadline = time.monotonic() + 30
        while self.proc.poll() is None:
            try:
                self._pump(min(deadline, time.monotonic() + 0.2))
            except AssertionError:
                pass
            if time.monotonic() > deadline:
                self.proc.kill()
                break
        status = self.proc.wait()
        self.stderr.seek(0)
        errors = self.stderr.read().decode("latin-1")
        for fd in (self.command_write, self.ack_read, self.master):
            try:
                os.close(fd)
            except OSError:
                pass
        return status, errors

    # -- looking ---------------------------------------------------------
    def row(self, y):
        return self.screen.display[y]

    def cell(self, y, x):
        return self.screen.buffer[y][x]


class ProbeCase(unittest.TestCase):
    def start(self, rows=24, cols=80, extra=(), env=None, utf8=False):
        probe = Probe(rows, cols, extra, env, utf8)
        self.addCleanup(self.finish, probe)
        return probe

    def finish(self, probe):
        if probe.proc.poll() is None:
            status, errors = probe.quit()
            self.assertEqual(status, 0, errors)
            self.assertEqual(errors, "")

    def assertColours(self, probe, y, x, fg, bg, bold=None):
        cell = probe.cell(y, x)
        self.assertEqual((cell.fg, cell.bg), (fg, bg), "colours at row %d column %d" % (y, x))
        if bold is not None:
            self.assertEqual(cell.bold, bold, "bold at row %d column %d" % (y, x))

    def assertAt(self, probe, y, x, text):
        self.assertEqual(probe.row(y)[x:x + len(text)], text, "row %d:\n%s" % (
            y, "\n".join(probe.screen.display)))

    def assertBlank(self, probe, y, first=0, last=None):
        self.assertEqual(probe.row(y)[first:last].strip(), "", "row %d" % y)

    def assertLayout(self, probe, lines, cols, rate=19500):
        """Title bar, splash and status window as screen_open leaves them."""
        # Title bar: name line, clock right-aligned two columns before the edge.
        self.assertAt(probe, 0, 0, NAME_LINE)
        clock = probe.row(0)[cols - 21:cols - 2]
        self.assertRegex(clock, r"^\d\d [A-Z][a-z]{2} \d{4} - \d\d:\d\d$")
        self.assertBlank(probe, 0, cols - 2)
        self.assertColours(probe, 0, 0, "black", "white", bold=False)
        self.assertColours(probe, 0, cols - 1, "black", "white")

        # Splash: nine pieces written at the window's last row (screen row
        # lines - 7), each but the first followed by a scroll, then three
        # more scrolls: the title moved up 11 rows, the dashes 5.
        last = lines - 7
        self.assertAt(probe, last - 11, 1, SPLASH_TITLE)
        self.assertEqual(probe.row(last - 11)[0], " ")
        self.assertAt(probe, last - 8, 1, "     (C) 2026 the korvad developers")
        self.assertBlank(probe, last - 7)
        self.assertAt(probe, last - 6, 1, PRESS_H)
        self.assertAt(probe, last - 5, 1, SPLASH_DASHES)
        self.assertEqual(probe.row(last - 5)[56:].strip(), "")
        for y in [last - 12] + list(range(last - 4, last + 1)):
            self.assertBlank(probe, y)
        self.assertColours(probe, last - 11, 3, "white", "black", bold=True)

        # Status window: boxed, white on blue, the two log lines at its bottom.
        top = lines - 6
        self.assertEqual(probe.row(top)[0], "┌")
        self.assertEqual(probe.row(top)[cols - 1], "┐")
        self.assertEqual(probe.row(lines - 1)[0], "└")
        self.assertEqual(probe.row(top + 2)[cols - 1], "│")
        self.assertBlank(probe, top + 1, 1, cols - 1)
        self.assertBlank(probe, top + 2, 1, cols - 1)
        self.assertAt(probe, top + 3, 1, NAME_LINE)
        self.assertAt(probe, top + 4, 1, "Using 8bit, mono, %dHz sampling rate. "
                      "Buffersize: 50240 bytes" % rate)
        self.assertAt(probe, lines - 1, 2, PRESS_H_BORDER)
        self.assertColours(probe, top + 4, 1, "white", "blue", bold=False)
        self.assertColours(probe, top + 1, cols - 2, "white", "blue")
        self.assertColours(probe, lines - 1, 2, "white", "blue", bold=True)


class Layout(ProbeCase):
    def test_open_at_80x24(self):
        probe = self.start(24, 80)
        self.assertLayout(probe, 24, 80)
        self.assertEqual(probe.send("size"), "size 24 80")
        self.assertEqual(probe.send("windows"), "windows 1 1 1 0 0")

    def test_open_at_132x43_with_another_rate(self):
        probe = self.start(43, 132, extra=("--rate", "22050"))
        self.assertLayout(probe, 43, 132, rate=22050)

    def test_clock_spinner_and_terminal_title(self):
        probe = self.start()
        probe.do("clock 0")  # TZ=UTC
        self.assertAt(probe, 0, 59, "01 Jan 1970 - 00:00")
        for c in "|/-\\":
            probe.do("spinner " + c)
            self.assertEqual(probe.row(0)[79], c)
        self.assertColours(probe, 0, 79, "black", "white")
        probe.do("terminal-title")
        self.assertEqual(probe.screen.title, "korvad 1.oo")

    def test_tiny_terminals_only_clip(self):
        probe = self.start(10, 40)
        # Status window on rows 4..9, its texts cut before the right border.
        self.assertEqual(probe.row(4)[0], "┌")
        self.assertEqual(probe.row(9)[39], "┘")
        self.assertEqual(probe.row(8), "│Using 8bit, mono, 19500Hz sampling rat│")
        # The clock, right-aligned, covers the end of the name line.
        self.assertAt(probe, 0, 0, "korvad 1.oo - (C) 2")
        self.assertRegex(probe.row(0)[19:38], r"^\d\d [A-Z][a-z]{2} \d{4} - \d\d:\d\d$")
        # A long one-line text fills the message window's last row and does
        # not wrap or scroll.
        probe.do("print message 0 2 0 last 0 1 " + "y" * 60)
        self.assertEqual(probe.row(3), "y" * 40)
        self.assertNotIn("y", probe.row(2))
        probe.do("help")
        self.assertEqual(probe.row(2), "│ A ... Show/Hide daily airline statist│")
        probe.do("help")
        probe.do("stats 5 9")
        probe.do("crc on")
        probe.do("volume =[ Vol: 12, Extended: OFF ]=")
        probe.do("status " + "z" * 50)
        self.assertEqual(probe.row(8), "│" + "z" * 38 + "│")
        self.assertEqual(probe.send("key"), "key -1")

        small = self.start(5, 20)
        self.assertEqual(small.send("windows"), "windows 1 0 1 0 0")
        for line in ("print message 0 2 1 last 0 1 hello", "help", "help", "stats 3 8",
                     "crc off", "status tiny", "spinner /", "scroll message"):
            small.do(line)
        self.assertEqual(small.send("key"), "key -1")
        os.write(small.master, b"q")
        self.assertEqual(small.send("key"), "key 113")  # read from the title bar
        small.resize(3, 12)
        small.resize(5, 20)

    def test_close_blanks_the_terminal_and_ends_drawing(self):
        probe = self.start()
        probe.do("help")
        probe.do("close")
        self.assertEqual("".join(probe.screen.display).strip(), "")
        for line in ("print message 0 2 1 last 0 1 after close", "help", "crc on", "status x",
                     "close"):
            probe.do(line)
        self.assertEqual("".join(probe.screen.display).strip(), "")
        self.assertEqual(probe.send("windows"), "windows 0 0 0 0 0")
        self.assertEqual(probe.send("key"), "key -1")


class Printing(ProbeCase):
    def test_multiline_text_at_the_last_row(self):
        probe = self.start()
        probe.do(r"print message 0 2 1 last 0 0 \nA\nB\n")
        # A three rows and B two rows above the last row (screen row 17).
        self.assertAt(probe, 14, 0, " A ")
        self.assertAt(probe, 15, 0, " B ")
        self.assertBlank(probe, 16)
        self.assertBlank(probe, 17)
        # The splash moved up with the three scrolls.
        self.assertAt(probe, 9, 1, SPLASH_DASHES)

    def test_one_line_text_with_scroll_first(self):
        probe = self.start()
        probe.do("print message 8 6 1 last 1 1 First contact with this aircraft")
        self.assertAt(probe, 17, 0, " First contact with this aircraft ")
        # pyte names colour 3 (yellow) "brown".
        self.assertColours(probe, 17, 1, "brown", "black", bold=True)
        self.assertAt(probe, 11, 1, SPLASH_DASHES)  # moved up by one
        probe.do("print message 0 2 0 last 0 1 second")
        self.assertAt(probe, 17, 0, "second ")
        self.assertAt(probe, 16, 1, "First contact with this aircraft")
        self.assertColours(probe, 17, 0, "white", "black", bold=False)

    def test_formats_with_star_or_bracket_are_shown_literally(self):
        probe = self.start()
        probe.do("printf message 2 1 last 0 1 load %*d%% of %s")
        self.assertAt(probe, 17, 1, "load %*d%% of %s ")
        probe.do("printf message 2 1 last 0 1 %] %d %d")
        self.assertAt(probe, 17, 1, "%] %d %d ")
        probe.do("printf message 2 1 last 0 1 value %d and %d")  # formatted with 7, 42
        self.assertAt(probe, 17, 1, "value 7 and 42 ")

    def test_control_characters_are_drawn_harmlessly(self):
        probe = self.start()
        probe.do(r"print message 0 2 1 last 0 1 A\x1b[31mB\x07C\x9bD\x1b]0;owned\x07E\r")
        self.assertAt(probe, 17, 1, "A^[[31mB^GCM-^[D^[]0;owned^GE ")
        self.assertColours(probe, 17, 9, "white", "black")
        self.assertEqual(probe.screen.title, "")

    def test_utf8_names_are_their_characters_only_on_a_utf8_terminal(self):
        # Names from the stores (OpenFlights data) are UTF-8; a stray byte, a
        # surrogate or a C1 control keeps its harmless form.
        text = (r"print message 0 2 1 last 0 1 Z\xc3\xbcrich-Bogot\xc3\xa1 \xe6\x9d\xb1\xe4\xba\xac"
                r"|\xc3(\x80\xed\xa0\x80\xc2\x9b|")
        probe = self.start(utf8=True)
        probe.do(text)
        self.assertAt(probe, 17, 1, "Zürich-Bogotá 東京|M-C(M-^@M-mM- M-^@M-BM-^[| ")
        plain = self.start()
        plain.do(text)
        self.assertAt(plain, 17, 1, "ZM-CM-<rich-BogotM-CM-! M-fM-^]M-1M-dM-:M-,|")

    def test_long_line_is_cut_at_the_edge(self):
        probe = self.start()
        probe.do("print message 0 2 1 last 0 1 " + "x" * 100)
        self.assertEqual(probe.row(17), " " + "x" * 79)
        self.assertBlank(probe, 16)  # nothing wrapped or scrolled
        self.assertAt(probe, 11, 1, SPLASH_DASHES)

    def test_status_log_and_border_lines(self):
        probe = self.start()
        probe.do("status Aircraft 'D-ABCD' was added to your database")
        self.assertAt(probe, 22, 0, "│Aircraft 'D-ABCD' was added to your database ")
        self.assertAt(probe, 21, 1, "Using 8bit, mono, 19500Hz")
        self.assertAt(probe, 20, 1, NAME_LINE)
        self.assertColours(probe, 21, 1, "white", "blue", bold=False)
        probe.do("print status 0 3 21 4 1 0 D-ABCD")
        self.assertColours(probe, 22, 21, "brown", "blue", bold=True)
        probe.do("status next")
        # The yellow registration moved up with its colour; row 4 is blank.
        self.assertColours(probe, 21, 21, "brown", "blue", bold=True)
        self.assertAt(probe, 22, 0, "│next ")
        self.assertColours(probe, 22, 30, "white", "blue")

        # CRC and volume lines right-aligned three columns before the edge; a
        # shorter text leaves no remains of the longer one.
        probe.do("crc off")
        self.assertEqual(probe.row(18)[50:], "─" * 4 + "=[ CRC check is: OFF ]=" + "──┐")
        probe.do("crc on")
        self.assertEqual(probe.row(18)[50:], "─" * 5 + "=[ CRC check is: ON ]=" + "──┐")
        self.assertColours(probe, 18, 60, "white", "blue", bold=True)
        self.assertColours(probe, 18, 54, "white", "blue", bold=False)
        probe.do("volume =[ Vol: 100, Extended: OFF ]=")
        self.assertEqual(probe.row(23)[44:], "─" * 4 + "=[ Vol: 100, Extended: OFF ]=" + "──┘")
        probe.do("volume =[ Vol: 7, Extended: ON ]=")
        self.assertEqual(probe.row(23)[44:], "─" * 7 + "=[ Vol: 7, Extended: ON ]=" + "──┘")
        self.assertAt(probe, 23, 2, PRESS_H_BORDER)


class Overlays(ProbeCase):
    def fill(self, probe, count):
        for i in range(count):
            probe.do("print message 0 2 1 last 0 1 message line %02d %s" % (i, "=" * 50))

    def test_help_twice_restores_the_messages(self):
        probe = self.start()
        self.fill(probe, 16)
        before = list(probe.screen.display)
        probe.do("help")
        # 9 x 46 at row 24/2 - 4 = 8, column 80/2 - 23 = 17, black on white.
        self.assertEqual(probe.row(8)[17], "┌")
        self.assertEqual(probe.row(16)[62], "┘")
        self.assertAt(probe, 9, 17, "│ " + HELP_FIRST)
        self.assertAt(probe, 15, 19, HELP_LAST)
        self.assertColours(probe, 9, 19, "black", "white", bold=False)
        self.assertColours(probe, 12, 60, "black", "white")
        self.assertAt(probe, 12, 1, "message line")  # beside it, untouched
        probe.do("help")
        self.assertEqual(probe.screen.display, before)
        self.assertColours(probe, 12, 30, "white", "black")

    def test_a_print_removes_statistics_but_not_help(self):
        probe = self.start()
        self.fill(probe, 16)
        probe.do("stats 3 8")
        # 5 rows x 54 columns at row 5, column 80 - 56 = 24.
        self.assertEqual(probe.row(5)[24], "┌")
        self.assertAt(probe, 5, 26, "-=[ Daily Types statistics ]=-")
        self.assertAt(probe, 6, 26, "Type 00" + "." * 39 + "0100")
        self.assertEqual(probe.row(9)[77], "┘")
        self.assertColours(probe, 6, 30, "black", "white")
        probe.do("help")
        probe.do("print message 0 2 1 last 0 1 fresh message")
        self.assertEqual(probe.send("windows"), "windows 1 1 1 1 0")
        self.assertNotIn("Daily Types", "\n".join(probe.screen.display))
        self.assertNotIn("Type 00", "\n".join(probe.screen.display))
        self.assertAt(probe, 17, 1, "fresh message")
        # The help window stays on top of the scrolled messages.
        self.assertAt(probe, 9, 19, HELP_FIRST)
        self.assertColours(probe, 9, 19, "black", "white")
        probe.do("help")
        self.assertNotIn("Show/Hide", "\n".join(probe.screen.display))
        self.assertAt(probe, 9, 1, "message line")

    def test_statistics_close_and_airline_colours(self):
        probe = self.start()
        self.fill(probe, 16)
        before = list(probe.screen.display)
        probe.do("stats 30 9")  # more than the terminal holds: 24 - 14 = 10 entries
        self.assertAt(probe, 15, 26, "Type 09")
        self.assertEqual(probe.row(16)[24], "└")
        self.assertColours(probe, 7, 30, "black", "brown")  # pyte's name for yellow
        probe.do("stats-close")
        self.assertEqual(probe.screen.display, before)

    def test_keys_are_read_without_waiting(self):
        probe = self.start()
        self.assertEqual(probe.send("key"), "key -1")
        os.write(probe.master, b"h")
        self.assertEqual(probe.send("key"), "key 104")
        self.assertEqual(probe.send("key"), "key -1")
        # The up arrow (ESC O A while curses has the keypad on) is one key
        # code, KEY_UP, not ESC, "O" and an "A" that would open the airline
        # statistics.
        os.write(probe.master, b"\x1bOA")
        self.assertEqual(probe.send("key"), "key 259")
        self.assertEqual(probe.send("key"), "key -1")


class Resize(ProbeCase):
    def test_resize_rebuilds_every_window_at_the_new_size(self):
        probe = self.start(24, 80)
        probe.do("print message 0 2 1 last 0 1 before the resize")
        probe.do("crc on")
        probe.do("help")
        probe.do("stats 2 8")
        probe.resize(30, 100)
        self.assertEqual(probe.send("windows"), "windows 1 1 1 0 0")
        self.assertEqual(probe.send("size"), "size 30 100")
        self.assertLayout(probe, 30, 100)
        text = "\n".join(probe.screen.display)
        for gone in ("before the resize", "Show/Hide", "Daily Types", "CRC check"):
            self.assertNotIn(gone, text)
        # counters_line after the rebuild; the CRC line only with the next C key.
        self.assertAt(probe, 24, 3, COUNTERS)
        self.assertColours(probe, 24, 3, "white", "blue", bold=True)
        probe.do("crc on")
        self.assertAt(probe, 24, 100 - 22 - 3, "=[ CRC check is: ON ]=")

    def test_shrink_and_grow_back(self):
        probe = self.start(43, 132)
        probe.resize(10, 40)
        self.assertEqual(probe.row(8), "│Using 8bit, mono, 19500Hz sampling rat│")
        probe.do("help")
        probe.resize(24, 80)
        self.assertLayout(probe, 24, 80)
        self.assertEqual(probe.send("windows"), "windows 1 1 1 0 0")


class Titles(ProbeCase):
    def cmdline(self, probe):
        with open("/proc/%d/cmdline" % probe.proc.pid, "rb") as f:
            return f.read()

    def test_decoder_title_in_cmdline_and_ps(self):
        probe = self.start(extra=("--filler", "an argument to make room"))
        self.assertIn(b"--filler", self.cmdline(probe))
        self.assertEqual(probe.send("names"), "names korvad " + PROBE)
        probe.do("title-decoder")
        self.assertEqual(self.cmdline(probe).rstrip(b"\0"), b"korvad ACARS decoder")
        ps = subprocess.run(["ps", "-o", "args=", "-p", str(probe.proc.pid)],
                            capture_output=True, text=True, check=True)
        self.assertEqual(ps.stdout.strip(), "korvad ACARS decoder")

    def test_long_title_runs_into_the_environment_which_stays_usable(self):
        probe = self.start(env={"KORVAD_PROBE_MARK": "still-here"})
        probe.do("title-long 6000")
        shown = self.cmdline(probe).rstrip(b"\0")
        self.assertTrue(shown.startswith(b"korvad xxxxxxxx"), shown[:40])
        self.assertGreater(len(shown), 200)  # past the arguments, over the environment
        self.assertEqual(set(shown[7:]), {ord("x")})
        self.assertEqual(probe.send("getenv KORVAD_PROBE_MARK"), "env still-here")
        self.assertEqual(probe.send("getenv TERM"), "env " + TERMINAL_NAME)
        self.assertEqual(probe.send("names"), "names korvad " + PROBE)  # copies, not the area


class Daemon(ProbeCase):
    def test_queue_code_still_reaches_the_queue_and_nothing_is_drawn(self):
        probe = self.start(extra=("--daemon", "--queue"))
        self.assertEqual(probe.send("windows"), "windows 0 0 0 0 0")
        probe.do("print message 8 6 1 last 1 0 First contact with this aircraft")
        self.assertEqual(probe.send("receive"), "queued 8 First contact with this aircraft")
        probe.do("print message 0 2 1 last 0 1 only for the screen")
        self.assertEqual(probe.send("receive"), "queued none")
        for line in ("help", "crc on", "status x", "stats 3 8", "spinner /", "clock 0",
                     "volume =[ Vol: 1, Extended: OFF ]=", "terminal-title"):
            probe.do(line)
        self.assertEqual(probe.send("key"), "key -1")
        self.assertEqual("".join(probe.screen.display).strip(), "")
        self.assertEqual(probe.screen.title, "")

    def test_detach_gives_up_the_terminal(self):
        probe = self.start(extra=("--daemon", "--queue"))
        with open("/proc/%d/stat" % probe.proc.pid) as f:
            self.assertNotEqual(f.read().rsplit(")", 1)[1].split()[4], "0")
        probe.terminal = False  # stdout leads to /dev/null from here on
        self.assertEqual(probe.send("detach"), "detached 0")
        self.assertEqual(os.readlink("/proc/%d/fd/1" % probe.proc.pid), "/dev/null")
        probe.do("print message 8 6 1 last 1 0 after detaching")
        self.assertEqual(probe.send("receive"), "queued 8 after detaching")


if __name__ == "__main__":
    PROBE = sys.argv[1]
    work = tempfile.TemporaryDirectory()
    TERMINFO = build_terminal_entry(work.name)
    names = sys.argv[2:]
    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    suite = (unittest.TestSuite(loader.loadTestsFromName(n, module) for n in names)
             if names else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    print("%d passed, %d failed" % (result.testsRun - len(result.failures) - len(result.errors),
                                     len(result.failures) + len(result.errors)))
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
