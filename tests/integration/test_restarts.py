# Restarts as a service manager makes them: it holds both ports and the state folder across runs, so
# a killed or stopped relay hands on what waited in its sockets and what its journal kept.
import json
import re
import socket
import threading
import time

import pytest

from conftest import free_port
from test_event_stream import EVENT, subscribe
from test_operations import scrape, values

ACTIVATE = 'exec 3<&$A 4<&$B; export LISTEN_FDS=2 LISTEN_PID=$$; exec "$@"'
PART = rb"Content-Type: text/x-zelva-event\r\n\r\ne(\d+)\r\n"
NOTICE = b'event: missed\ndata: {"missed":null}'
SEEN = rb'event: missed\ndata: \S+(?=\n\n)|(?<=text":")\w+'  # the notices and the texts' words
# query, event stream (or multipart), the text its filter looks for
WATCHERS = [(b"", False, b""), (b"TextFilter=7", False, b"7"),
            (b"", True, b""), (b"heartbeat=1", True, b""), (b"TextFilter=7", True, b"7")]


def send_numbered(port, sent, done):  # 1,000 events a second; what went is the oracle
    with socket.socket(type=socket.SOCK_DGRAM) as out:
        begun = time.monotonic()
        while not done.is_set() and len(sent) < 600_000:
            time.sleep(max(begun + len(sent) / 1000 - time.monotonic(), 0))
            out.sendto(b"e%06d" % len(sent), ("127.0.0.1", port))
            sent.append(len(sent))


class Watcher:  # one client across its connections, made again after each restart
    def __init__(self, relay, query, sse, needle):
        self.query, self.sse, self.needle, self.connections = query, sse, needle, []
        self.connect(relay)

    def found(self):  # (id, number) of every event
        return [(m[0], int(json.loads(m[2])["text"][1:])) if self.sse else (b"", int(m))
                for c in self.connections for m in re.findall(EVENT if self.sse else PART, c.data)]

    def connect(self, relay):
        last = self.sse and self.found() and b"Last-Event-ID: " + self.found()[-1][0] + b"\r\n"
        self.connections.append(subscribe(relay, last or b"", self.query) if self.sse else
                                relay.subscribe(self.query, receive_buffer=1 << 20))


@pytest.fixture
def service(start, tmp_path):
    # Both ports as systemd holds them, bound before any relay runs and kept while none does, and
    # the state folder it names. prefix: what the shell does before it becomes the relay.
    with socket.create_server(("127.0.0.1", 0)) as listener, socket.socket(type=socket.SOCK_DGRAM) as datagrams:
        datagrams.bind(("127.0.0.1", 0))
        fds = (listener.fileno(), datagrams.fileno())
        yield lambda *args, prefix="": start(
            *args, stream=listener.getsockname()[1], events=datagrams.getsockname()[1], fds=fds,
            wrapper=("bash", "-c", prefix + ACTIVATE, "bash"),
            env={"A": str(fds[0]), "B": str(fds[1]), "STATE_DIRECTORY": str(tmp_path / "state")})


def test_resuming_browsers_lose_nothing_across_a_kill_and_a_stop(service):
    relay, outages, sent, done = service(), [], [], threading.Event()
    watchers = [Watcher(relay, *row) for row in WATCHERS]
    sender = threading.Thread(target=send_numbered, args=(relay.events, sent, done))
    sender.start()
    try:
        for stop in ("kill", "terminate", None):
            for _ in range(40):  # about two seconds, every client reading as the events come
                for watcher in watchers:
                    watcher.connections[-1].read(lambda data: False, 0.01)
            if stop:
                before = len(sent)
                getattr(relay.process, stop)()
                assert relay.process.wait(5) == (-9 if stop == "kill" else 0)
                for c in (watcher.connections[-1] for watcher in watchers):  # all it wrote, to its close
                    assert c.read(lambda data: c.closed, 5)
                relay = service()
                for watcher in watchers:
                    watcher.connect(relay)
                outages.append((before - 100, len(sent)))  # and what was already on its way
    finally:
        done.set()
        sender.join(5)
    for watcher in watchers:
        expected = [n for n in sent if watcher.needle in b"e%06d" % n]
        watcher.connections[-1].read(lambda data: b"e%06d" % expected[-1] in data, 10)
        got = [n for _, n in watcher.found()]
        expected = [n for n in expected if got and n >= got[0]]
        lost, twice = sorted(set(expected) - set(got)), len(got) - len(set(got))
        if watcher.sse:
            assert got == expected and not any(b"event: missed" in c.data for c in watcher.connections), \
                (watcher.query, lost[:10], len(lost), twice)
        else:  # no ids: what came while it was away is gone
            print(f"multipart {watcher.query}: lost {len(lost)} of {len(expected)}, outages {outages}")
            assert got == sorted(set(got)) and all(any(b <= n <= a for b, a in outages) for n in lost), lost[:9]


# Under the limit (KiB) no 4 MiB segment can be made: the run starts no journal, or fills an earlier
# run's and cannot go on. Resumed from its 10th or last event, before the next run numbers past it or
# after, a client gets what the journal kept after its id, one notice, then the next run's events;
# the same alarm again and again places no one (the next run has ids of its own): a notice, then
# the live events, never a number given out twice passing for the one it saw.
@pytest.mark.parametrize("earlier,same", [(False, False), (True, False), (True, True)])
def test_a_journal_that_cannot_be_written_costs_no_event_and_its_successor_says_so(service, earlier, same):
    text, seen = lambda n: b"ALARM" if same else b"e%06d" % n, lambda data: re.findall(SEEN, data)
    if earlier:
        healthy = service()
        healthy.send(b"first")
        assert subscribe(healthy, query=b"recent=1").read(lambda data: b"first" in data) and healthy.stop() == 0
    metrics = free_port(socket.SOCK_STREAM)
    relay = service(f"--metrics={metrics}", prefix="ulimit -f 2048; ")
    relay.metrics, client = metrics, subscribe(relay)
    for n in range(90):  # 4.5 MB, more than a segment holds; one at a time, so that the host drops none
        relay.send(text(n) + b"." * 50000)
        assert client.read(lambda data: data.count(b"\nid: ") > n)
    assert seen(client.data) == [text(n) for n in range(90)]
    assert relay.wait_log(b"The event journal cannot be written")
    assert values(scrape(relay))["korvel_journal_write_failures_total"] > 0
    relay.process.kill()
    relay.process.wait(5)
    relay, ids = service(), [i for i, _, _ in re.findall(EVENT, client.data)]
    resume = lambda k: subscribe(relay, b"Last-Event-ID: " + ids[k] + b"\r\n")
    clients = [(resume(-1), False, True)]  # each: placed by the journal, resumed early
    for n in range(90, 100):
        relay.send(text(n) + b"." * 50000)
        assert clients[0][0].read(lambda data: data.count(b"\nid: ") > n - 90)
    clients += [(resume(9), earlier and not same, False), (resume(-1), False, False)]
    relay.send(b"live")
    got, wanted = [], []
    for client, placed, early in clients:
        assert client.read(lambda data: b"live" in data)
        got.append(seen(client.data))
        kept = max(got[-1].index(NOTICE) if NOTICE in got[-1] else 0, 1) if placed else 0
        wanted.append([text(n) for n in range(10, 10 + kept)] + [NOTICE] +
                      [text(n) for n in range(90, 100)] * (placed or early) + [b"live"])
    assert got == wanted, [b" ".join(words).replace(NOTICE, b"NOTICE") for words in got]
