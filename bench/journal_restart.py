#!/usr/bin/env python3
"""How long the relay takes to serve after a start on a full journal, and after a SIGTERM.

bench/run-matrix.sh runs this in its journal group; each measurement is one line of key=value
fields on stdout. The relay runs on CPU 0 as a service (`-s`): this script plays systemd's side,
a notify socket that takes READY=1, which the relay sends once every port serves.

- fill: a relay with STATE_DIRECTORY naming a fresh folder gets --fill datagrams of --payload
  bytes, each burst sent once the last is read (so the host drops none), then SIGTERM.
- start-empty, start-full, start-cold, in turn, --rounds rounds: from the fork of a relay to its
  READY=1, on a fresh empty folder, on the full journal just written (its files in the page
  cache), and on the same journal after its files were written back and dropped from the page
  cache, as after a reboot; then the events the ring holds, from the metrics port.
- sigterm-ready, --rounds times: the ports held here as systemd's socket unit holds them, events
  sent at --rate, and --clients multipart and as many event-stream clients reading, which
  reconnect at once when their connection ends (the event-stream ones with their Last-Event-ID).
  The relay gets SIGTERM; the moment it has exited the next one is started, as Restart=always
  does. Measured from the signal: the exit, READY=1 of the next relay, and the time every client
  has bytes again on a connection made after the signal.
"""
import argparse
import os
import re
import selectors
import signal
import socket
import sys
import threading
import time

RELAY_CPU, OWN_CPU = {0}, {1}
LIMIT = 60.0  # seconds for a relay to start, stop or serve its clients again; far past a sound one


class Failed(Exception):
    pass


def event(number, payload):
    head = f"#J{number}:".encode()
    return head + b"x" * max(payload - len(head), 0)


def udp_line(port):
    """The event socket's row of /proc/net/udp (or udp6): bytes waiting, datagrams dropped."""
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        with open(table) as rows:
            for row in list(rows)[1:]:
                fields = row.split()
                if fields[1].endswith(f":{port:04X}"):
                    return int(fields[4].split(":")[1], 16), int(fields[12])
    return 0, 0


def journal_size(folder):
    files = [os.path.join(folder, name) for name in os.listdir(folder)]
    files = [f for f in files if os.path.isfile(f)]
    return len(files), sum(os.stat(f).st_blocks * 512 for f in files) / (1 << 20)


def drop_from_cache(folder):
    """Writes the folder's files back and drops them from the page cache, and no other file."""
    for name in os.listdir(folder):
        if not os.path.isfile(os.path.join(folder, name)):
            continue
        fd = os.open(os.path.join(folder, name), os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


class Relays:
    """Starts relays by fork and exec, so that the clock starts at the fork; ends them by pid."""

    def __init__(self, options):
        self.options, self.live, self.count = options, set(), 0
        self.notify_path = os.path.join(options.folder, "notify")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        keep = {"NOTIFY_SOCKET", "STATE_DIRECTORY", "LOGS_DIRECTORY", "LISTEN_FDS", "LISTEN_PID",
                "LISTEN_FDNAMES"}
        self.environment = {k: v for k, v in os.environ.items() if k not in keep}
        self.environment["NOTIFY_SOCKET"] = self.notify_path

    def start(self, state, args=(), held=()):
        """A relay on the journal folder state; held are sockets it takes as systemd's."""
        o = self.options
        self.count += 1
        log = os.path.join(o.folder, f"relay-{self.count}.log")
        command = [o.executable, "-s", "-p", str(o.stream), "-l", str(o.events), *args]
        environment = {**self.environment, "STATE_DIRECTORY": state}
        if held:
            environment["LISTEN_FDS"] = str(len(held))
        # Out of the way of descriptors 3 and 4 first, so that placing one cannot close the other.
        spare = [os.dup(s.fileno()) for s in held]
        out = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        while self.receive(0) is not None:
            pass  # what an earlier relay reported
        started = time.monotonic()
        pid = os.fork()
        if pid == 0:
            try:
                os.sched_setaffinity(0, RELAY_CPU)
                os.dup2(out, 1)
                os.dup2(out, 2)
                for place, fd in enumerate(spare, 3):
                    os.dup2(fd, place)
                if held:
                    environment["LISTEN_PID"] = str(os.getpid())
                os.execve(o.executable, command, environment)
            finally:
                os._exit(127)
        for fd in spare + [out]:
            os.close(fd)
        self.live.add(pid)
        return pid, started, log

    def receive(self, timeout):
        if timeout:
            self.notify.settimeout(timeout)
        else:
            self.notify.setblocking(False)
        try:
            return self.notify.recv(4096)
        except (BlockingIOError, socket.timeout):
            return None

    def ready(self, pid, log):
        """The time READY=1 came from the relay pid."""
        deadline = time.monotonic() + LIMIT
        while time.monotonic() < deadline:
            report = self.receive(0.05)
            if report is not None and b"READY=1" in report.split(b"\n"):
                return time.monotonic()
            if report is None and os.waitpid(pid, os.WNOHANG)[0] == pid:
                self.live.discard(pid)
                raise Failed(f"the relay ended before it was ready; {tail(log)}")
        raise Failed(f"no READY=1 within {LIMIT:.0f} s; {tail(log)}")

    def stop(self, pid, log):
        """SIGTERM, then the time the relay has exited, which must be with status 0."""
        os.kill(pid, signal.SIGTERM)
        status = wait_exit(pid, LIMIT)
        exited = time.monotonic()
        if status is None:
            raise Failed(f"the relay still ran {LIMIT:.0f} s after SIGTERM; {tail(log)}")
        self.live.discard(pid)
        if os.waitstatus_to_exitcode(status) != 0:
            raise Failed(f"the relay ended with {os.waitstatus_to_exitcode(status)} on SIGTERM; "
                         f"{tail(log)}")
        return exited

    def end_all(self):
        for pid in list(self.live):
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        self.live.clear()
        self.notify.close()
        os.unlink(self.notify_path)


def wait_exit(pid, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return status
        time.sleep(0.0005)
    return None


def tail(log):
    with open(log, "rb") as f:
        lines = f.read().decode(errors="replace").strip().splitlines()[-5:]
    return f"the end of {os.path.basename(log)}: " + (" | ".join(lines) or "(empty)")


def ring_events(port):
    """korvel_replay_events from the metrics port."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as scrape:
        scrape.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
        text = b""
        while chunk := scrape.recv(1 << 16):
            text += chunk
    found = re.search(rb"^korvel_replay_events (\d+)", text, re.M)
    if not found:
        raise Failed("the metrics port gave no korvel_replay_events")
    return int(found.group(1))


def fill(options, relays, state):
    pid, _, log = relays.start(state, [f"--metrics={options.metrics}"])
    relays.ready(pid, log)
    dropped0 = udp_line(options.events)[1]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for first in range(0, options.fill, 64):
            for number in range(first, min(first + 64, options.fill)):
                sender.sendto(event(number, options.payload), ("127.0.0.1", options.events))
            for _ in range(20000):  # a burst is read in far less than a second
                if udp_line(options.events)[0] == 0:
                    break
                time.sleep(0.00005)
    dropped = udp_line(options.events)[1] - dropped0
    held = ring_events(options.metrics)
    relays.stop(pid, log)
    files, mib = journal_size(state)
    print(f"cell=journal-fill payload={options.payload} sent={options.fill} dropped={dropped} "
          f"replay_events={held} journal_files={files} journal_mib={mib:.1f}", flush=True)


def starts(options, relays, full):
    kinds = ["start-empty", "start-full", "start-cold"]
    for round_ in range(options.rounds):
        for turn in range(len(kinds)):
            kind = kinds[(turn + round_) % len(kinds)]
            state = full
            if kind == "start-empty":
                state = os.path.join(options.folder, f"empty-{round_}")
                os.mkdir(state)
            elif kind == "start-cold":
                drop_from_cache(full)
            pid, started, log = relays.start(state, [f"--metrics={options.metrics}"])
            ready = relays.ready(pid, log)
            held = ring_events(options.metrics)
            relays.stop(pid, log)
            print(f"cell={kind} round={round_} start_ms={1000 * (ready - started):.1f} "
                  f"replay_events={held}", flush=True)


class Traffic:
    """Events at a steady rate and clients that read everything, on the sockets held here."""

    def __init__(self, options):
        self.options, self.stopping = options, threading.Event()
        self.sent, self.clients = 0, []
        self.selector = selectors.DefaultSelector()
        for sse in [False] * options.clients + [True] * options.clients:
            self.connect({"sse": sse, "last_id": b"", "tail": b"", "since": 0.0, "got": 0.0})
        self.threads = [threading.Thread(target=self.send), threading.Thread(target=self.read)]
        for thread in self.threads:
            thread.start()

    def connect(self, client):
        request = b"GET / HTTP/1.0\r\n"
        if client["sse"]:
            request += b"Accept: text/event-stream\r\n"
            if client["last_id"]:
                request += b"Last-Event-ID: " + client["last_id"] + b"\r\n"
        client["since"] = time.monotonic()
        sock = socket.create_connection(("127.0.0.1", self.options.stream), timeout=10)
        sock.sendall(request + b"\r\n")
        sock.setblocking(False)
        client["sock"] = sock
        self.selector.register(sock, selectors.EVENT_READ, client)
        if client not in self.clients:
            self.clients.append(client)

    def read(self):
        while not self.stopping.is_set():
            for key, _ in self.selector.select(0.05):
                client = key.data
                try:
                    chunk = client["sock"].recv(1 << 16)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    chunk = b""
                if not chunk:  # the relay stopped: at once to the port, as a viewer page does
                    self.selector.unregister(client["sock"])
                    client["sock"].close()
                    self.connect(client)
                    continue
                client["got"] = time.monotonic()
                if client["sse"]:
                    seen = client["tail"] + chunk
                    ids = re.findall(rb"(?:^|\n)id: ([^\n]*)\n", seen)
                    if ids:
                        client["last_id"] = ids[-1]
                    client["tail"] = seen[-512:]

    def send(self):
        burst = max(self.options.rate // 100, 1)
        started = time.monotonic()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            while not self.stopping.is_set():
                for _ in range(burst):
                    sender.sendto(event(self.sent, self.options.payload),
                                  ("127.0.0.1", self.options.events))
                    self.sent += 1
                ahead = started + self.sent / self.options.rate - time.monotonic()
                if ahead > 0:
                    time.sleep(ahead)

    def served_since(self, moment):
        """When every client had bytes on a connection made after moment, or None."""
        if all(c["since"] > moment and c["got"] > c["since"] for c in self.clients):
            return max(c["got"] for c in self.clients)
        return None

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join()
        for client in self.clients:
            client["sock"].close()
        self.selector.close()


def sigterm_ready(options, relays, full):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", options.stream))
    listener.listen(4096)
    datagrams = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    datagrams.bind(("127.0.0.1", options.events))
    held = (listener, datagrams)
    traffic = None
    try:
        pid, _, log = relays.start(full, held=held)
        relays.ready(pid, log)
        traffic = Traffic(options)
        for round_ in range(options.rounds):
            # Clients served, events flowing, the journal growing. A relay that runs as a service
            # sees a stop at its next tick, once a second from its start: the signals come at
            # points spread evenly over that second, not at the same one each round.
            time.sleep(1.5 + round_ / options.rounds)
            signalled = time.monotonic()
            exited = relays.stop(pid, log)
            pid, started, log = relays.start(full, held=held)
            ready = relays.ready(pid, log)
            deadline = ready + LIMIT
            while (served := traffic.served_since(signalled)) is None:
                if time.monotonic() > deadline:
                    raise Failed(f"not every client was served again within {LIMIT:.0f} s")
                time.sleep(0.001)
            print(f"cell=sigterm-ready round={round_} clients={2 * options.clients} "
                  f"rate={options.rate} payload={options.payload} "
                  f"exit_ms={1000 * (exited - signalled):.1f} "
                  f"start_ms={1000 * (ready - started):.1f} "
                  f"ready_ms={1000 * (ready - signalled):.1f} "
                  f"served_ms={1000 * (served - signalled):.1f}", flush=True)
        traffic.stop()
        traffic = None
        relays.stop(pid, log)
    finally:
        if traffic:
            traffic.stop()
        listener.close()
        datagrams.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--executable", required=True)
    parser.add_argument("--folder", required=True, help="a fresh folder on the journal's disk")
    parser.add_argument("--stream", type=int, default=13677)
    parser.add_argument("--events", type=int, default=19007)
    parser.add_argument("--metrics", type=int, default=19107)
    parser.add_argument("--fill", type=int, default=70000)
    parser.add_argument("--payload", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rate", type=int, default=2000, help="events a second, sigterm-ready")
    parser.add_argument("--clients", type=int, default=5, help="of each kind, sigterm-ready")
    options = parser.parse_args()
    os.sched_setaffinity(0, OWN_CPU)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # so that the relays are ended too
    os.makedirs(options.folder, exist_ok=True)
    full = os.path.join(options.folder, "full")
    os.mkdir(full)
    relays = Relays(options)
    try:
        fill(options, relays, full)
        starts(options, relays, full)
        sigterm_ready(options, relays, full)
    except Failed as failure:
        print(f"journal_restart.py: {failure}", file=sys.stderr)
        return 1
    finally:
        relays.end_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
