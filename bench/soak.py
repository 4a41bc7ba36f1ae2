#!/usr/bin/env python3
"""Runs the relay for a long time under mixed load and churn, then writes a report with a plot.

    python3 bench/soak.py [--minutes 10] [--rate 2000] [--checkers 24] [--executable PATH]

Load, all on loopback:
  - numbered events at a steady rate from three source addresses, one in four carrying ALARM,
    with texts of 20 to 1,200 bytes;
  - checking clients that stay for the whole run, a third each with no filter, TextFilter=ALARM
    and source_ip=127.0.0.2; each knows from the numbers which events it must get, and counts
    every one it misses, receives twice or out of order;
  - churn every second: clients that subscribe and leave (half of them with a reset), clients that
    connect and vanish, requests that never end (the relay closes them after ten seconds), and
    every ten seconds a client that never reads (the relay cuts it off at its send limit).

Every second it samples the relay's resident memory, open descriptors and CPU time. At the end it
writes docs/soak.md and docs/soak.png (gnuplot) unless --report names another stem.
"""
import argparse
import os
import random
import re
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FILTERS = [(b"", lambda n: True), (b"TextFilter=ALARM", lambda n: n % 4 == 0),
           (b"source_ip=127.0.0.2", lambda n: n % 3 == 1)]
MARK = re.compile(rb"<(\d+)>")


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def request(port, query=b"", timeout=3.0):
    client = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    client.sendall(b"GET /?" + query + b" HTTP/1.0\r\n\r\n")
    return client


class Checker:
    """A client for the whole run that must see exactly the events its filter accepts."""

    def __init__(self, port, index):
        self.query, self.wants = FILTERS[index % len(FILTERS)]
        self.sock = request(port, self.query)
        self.sock.setblocking(False)
        self.tail, self.next, self.received, self.missed, self.disorder = b"", 0, 0, 0, 0

    def feed(self, chunk):
        data = self.tail + chunk
        last = 0
        for match in MARK.finditer(data):
            number = int(match.group(1))
            if number < self.next:
                self.disorder += 1
            else:
                self.missed += sum(1 for n in range(self.next, number) if self.wants(n))
                self.next = number + 1
                self.received += 1
            last = match.end()
        self.tail = data[max(last, len(data) - 16):]  # a number cut at the chunk's end

    def settle(self, sent):
        self.missed += sum(1 for n in range(self.next, sent) if self.wants(n))
        self.next = sent


class Soak:
    def __init__(self, args):
        self.args = args
        self.stream, self.events = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        self.folder = tempfile.mkdtemp(prefix="korvel-soak-")
        shutil.copy(args.executable, self.folder)
        self.relay = subprocess.Popen(
            [os.path.join(self.folder, os.path.basename(args.executable)), "-p", str(self.stream),
             "-l", str(self.events), "-d", "3"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sent, self.stop, self.samples = 0, threading.Event(), []
        self.churned = {"subscribed": 0, "vanished": 0, "hanging": 0, "stalled": 0, "failed": 0}

    def wait_listening(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.stream), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        sys.exit("the relay did not start")

    def send_events(self):
        senders = []
        for host in ("127.0.0.1", "127.0.0.2", "127.0.0.3"):
            sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sender.bind((host, 0))
            senders.append(sender)
        padding = random.Random(7)
        start, target = time.monotonic(), ("127.0.0.1", self.events)
        while not self.stop.is_set():
            due = int((time.monotonic() - start) * self.args.rate)
            while self.sent < due:
                n = self.sent
                text = b"<%d>%s" % (n, b" ALARM" if n % 4 == 0 else b"")
                senders[n % 3].sendto(text + b"." * padding.randrange(20, 1200), target)
                self.sent += 1
            time.sleep(0.002)

    def read_checkers(self, checkers):
        selector = selectors.DefaultSelector()
        for checker in checkers:
            selector.register(checker.sock, selectors.EVENT_READ, checker)
        while not self.stop.is_set() or time.monotonic() < self.drain_until:
            for key, _ in selector.select(0.2):
                try:
                    chunk = key.fileobj.recv(1 << 20)
                except BlockingIOError:
                    continue
                if not chunk:
                    sys.exit("the relay closed a checking client")
                key.data.feed(chunk)

    def churn(self):
        hanging, stalled, rounds = [], [], 0
        while not self.stop.is_set():
            rounds += 1
            try:
                for i in range(20):
                    client = request(self.stream, FILTERS[i % 3][0])
                    client.recv(4096)
                    if i % 2:
                        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                          struct.pack("ii", 1, 0))
                    client.close()
                    self.churned["subscribed"] += 1
                for _ in range(20):
                    socket.create_connection(("127.0.0.1", self.stream), timeout=3).close()
                    self.churned["vanished"] += 1
                for _ in range(5):
                    client = socket.create_connection(("127.0.0.1", self.stream), timeout=3)
                    client.sendall(b"GET /?TextFilter=never HTTP/1.0\r\n")  # never ends
                    hanging.append((time.monotonic(), client))
                    self.churned["hanging"] += 1
                if rounds % 10 == 0:
                    client = socket.socket()
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    client.connect(("127.0.0.1", self.stream))
                    client.sendall(b"GET / HTTP/1.0\r\n\r\n")
                    stalled.append((time.monotonic(), client))
                    self.churned["stalled"] += 1
            except OSError:
                self.churned["failed"] += 1
            now = time.monotonic()
            for group, age in ((hanging, 15), (stalled, 60)):
                while group and now - group[0][0] > age:
                    group.pop(0)[1].close()
            time.sleep(max(0.0, 1.0 - (time.monotonic() - now)))
        for _, client in hanging + stalled:
            client.close()

    def sample(self, started):
        pid = self.relay.pid
        with open(f"/proc/{pid}/status") as status:
            rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        self.samples.append((time.monotonic() - started, rss, len(os.listdir(f"/proc/{pid}/fd")),
                             cpu, self.sent))

    def run(self):
        self.wait_listening()
        checkers = [Checker(self.stream, i) for i in range(self.args.checkers)]
        time.sleep(0.5)  # every checker answered before the first event
        self.drain_until = float("inf")
        threads = [threading.Thread(target=target, daemon=True)
                   for target in (self.send_events, self.churn)]
        reader = threading.Thread(target=self.read_checkers, args=(checkers,), daemon=True)
        for thread in threads + [reader]:
            thread.start()
        started = time.monotonic()
        end = started + self.args.minutes * 60
        while time.monotonic() < end and self.relay.poll() is None and reader.is_alive():
            self.sample(started)
            if len(self.samples) % 60 == 0:
                print(f"{len(self.samples) // 60} min: {self.samples[-1]}", flush=True)
            time.sleep(max(0.0, started + len(self.samples) - time.monotonic()))
        self.drain_until = time.monotonic() + 3
        self.stop.set()
        for thread in threads + [reader]:
            thread.join(10)
        alive = self.relay.poll() is None
        self.sample(started)
        for checker in checkers:
            checker.settle(self.sent)
        self.relay.terminate()
        code = self.relay.wait(10)
        return checkers, alive, code


def plot(samples, stem):
    data = stem + ".dat"
    top = max(s[1] for s in samples) / 1024 * 1.3
    most = max(s[2] for s in samples) * 1.3
    with open(data, "w") as out:
        for t, rss, fds, _, _ in samples:
            out.write(f"{t / 60:.3f} {rss / 1024:.2f} {fds}\n")
    script = f"""
set terminal pngcairo size 900,420 font ",10"
set output "{stem}.png"
set title "Relay under mixed load and churn"
set xlabel "minutes"
set ylabel "resident memory (MiB)"
set y2label "open descriptors"
set xrange [0:{samples[-1][0] / 60:.2f}]
set yrange [0:{top:.1f}]
set y2range [0:{most:.0f}]
set ytics nomirror
set y2tics
set key bottom right
set grid
plot "{data}" using 1:2 with lines lw 2 title "resident memory", \\
     "{data}" using 1:3 axes x1y2 with lines title "open descriptors"
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    os.remove(data)


def report(soak, checkers, alive, code, stem):
    samples, args = soak.samples, soak.args
    minute = [s for s in samples if s[0] >= 60] or samples
    rss = [s[1] for s in minute]
    fds = [s[2] for s in samples]
    seconds = samples[-1][0]
    cpu = samples[-1][3] / seconds * 100
    received = sum(c.received for c in checkers)
    missed = sum(c.missed for c in checkers)
    disorder = sum(c.disorder for c in checkers)
    # Least-squares trend of resident memory after the first minute, in KiB a minute.
    xs, ys = [s[0] / 60 for s in minute], rss
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    spread = sum((x - mx) ** 2 for x in xs)
    trend = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / spread if spread else 0.0
    per_minute = []
    for m in range(int(seconds // 60)):
        window = [s for s in samples if m * 60 <= s[0] < (m + 1) * 60]
        if window:
            per_minute.append((m + 1, window[-1][1], min(s[2] for s in window),
                               max(s[2] for s in window)))
    lines = [
        "# Soak run",
        "",
        f"`python3 bench/soak.py --minutes {args.minutes:g} --rate {args.rate} "
        f"--checkers {args.checkers}` on this machine (2 cores, loopback), "
        f"{time.strftime('%Y-%m-%d')}.",
        "",
        "![Resident memory and open descriptors over the run](soak.png)",
        "",
        "## Load",
        f"- {soak.sent:,} numbered events in {seconds / 60:.1f} minutes ({args.rate} a second), "
        "from 127.0.0.1 to 127.0.0.3, texts of 20 to 1,200 bytes.",
        f"- {args.checkers} checking clients for the whole run: a third with no filter, a third "
        "with `TextFilter=ALARM`, a third with `source_ip=127.0.0.2`.",
        f"- Churn: {soak.churned['subscribed']:,} clients that subscribed and left (half with a "
        f"reset), {soak.churned['vanished']:,} that connected and vanished, "
        f"{soak.churned['hanging']:,} requests that never ended, {soak.churned['stalled']} "
        f"clients that never read; {soak.churned['failed']} churn rounds met a connection error.",
        "",
        "## Result",
        f"- The relay {'ran throughout' if alive else 'DID NOT SURVIVE'}; "
        f"on SIGTERM at the end it exited with {code}.",
        f"- Events the checking clients had to get: {received + missed:,}; received {received:,}, "
        f"missed **{missed}**, out of order or twice **{disorder}**.",
        f"- Resident memory from the end of minute 1 to the end: {rss[0]:,} KiB to {rss[-1]:,} KiB "
        f"(lowest {min(rss):,}, highest {max(rss):,}; least-squares trend {trend:+.1f} KiB a "
        "minute).",
        f"- Open descriptors: {min(fds)} to {max(fds)} over the run; {fds[0]} at the start, "
        f"{fds[-2]} in the last sample under load, {fds[-1]} after the load stopped.",
        f"- Relay CPU: {cpu:.1f} % of one core on average.",
        "",
        "| minute | resident memory at its end (KiB) | descriptors, lowest | highest |",
        "|---|---|---|---|",
    ] + [f"| {m} | {r:,} | {lo} | {hi} |" for m, r, lo, hi in per_minute]
    with open(stem + ".md", "w") as out:
        out.write("\n".join(lines) + "\n")
    plot(samples, stem)
    print("\n".join(lines[lines.index("## Result") + 1:]))
    return alive and code == 0 and missed == 0 and disorder == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--rate", type=int, default=2000)
    parser.add_argument("--checkers", type=int, default=24)
    parser.add_argument("--executable", default=os.path.join(ROOT, "build", "KorvelCaptureServer"))
    parser.add_argument("--report", default=os.path.join(ROOT, "docs", "soak"))
    args = parser.parse_args()
    if not shutil.which("gnuplot"):
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "install-missing.sh"), "gnuplot-nox"],
                       check=True)
    soak = Soak(args)
    try:
        checkers, alive, code = soak.run()
    finally:
        if soak.relay.poll() is None:
            soak.relay.kill()
    ok = report(soak, checkers, alive, code, args.report)
    shutil.rmtree(soak.folder, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
