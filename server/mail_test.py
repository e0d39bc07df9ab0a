#!/usr/bin/python3
"""Subscriptions and the daily report mails end to end: the real korvad -s -c
-M on loopback, with stand-ins for sendmail, zip and mimencode, and (when
the real programs are installed) with a real MTA delivering locally.

    mail_test.py KORVAD [TestClass ...]
"""

import datetime
import email
import email.policy
import email.utils
import io
import mailbox
import os
import re
import shutil
import struct
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from korvad_station import Station, children_of, queue_send, wait_until  # noqa: E402

KORVAD = None
YESTERDAY = (datetime.date.today() - datetime.timedelta(days=1)).strftime("%Y%m%d")
SUBSCRIBED = (b"You are now subscribed. You'll receive a mail with your authorisation code.\n"
              b"Please send this code back to this korvad Server with your korvadclient to get "
              b"fully enabled.")
CODE_MAIL = ("From: korvad@%s\nTo: %s\nSubject: Subscribe for daily ACARS Reports\n\n"
             "Please send the following code back to this korvad server with your korvadclient.\n"
             "Your code: %d\n\nUntil you are not fully subscribed you'll not receive any reports!\n")


def read_subscribers(path):
    """(email, flags, code) of the records of korvad-reports.db."""
    with open(path, "rb") as f:
        data = f.read()
    count = struct.unpack_from("<i", data)[0]
    at, records = 13, []
    for _ in range(count):
        n = struct.unpack_from("<i", data, at)[0]
        address = data[at + 4:at + 4 + n].decode()
        flags = data[at + 4 + n]
        code = struct.unpack_from("<i", data, at + 5 + n)[0]
        records.append((address, flags, code))
        at += 9 + n
    return records


class MailCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="korvad-mail-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.bin = os.path.join(self.folder, "bin")
        self.mails = os.path.join(self.folder, "mails")
        self.logs = os.path.join(self.folder, "logs")
        for d in (self.bin, self.mails, self.logs):
            os.mkdir(d)
        self.hold = os.path.join(self.folder, "hold")
        self.zip_calls = os.path.join(self.folder, "zip-calls.txt")
        # sendmail -t: each mail into a file of its own; report mails wait
        # while the hold file exists.
        self.stand_in("sendmail", '[ "$1" = -t ] || exit 1\nt=$(mktemp %s/part.XXXXXX)\ncat > "$t"\n'
                      'if grep -q "^Subject: Daily" "$t"; then\n'
                      '  while [ -e %s ]; do sleep 0.05; done\nfi\n'
                      'mv "$t" "$t.mail"\n' % (self.mails, self.hold))
        self.stand_in("zip", 'echo "$@" >> %s\n[ -f "$4" ] && cp "$4" "$3"\nexit 0\n' % self.zip_calls)
        self.stand_in("mimencode", '[ -f "$1" ] && base64 -w 76 "$1"\nexit 0\n')

    def stand_in(self, name, body):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, 0o755)

    def start(self, *args, programs=True):
        extra = ["--mail-programs", self.bin] if programs else []
        station = Station(KORVAD, self.folder, extra + ["-l", self.logs] + list(args))
        self.addCleanup(station.close)
        station.wait_listening()
        self.assertIn("Your system is ready for subscriptions!", station.errors())
        return station

    def connect(self, station):
        client = station.connect()
        self.addCleanup(client.close)
        client.greeting()
        return client

    def mail_files(self):
        return sorted(n for n in os.listdir(self.mails) if n.endswith(".mail"))

    def no_mail_process_left(self, station):
        server = station.server_pid()
        wait_until(lambda: not any(t.startswith("korvad send") for _, t in children_of(server)), 20,
                   "the mail processes to end")

    def code_from_mail(self, name):
        with open(os.path.join(self.mails, name)) as f:
            text = f.read()
        match = re.search(r"Your code: (\d+)\n", text)
        self.assertIsNotNone(match, text)
        return int(match.group(1)), text

    def ask(self, client, code, address, argument=0):
        client.send(code, address, argument)
        return client.next()


class Subscriptions(MailCase):
    def test_every_state_change_and_the_code_mail(self):
        station = self.start("-M", "station")
        client = self.connect(station)
        self.assertEqual(self.ask(client, 60, "Anna@Example.org"), (64, 0, SUBSCRIBED))
        wait_until(lambda: len(self.mail_files()) == 1, 20, "the code mail")
        code, text = self.code_from_mail(self.mail_files()[0])
        self.assertEqual(text, CODE_MAIL % (station_host(), "Anna@Example.org", code))
        self.assertGreater(code, 0)
        # Letter case makes no other subscriber; the code is not mailed again
        # within 10 minutes.
        self.assertEqual(self.ask(client, 60, "anna@EXAMPLE.org"),
                         (108, 0, b"You are already subscribed but we send the code again :)"))
        wrong = (108, 0, b"Your authorisation code is wrong!")
        not_there = (108, 0, b"You are not subscribed to this Server")
        for request in (61, 62, 63):
            self.assertEqual(self.ask(client, request, "anna@example.org", code ^ 1), wrong)
            self.assertEqual(self.ask(client, request, "bert@example.org", code), not_there)
        self.assertEqual(self.ask(client, 63, "anna@example.org", code)[0], 64)  # pending stays
        self.assertEqual(self.ask(client, 62, "ANNA@example.org", code),
                         (64, 0, b"You are now fully subscribed to this Server\n\nYou now should "
                                 b"receive daily reports with your mail."))
        self.assertEqual(self.ask(client, 66, "anna@example.org", 1),
                         (64, 0, b"Your logfile format is now: ANAD Style"))
        self.assertEqual(self.ask(client, 63, "anna@example.org", code),
                         (64, 0, b"Your subscription is temporarily disabled\n\nYou must activate "
                                 b"your account to receive reports again"))
        self.assertEqual(self.ask(client, 66, "anna@example.org", 0),
                         (64, 0, b"Your logfile format is now: korvad Style"))
        self.assertEqual(self.ask(client, 66, "bert@example.org", 1), not_there)
        for refused in ("eve@x.org\nBcc: mallory@x.org", "-oQ/tmp/x@x.org", "a@x.org, b@x.org",
                        "Eve <eve@x.org>", "eve", "eve@x.org;b@x.org", "e ve@x.org"):
            self.assertEqual(self.ask(client, 60, refused), (108, 0, b"Invalid e-mail address"))
        self.assertEqual(self.ask(client, 60, "bert@example.org"), (64, 0, SUBSCRIBED))
        self.assertEqual(self.ask(client, 62, "anna@example.org", code)[0], 64)
        self.no_mail_process_left(station)
        server = station.server_pid()
        self.assertEqual(station.stop(), 5)
        # The server process saves the list on its way out, after the main process.
        wait_until(lambda: not os.path.exists("/proc/%d" % server), 10, "the server to end")
        records = read_subscribers(os.path.join(self.folder, "korvad-reports.db"))
        self.assertEqual([(a, f) for a, f, _ in records],
                         [("Anna@Example.org", 2), ("bert@example.org", 1)])
        self.assertEqual(records[0][2], code)
        self.assertEqual(len(self.mail_files()), 2)  # anna's first, bert's; none for the refused

        # Unsubscribing removes the record; then the address is unknown.
        station = self.start("-M", "station")
        client = self.connect(station)
        self.assertEqual(self.ask(client, 61, "anna@example.org", code),
                         (64, 0, b"You are now unsubscribed from this Server"))
        self.assertEqual(self.ask(client, 62, "anna@example.org", code), not_there)

    def test_at_most_30_code_mails_an_hour(self):
        station = self.start("-M", "station")
        client = self.connect(station)
        for i in range(32):
            self.assertEqual(self.ask(client, 60, "user%02d@example.org" % i), (64, 0, SUBSCRIBED))
        self.no_mail_process_left(station)
        self.assertEqual(len(self.mail_files()), 30)

    def test_without_mailing_every_request_is_refused(self):
        station = Station(KORVAD, self.folder, [])
        self.addCleanup(station.close)
        station.wait_listening()
        client = self.connect(station)
        for request in (60, 61, 62, 63, 66):
            self.assertEqual(self.ask(client, request, "anna@example.org"),
                             (108, 0, b"No support for daily reports on this server"))


def station_host():
    import socket
    return socket.gethostname()[:32]


class Reports(MailCase):
    def subscribe(self, client, address, anad=False):
        before = set(self.mail_files())
        self.assertEqual(self.ask(client, 60, address), (64, 0, SUBSCRIBED))
        wait_until(lambda: set(self.mail_files()) - before, 20, "the code mail")
        code, _ = self.code_from_mail((set(self.mail_files()) - before).pop())
        self.assertEqual(self.ask(client, 62, address, code)[0], 64)
        if anad:
            self.assertEqual(self.ask(client, 66, address, 1)[0], 64)

    def zip_call_lines(self):
        if not os.path.exists(self.zip_calls):
            return []
        with open(self.zip_calls) as f:
            return f.readlines()

    def test_one_run_a_day_and_none_while_one_runs(self):
        for name, text in (("korvad", "the korvad log\n"), ("ANAD", "the ANAD log\n")):
            with open(os.path.join(self.logs, "%s-%s.log" % (name, YESTERDAY)), "w") as f:
                f.write(text)
        station = self.start("-M", "station")
        client = self.connect(station)
        self.subscribe(client, "anna@example.org")
        self.subscribe(client, "bert@example.org", anad=True)
        self.assertEqual(self.ask(client, 60, "carl@example.org")[0], 64)  # pending
        wait_until(lambda: len(self.mail_files()) == 3, 20, "the three code mails")
        codes = set(self.mail_files())
        open(self.hold, "w").close()
        queue = station.queue_id()
        queue_send(queue, 1, 155, "-")
        wait_until(lambda: len(self.zip_call_lines()) == 2, 20, "the run to zip both logs")
        queue_send(queue, 1, 155, "-")  # while the run waits: nothing more starts
        self.assertEqual(self.ask(client, 148, " "), (149, 0, b" "))
        os.unlink(self.hold)
        self.no_mail_process_left(station)
        reports = sorted(set(self.mail_files()) - codes)
        self.assertEqual(len(reports), 2)
        self.assertEqual(len(self.zip_call_lines()), 2)
        mails = {}
        for name in reports:
            with open(os.path.join(self.mails, name)) as f:
                text = f.read()
            mails[re.search(r"^To: (.*)$", text, re.M).group(1)] = text
        self.assertEqual(sorted(mails), ["anna@example.org", "bert@example.org"])
        self.assertIn("name=korvad-%s.log.zip\n" % YESTERDAY, mails["anna@example.org"])
        self.assertIn("dGhlIGtvcnZhZCBsb2cK\n", mails["anna@example.org"])
        self.assertIn("name=ANAD-%s.log.zip\n" % YESTERDAY, mails["bert@example.org"])
        self.assertIn("Subject: Daily zipped ACARS Report of station\n", mails["bert@example.org"])
        # The subscriber list was saved for the run.
        records = read_subscribers(os.path.join(self.folder, "korvad-reports.db"))
        self.assertEqual([f for _, f, _ in records], [2, 6, 1])


class RealMail(MailCase):
    """zip, the project's mimencode and an MTA delivering to a local mailbox."""

    PROGRAMS = ("/usr/sbin/sendmail", "/usr/bin/zip", "/usr/bin/mimencode")

    def messages(self):
        for name in os.listdir("/var/mail"):
            # Mailboxes only: opening the MTA's lock file (or one it just
            # removed) would leave an empty lock behind that blocks delivery.
            if ".lock" in name:
                continue
            try:
                box = mailbox.mbox(os.path.join("/var/mail", name), create=False)
            except mailbox.NoSuchMailboxError:
                continue
            try:
                yield from list(box)
            finally:
                box.close()

    def delivered(self, subject):
        for message in self.messages():
            if message["Subject"] == subject:
                return message.as_bytes()
        return None

    def test_the_delivered_mail_parses_and_unzips_to_the_log(self):
        name = "korvad-test-%d" % os.getpid()
        log = b"".join(b"line %d of the day's log\n" % i for i in range(500))
        with open(os.path.join(self.logs, "korvad-%s.log" % YESTERDAY), "wb") as f:
            f.write(log)
        station = self.start("-M", name, programs=False)
        client = self.connect(station)
        self.assertEqual(self.ask(client, 60, "root@localhost")[0], 64)
        code_mail = wait_until(lambda: self.code_mail_for(station), 60, "the code mail")
        code = int(re.search(rb"Your code: (\d+)", code_mail).group(1))
        self.assertEqual(self.ask(client, 62, "root@localhost", code)[0], 64)
        queue_send(station.queue_id(), 1, 155, "-")
        raw = wait_until(lambda: self.delivered("Daily zipped ACARS Report of " + name), 60,
                         "the report mail")
        message = email.message_from_bytes(raw, policy=email.policy.default)
        self.assertTrue(message.is_multipart())
        self.assertEqual(message["X-Header"], "korvad 1.oo")
        parts = [p for p in message.iter_attachments()]
        self.assertEqual(len(parts), 1)
        self.assertEqual(parts[0].get_content_type(), "application/zip")
        self.assertEqual(parts[0].get_param("name"), "korvad-%s.log.zip" % YESTERDAY)
        with zipfile.ZipFile(io.BytesIO(parts[0].get_content())) as archive:
            self.assertEqual(archive.namelist(), ["korvad-%s.log" % YESTERDAY])
            self.assertEqual(archive.read("korvad-%s.log" % YESTERDAY), log)

    def code_mail_for(self, station):
        # The newest code mail to root@localhost since this korvad started.
        for message in reversed(list(self.messages())):
            if (message["Subject"] == "Subscribe for daily ACARS Reports" and
                    message["To"] == "root@localhost" and self.fresh(message, station)):
                return message.as_bytes()
        return None

    def fresh(self, message, station):
        date = email.utils.parsedate_to_datetime(message["Date"]) if message["Date"] else None
        return date is not None and date.timestamp() >= station.started - 2


if __name__ == "__main__":
    KORVAD = sys.argv[1]
    names = sys.argv[2:]
    if names == ["RealMail"] and not all(os.path.isfile(p) for p in RealMail.PROGRAMS):
        print("RealMail: sendmail, zip or mimencode is not installed; skipped")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0]] + names, verbosity=2)
