#!/usr/bin/python3
"""The server's figures, measured on the real korvad on loopback:

    python3 tools/measure/server_measure.py BUILD_FOLDER

1. idle CPU of the server process over 10 s (no client, then 64 idle clients);
2. latency of a decoded message: from the moment the last byte of the
   audio buffer that holds it is written into korvad's pipe until the
   message has arrived at each of 64 connected clients (the decoding of the
   buffer by both demodulators included); and of a text that arrives on the
   queue from elsewhere (korvadm, the database server), which the server
   takes at its next look at the queue;
3. 64 clients downloading the registration list of a 100,000-entry
   collection at once; then 63 of them while the 64th (the slots are 64)
   sends a keep-alive every 20 ms.
"""

import os
import select
import shutil
import statistics
import subprocess
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server"))
from korvad_station import (HEADER, SILENCE, Client, Station, contact_item, packet, queue_send,  # noqa: E402
                            wait_until, write_list_file)



def cpu_seconds(pid):
    """Time on a processor, to the nanosecond (the tick counts of
    /proc/PID/stat miss or overcount a process that wakes 100 times a
    second)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def idle_cpu(station, seconds=10):
    pid = station.server_pid()
    before, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (cpu_seconds(pid) - before) / (time.monotonic() - start)


def packets_of(client):
    """Complete packets in the client's pending bytes."""
    got = []
    while len(client.pending) >= 12:
        code, length, argument = HEADER.unpack_from(client.pending)
        if len(client.pending) < 12 + length:
            break
        got.append((code, client.pending[12:12 + length]))
        client.pending = client.pending[12 + length:]
    return got


def latency(station, clients, rounds, send, code):
    by_socket = {c.sock: c for c in clients}
    results = []
    firsts = []
    for i in range(rounds):
        sent = send(i)
        waiting = set(clients)
        while waiting:
            ready, _, _ = select.select([c.sock for c in waiting], [], [], 5)
            if not ready:
                raise SystemExit("a client got nothing within 5 s")
            for s in ready:
                c = by_socket[s]
                c.pending += s.recv(65536)
                if any(got == code for got, _ in packets_of(c)):
                    waiting.discard(c)
                    if len(waiting) == len(clients) - 1:
                        firsts.append((time.monotonic() - sent) * 1000)
        results.append((time.monotonic() - sent) * 1000)
    return results, sorted(firsts)


def downloads(station, count, with_keeper):
    wait_until(lambda: station.server_title() == "korvad server, 0 clients connected", 10,
               "the last round's clients to go")
    clients = [Client(station.port) for _ in range(count)]
    for c in clients:
        c.greeting()
    keeper = None
    if with_keeper:
        keeper = Client(station.port)
        keeper.greeting()
    by_socket = {c.sock: c for c in clients}
    done = {}
    names = {c: 0 for c in clients}
    start = time.monotonic()
    for c in clients:
        c.send(70, " ")
    answers = []
    next_ping = time.monotonic()
    ping_sent = None
    while len(done) < count:
        now = time.monotonic()
        if with_keeper and ping_sent is None and now >= next_ping:
            keeper.send(148, " ")
            ping_sent = now
        socks = [c.sock for c in clients if c not in done] + ([keeper.sock] if keeper else [])
        ready, _, _ = select.select(socks, [], [], 0.005)
        for s in ready:
            if keeper and s is keeper.sock:
                keeper.pending += s.recv(65536)
                if any(code == 149 for code, _ in packets_of(keeper)):
                    answers.append((time.monotonic() - ping_sent) * 1000)
                    ping_sent = None
                    next_ping = time.monotonic() + 0.02
                continue
            c = by_socket[s]
            c.pending += s.recv(1 << 20)
            for code, payload in packets_of(c):
                if code == 71:
                    names[c] += payload.count(b"|")
                    if names[c] >= 100000 and c not in done:
                        done[c] = time.monotonic() - start
    total = max(done.values())
    for c in clients + ([keeper] if keeper else []):
        c.close()
    return total, answers, sum(names.values())


def one_message_buffer(build, folder, i):
    """One downlink inside one buffer of 40000 samples; its text differs
    for each i (a frame heard again within 30 s is shown once)."""
    path = os.path.join(folder, "one.raw")
    frames = os.path.join(folder, "one.txt")
    with open(frames, "w") as f:
        f.write("downlink mode=2 reg=.D-ABCD label=H1 block=1 seq=M01A flight=LH0400 "
                "text=LATENCY %d\n" % i)
    subprocess.run([os.path.join(build, "tools", "synth", "korvad-synth"), "-q", frames, path],
                   check=True)
    with open(path, "rb") as f:
        audio = f.read()
    assert len(audio) <= 40000
    return audio + bytes([128]) * (40000 - len(audio))


def main():
    build = os.path.abspath(sys.argv[1])
    korvad = os.path.join(build, "control", "korvad")
    folder = tempfile.mkdtemp(prefix="korvad-server-measure-")
    try:
        station = Station(korvad, folder).wait_listening()
        print("idle, no client:      %.2f %% of a core" % idle_cpu(station))
        clients = [Client(station.port) for _ in range(64)]
        for c in clients:
            c.greeting()
        print("idle, 64 clients:     %.2f %% of a core" % idle_cpu(station))
        messages = [one_message_buffer(build, folder, i) for i in range(100)]

        def decoded(i):
            message = messages[i]
            for _ in range(5):  # the repeat check forgets every fifth buffer
                station.write_audio(SILENCE)
            time.sleep(0.05)
            station.write_audio(message[:-1])
            time.sleep(0.01)
            station.write_audio(message[-1:])
            return time.monotonic()

        def queued(i):
            time.sleep(0.013)  # not in step with the server's 10 ms look at the queue
            queue_send(station.queue_id(), 1, 90, "latency %d" % i)
            return time.monotonic()
        for what, send, code, rounds in (("decoded message", decoded, 18, 100),
                                         ("queue text", queued, 90, 300)):
            ms, firsts = latency(station, clients, rounds, send, code)
            ms.sort()
            print("%s to all 64 clients: median %.2f ms, 99th %.2f ms, max %.2f ms (%d); "
                  "to the first of them: median %.2f ms"
                  % (what, statistics.median(ms), ms[int(len(ms) * 0.99) - 1], ms[-1], len(ms),
                     statistics.median(firsts)))
        for c in clients:
            c.close()
        station.stop()
        station.close()

        items = [contact_item(1700000000 + i, "R%06d" % i, "XX%04d" % (i % 10000))
                 for i in range(100000)]
        write_list_file(os.path.join(folder, "korvad.db"), items)
        station = Station(korvad, folder).wait_listening()
        total, _, names = downloads(station, 64, False)
        print("64 downloads of 100,000 registrations at once: %.2f s for all (%d names)"
              % (total, names))
        answers = []
        for _ in range(5):
            total, more, names = downloads(station, 63, True)
            answers += more
        answers.sort()
        print("63 downloads (5 rounds): %.2f s for all in the last; meanwhile the 64th client's keep-alive answered in "
              "median %.2f ms, max %.2f ms (%d keep-alives)"
              % (total, statistics.median(answers), answers[-1], len(answers)))
        station.stop()
        station.close()
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
