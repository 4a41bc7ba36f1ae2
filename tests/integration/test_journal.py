# The journal's edges that a restart alone does not reach.
import os
import socket
import threading

from test_event_stream import events, subscribe

ACTIVATE = ("bash", "-c", 'exec 3<&$A 4<&$B; export LISTEN_FDS=2 LISTEN_PID=$$; exec "$@"', "bash")


def test_datagrams_read_but_not_yet_journaled_when_the_relay_is_killed_reach_the_next_run(start, tmp_path):
    # The log is a pipe the test stops reading: the relay blocks writing a datagram's level-1 line,
    # after reading its batch from the socket and before writing it to the journal, and is killed.
    fifo = tmp_path / "log"
    os.mkfifo(fifo)
    draining = threading.Event()
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    def drain():
        while not draining.is_set():
            try:
                os.read(reader, 1 << 16)
            except BlockingIOError:
                draining.wait(0.01)
    threading.Thread(target=drain, daemon=True).start()
    with socket.create_server(("127.0.0.1", 0)) as listener, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as datagrams:
        datagrams.bind(("127.0.0.1", 0))
        fds = (listener.fileno(), datagrams.fileno())
        run = lambda *args: start(*args, stream=listener.getsockname()[1], events=datagrams.getsockname()[1],
                                  wrapper=ACTIVATE, fds=fds, env={"A": str(fds[0]), "B": str(fds[1]),
                                                                  "STATE_DIRECTORY": str(tmp_path / "state")})
        first = run("-d", "1", "-i", "../log")
        client = subscribe(first)
        first.send(b"e0")
        last_id = events(client, 1)[-1][0]
        draining.set()  # from here on the pipe fills and the relay stops in the middle of a batch
        for n in range(1, 2001):
            first.send(b"e%d" % n)
        seen = len(events(client, 1))
        first.process.kill()
        first.process.wait()
        assert seen < 2001  # it did stop on the way
        second = run()
        resumed = subscribe(second, b"Last-Event-ID: " + last_id + b"\r\n")
        texts = [data["text"] for _, _, data in events(resumed, 2000)]
        assert texts == ["e%d" % n for n in range(1, 2001)]


def test_a_second_relay_given_a_folder_in_use_keeps_no_journal_and_says_so(start, tmp_path):
    folder = f"--journal={tmp_path / 'state'}"
    first = start(folder).listening()
    second = start(folder, "-d", "10").listening()
    assert second.wait_log(b"The event journal cannot be written: " + str(tmp_path / "state").encode())
    second.send(b"seen")  # served from memory all the same
    assert subscribe(second, query=b"recent=1").read(lambda data: b'"seen"' in data)
    assert not first.read().count(b"journal")
