# Black-box harness: the real executable, copied into a folder of its own (its log is written
# beside it), on free loopback ports, ended by its pid. KORVEL_WRAPPER, a command line such as
# valgrind's, runs every relay inside it; "{folder}" in it stands for the relay's own folder.
import os
import shlex
import shutil
import socket
import subprocess
import time

import pytest

BOUNDARY = b"--ABCDEF12345678\r\n"
HEADER = (b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=ABCDEF12345678"
          b"\r\n\r\n" + BOUNDARY)


def event_part(text):
    return b"Content-Type: text/x-zelva-event\r\n\r\n" + text + b"\r\n" + BOUNDARY


def wait_for(condition, limit=5.0):
    deadline = time.monotonic() + limit
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return bool(condition())


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def serving(stream, events):
    # Asks the kernel, since a probing connection would itself become a client.
    def bound(table, port, state):
        rows = [line.split() for line in open(f"/proc/net/{table}").readlines()[1:]]
        return any(row[1].endswith(f":{port:04X}") and row[3] == state for row in rows)
    # Where the host has IPv6, one socket of that family serves both.
    return (any(bound(table, stream, "0A") for table in ("tcp", "tcp6")) and
            any(bound(table, events, "07") for table in ("udp", "udp6")))


def family(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


class Client(socket.socket):
    def __init__(self, port, receive_buffer=0, source="127.0.0.1"):
        super().__init__(family(source))
        if receive_buffer:
            self.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.bind((source, 0))
        self.connect(("::1" if ":" in source else "127.0.0.1", port))
        self.data, self.closed = bytearray(), False

    def read(self, until, limit=5.0):
        # Reads until until(data) holds, the peer closes or the limit passes; then until(data).
        deadline = time.monotonic() + limit
        while not until(self.data) and not self.closed and time.monotonic() < deadline:
            self.settimeout(max(deadline - time.monotonic(), 0.001))
            try:
                chunk = self.recv(1 << 20)
            except socket.timeout:
                break
            except ConnectionError:
                chunk = b""
            self.data += chunk
            self.closed = not chunk
        return until(self.data)


def one_event(stream, events, payload=b"FROM LINUX \x01\xfe ok"):
    # A client that asks for everything, and the one event it then receives, exactly.
    client = Client(stream)
    client.sendall(b"GET / HTTP/1.0\r\n\r\n")
    assert client.read(lambda data: HEADER in data)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(payload, ("127.0.0.1", events))
    assert client.read(lambda data: data == HEADER + event_part(payload))
    return client


class Relay:
    def __init__(self, folder, args, stream, events, env, wrapper, executable, fds):
        self.folder, self.stream, self.events = folder, stream, events
        shutil.copy(executable, folder)
        # Whatever service manager runs the tests is not the relay's; a LOGS_DIRECTORY whose first
        # folder is empty names none, so the log stays beside the executable.
        environment = {**{k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"},
                       "LOGS_DIRECTORY": ":unused"}
        # The test's own wrapper (setpriv, wine) runs the common one, which runs the program itself.
        common = [part.replace("{folder}", str(folder)) for part in shlex.split(os.environ.get("KORVEL_WRAPPER", ""))]
        command = [*wrapper, *common, folder / os.path.basename(executable), "-p", str(stream), "-l", str(events), *args]
        with open(folder / "stdout.txt", "wb") as out, open(folder / "stderr.txt", "wb") as err:
            self.process = subprocess.Popen(command, stdout=out, stderr=err, env={**environment, **env},
                                            pass_fds=fds)

    def read(self, name="Debug.log"):
        return (self.folder / name).read_bytes() if (self.folder / name).exists() else b""

    def wait_log(self, text, count=1, limit=5.0):
        return wait_for(lambda: self.read().count(text) >= count, limit)

    def listening(self, limit=5.0):
        assert wait_for(lambda: self.process.poll() is not None or serving(self.stream, self.events), limit)
        assert self.process.poll() is None, self.read("stderr.txt")
        return self

    def send(self, payload, source="127.0.0.1"):
        with socket.socket(family(source), socket.SOCK_DGRAM) as sender:
            sender.bind((source, 0))
            sender.sendto(payload, ("::1" if ":" in source else "127.0.0.1", self.events))

    def subscribe(self, query=b"", **options):
        client = Client(self.stream, **options)
        client.sendall(b"GET /?" + query + b" HTTP/1.0\r\n\r\n")
        assert client.read(lambda data: HEADER in data)
        return client

    def stop(self):  # as a service manager or a terminal would
        self.process.terminate()
        return self.process.wait(5)


@pytest.fixture
def start(tmp_path):
    # start(*args) runs a relay. One still running at the end must exit 0 on SIGTERM, so that a
    # sanitizer report fails the test that caused it.
    relays = []

    def run(*args, stream=None, events=None, env={}, wrapper=(), executable=None, fds=()):
        (tmp_path / str(len(relays))).mkdir()
        relays.append(Relay(tmp_path / str(len(relays)), args, stream or free_port(socket.SOCK_STREAM),
                            events or free_port(socket.SOCK_DGRAM), env, wrapper,
                            executable or os.environ["KORVEL_EXECUTABLE"], fds))
        return relays[-1]

    yield run
    for relay in (relay for relay in relays if relay.process.poll() is None):
        try:
            assert relay.stop() == 0, relay.read("stderr.txt").decode(errors="replace")
        finally:
            relay.process.kill()
            relay.process.wait()
