#!/usr/bin/python3
"""Measures korvadweb beside the real korvad on loopback (a measuring tool,
not a test: it asserts nothing and prints figures).

    korvadweb_measure.py BUILD_DIR [--messages N] [--rate R] [--readers N] [--no-browser]

1. Latency: decoded messages handed to the station's server as korvad's main
   process hands them (the message queue, right after decoding), R a second;
   the time from that hand-over until each of N readers of /events has the
   message, and until the last of them has it. A raw client of the station
   gives the station's own share.
2. Page load: the page's files (/, CSS, JS, icon) over one kept-alive
   connection, and a whole load in headless Chromium (navigation timing).
3. Memory: korvadweb's resident size idle, with 2000 kept messages (typical
   and longest texts), and with the readers connected.
"""

import argparse
import http.client
import os
import selectors
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from korvadweb_harness import (EventStream, Web, record_text, resident_kib,  # noqa: E402
                               send_record, start_station, wait_until)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def ms(seconds):
    return "%.1f ms" % (seconds * 1000.0)


def spread(values):
    """median, 99th and max of what there is; a word when there is nothing."""
    if not values:
        return "none arrived"
    return "median %s, 99th %s, max %s" % (
        ms(statistics.median(values)), ms(percentile(values, 99)), ms(max(values)))


def latency(web, station, queue, messages, rate, readers):
    streams = [EventStream(web.port, "/events") for _ in range(readers)]
    for s in streams:
        s.sock.setblocking(False)
    raw = station.connect()
    raw.greeting()
    wait_until(lambda: web.info()["event_clients"] == readers, 30, "the readers")
    sent = {}
    arrived = [dict() for _ in streams]
    raw_arrived = {}
    done = threading.Event()

    def sender():
        start = time.monotonic()
        for n in range(messages):
            due = start + n / rate
            while time.monotonic() < due:
                time.sleep(max(0.0, min(0.002, due - time.monotonic())))
            sent[n] = time.monotonic()
            send_record(queue, record_text("D-ABCD", "LH0400", "SEQ %06d POS N50 E008 FL350" % n))
        done.set()

    selector = selectors.DefaultSelector()
    for i, s in enumerate(streams):
        selector.register(s.sock, selectors.EVENT_READ, i)
    raw.sock.setblocking(False)
    selector.register(raw.sock, selectors.EVENT_READ, -1)
    thread = threading.Thread(target=sender)
    thread.start()
    deadline = time.monotonic() + messages / rate + 60
    while time.monotonic() < deadline:
        if done.is_set() and all(len(a) == messages or s.closed for a, s in zip(arrived, streams)):
            break
        for key, _ in selector.select(timeout=0.05):
            now = time.monotonic()
            i = key.data
            if i < 0:
                try:
                    data = raw.sock.recv(1 << 16)
                except BlockingIOError:
                    continue
                raw.pending += data
                for code, _, payload in raw.read_all(0):
                    if code == 18 and b"SEQ " in payload:
                        raw_arrived[int(payload.split(b"SEQ ")[1][:6])] = now
                continue
            s = streams[i]
            try:
                data = s.sock.recv(1 << 16)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if not data:  # korvadweb dropped this reader
                s.closed = True
                selector.unregister(s.sock)
                continue
            s.raw += data
            before = len(s.events)
            s._unchunk()
            s._parse()
            for kind, _, obj in s.events[before:]:
                if kind == "message":
                    arrived[i][int(obj["text"][4:10])] = now
            del s.events[:]
    thread.join()
    each = [a[n] - sent[n] for a in arrived for n in a]
    last = [max(a[n] for a in arrived) - sent[n] for n in range(messages)
            if all(n in a for a in arrived)]
    station_share = [raw_arrived[n] - sent[n] for n in raw_arrived]
    # From the moment the station broadcast it (its arrival at a raw client).
    web_share = [a[n] - raw_arrived[n] for a in arrived for n in a if n in raw_arrived]
    web_last = [max(a[n] for a in arrived) - raw_arrived[n] for n in raw_arrived
                if all(n in a for a in arrived)]
    missing = sum(messages - len(a) for a in arrived)
    print("latency, %d messages at %g a second to %d readers of /events:" % (messages, rate, readers))
    print("  each delivery   " + spread(each))
    print("  last of %3d     %s" % (readers, spread(last)))
    print("  the station's share (queue to a raw client): " + spread(station_share))
    print("  korvadweb's share (station broadcast to reader): each %s; last of %d %s" % (
        spread(web_share), readers, spread(web_last)))
    dropped = sum(1 for s in streams if s.closed)
    print("  readers dropped: %d" % dropped)
    print("  deliveries missing: %d" % missing)
    return streams, raw


def page_load(web, rounds=200):
    files = ["/", "/korvadweb.css", "/korvadweb.js", "/favicon.svg"]
    conn = http.client.HTTPConnection("127.0.0.1", web.port, timeout=10)
    times = []
    size = 0
    for _ in range(rounds):
        start = time.monotonic()
        size = 0
        for path in files:
            conn.request("GET", path, headers={"Accept-Encoding": "gzip"})
            size += len(conn.getresponse().read())
        times.append(time.monotonic() - start)
    conn.close()
    print("page files (%d bytes gzip, one connection), %d loads: median %s, 99th %s, max %s" % (
        size, rounds, ms(statistics.median(times)), ms(percentile(times, 99)), ms(max(times))))


def browser_load(web, folder, loads=20):
    try:
        from korvadweb_browser_test import browser
    except ImportError as e:
        print("browser load: skipped (%s)" % e)
        return
    driver = browser(os.path.join(folder, "profile"))
    try:
        totals, dom, fetched = [], [], []
        for _ in range(loads):
            # a load of its own: the last page's event stream gone first
            driver.get("about:blank")
            wait_until(lambda: web.info()["event_clients"] == 0, 30, "the last page's reader")
            driver.get("http://127.0.0.1:%d/" % web.port)
            wait_until(lambda: driver.execute_script(
                "return performance.getEntriesByType('navigation')[0].loadEventEnd > 0"), 10,
                "the load")
            t = driver.execute_script(
                "const n = performance.getEntriesByType('navigation')[0];"
                "const files = performance.getEntriesByType('resource')"
                "  .filter(r => !r.name.includes('/api/') && !r.name.includes('/events'));"
                "return [n.domContentLoadedEventEnd, n.loadEventEnd, n.startTime,"
                "        Math.max(n.responseEnd, ...files.map(r => r.responseEnd))];")
            dom.append(t[0] / 1000.0)
            totals.append(t[1] / 1000.0)
            fetched.append((t[3] - t[2]) / 1000.0)
        print("page in headless Chromium, %d loads: the files fetched median %s, max %s; DOM ready "
              "median %s; load event median %s, max %s" % (
                  loads, ms(statistics.median(fetched)), ms(max(fetched)),
                  ms(statistics.median(dom)), ms(statistics.median(totals)), ms(max(totals))))
    finally:
        driver.quit()


def fill(web, queue, first, n, text):
    # korvadweb numbers what it keeps itself, from 1 on
    before = web.info()["messages"]["last_id"]
    for i in range(first, first + n):
        send_record(queue, record_text("D-ABCD", "LH0400", "%06d %s" % (i, text)))
    wait_until(lambda: web.info()["messages"]["last_id"] == before + n, 120, "the messages")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--messages", type=int, default=600)
    parser.add_argument("--rate", type=float, default=20.0)
    parser.add_argument("--readers", type=int, default=100)
    parser.add_argument("--no-browser", action="store_true")
    a = parser.parse_args()
    build = os.path.abspath(a.build)
    folder = tempfile.mkdtemp(prefix="korvadweb-measure-")
    station = web = None
    try:
        station = start_station(os.path.join(build, "control", "korvad"), folder)
        web = Web(os.path.join(build, "web", "korvadweb"), folder, station.port)
        web.wait_connected()
        wait_until(lambda: station.queue_id() is not None, 10, "the queue")
        queue = station.queue_id()
        idle = resident_kib(web.proc.pid)
        page_load(web)
        if not a.no_browser:
            browser_load(web, folder)
            # the pages' own event streams go at their next beat
            wait_until(lambda: web.info()["event_clients"] == 0, 30, "the pages' readers to go")
        streams, raw = latency(web, station, queue, a.messages, a.rate, a.readers)
        with_readers = resident_kib(web.proc.pid)
        for s in streams:
            s.close()
        raw.close()
        wait_until(lambda: web.info()["event_clients"] == 0, 30, "the readers to go")
        # A typical message text, then the longest the station's queue carries.
        fill(web, queue, 100000, 2000, "POS N50 E008 FL350 ETA 1215 FUEL 112 " * 2)
        typical = resident_kib(web.proc.pid)
        fill(web, queue, 200000, 2000, "X" * 2800)
        longest = resident_kib(web.proc.pid)
        readers = [EventStream(web.port, "/events") for _ in range(100)]
        wait_until(lambda: web.info()["event_clients"] == 100, 30, "the readers")
        fill(web, queue, 300000, 20, "POS N50 E008 FL350")
        for r in readers:
            r.wait_for(lambda s: len(s.messages()) == 20, 30, "the messages")
        loaded = resident_kib(web.proc.pid)
        print("memory (resident): idle %d KiB; after the latency run %d KiB; 2000 kept of "
              "~90 bytes of text %d KiB; 2000 kept of 2800 bytes %d KiB; and 100 readers %d KiB" %
              (idle, with_readers, typical, longest, loaded))
        for r in readers:
            r.close()
    finally:
        if web:
            web.close()
        if station:
            station.close()
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
