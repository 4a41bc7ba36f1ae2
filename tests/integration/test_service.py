# The relay under a service manager: the test plays systemd's side of the notify protocol.
import signal
import socket
import time

from conftest import HEADER, Client, event_part, free_port, one_event
from test_operations import scrape


def reports(manager, last, limit=5.0):
    # The notifications up to and including last, or all that came within the limit.
    seen, deadline = [], time.monotonic() + limit
    while last not in seen and time.monotonic() < deadline:
        manager.settimeout(max(deadline - time.monotonic(), 0.001))
        try:
            seen.append(manager.recv(4096))
        except socket.timeout:
            break
    return seen


def test_a_service_serves_on_every_port_when_ready_and_stops_once_on_sigterm(start, tmp_path):
    stopping = b"STOPPING=1\nSTATUS=Stopping"
    logs = tmp_path / "logs"
    logs.mkdir()
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        manager.bind(str(tmp_path / "notify"))
        metrics = free_port(socket.SOCK_STREAM)
        relay = start("-s", f"--metrics={metrics}",
                      env={"NOTIFY_SOCKET": str(tmp_path / "notify"),
                           "LOGS_DIRECTORY": f"{logs}:{tmp_path / 'other'}"})
        assert reports(manager, b"READY=1\nSTATUS=Running") == [
            b"STATUS=Starting NT Service Template", b"READY=1\nSTATUS=Running"]
        # systemd starts the units that depend on the relay now, and they connect at once: every
        # port must already serve. The port the relay opens last is tried first.
        relay.metrics = metrics
        assert "\nkorvel_clients_connected 0\n" in scrape(relay)
        client = one_event(relay.stream, relay.events)

        # Asked just after a keep-alive part, so just after a tick: the stop is acted on at once,
        # and at the latest by the next tick, a second later. The bound ends at the report, not at
        # the exit, whose time a slow build or valgrind's leak check may stretch; a relay that
        # polled only with the keep-alive parts would report it four seconds later.
        assert client.read(lambda data: b"text/keepalive" in data, 6)
        stop_asked = time.monotonic()
        relay.process.send_signal(signal.SIGTERM)
        assert reports(manager, stopping) == [stopping]
        relay.process.send_signal(signal.SIGTERM)  # a second stop control changes nothing
        assert reports(manager, b"STATUS=Stopped") in ([stopping, b"STATUS=Stopped"], [b"STATUS=Stopped"])
        assert time.monotonic() - stop_asked < 3
        assert relay.process.wait(5) == 0
        assert reports(manager, None, 0.2) == []
    assert b" - Executing as service\r\n" in (logs / "Debug.log").read_bytes()
    assert not (relay.folder / "Debug.log").exists()


def test_the_service_managers_sockets_keep_what_comes_while_no_relay_runs(start):
    # Held here as systemd holds them: bound and listening before any relay runs, and after one
    # dies. A relay that opened its own ports instead would find them taken.
    with socket.create_server(("127.0.0.1", 0)) as listener, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as datagrams:
        datagrams.bind(("127.0.0.1", 0))
        ports = {"stream": listener.getsockname()[1], "events": datagrams.getsockname()[1]}
        fds = (listener.fileno(), datagrams.fileno())
        # As systemd starts it: the sockets from descriptor 3 on, meant for this very process.
        activate = ("bash", "-c", 'exec 3<&$A 4<&$B; export LISTEN_FDS=2 LISTEN_PID=$$; exec "$@"', "bash")
        run = lambda: start("-d", "1", **ports, wrapper=activate, fds=fds,
                            env={"A": str(fds[0]), "B": str(fds[1])})
        first = run()
        watcher = first.subscribe()
        first.send(b"before")
        assert watcher.read(lambda data: data.endswith(event_part(b"before")))
        first.process.kill()
        first.process.wait()
        for text in (b"while-down-1", b"while-down-2"):
            first.send(text)
        waiting = Client(ports["stream"])  # taken into the backlog, with no relay to accept it
        waiting.sendall(b"GET / HTTP/1.0\r\n\r\n")
        second = run()
        assert waiting.read(lambda data: HEADER in data)
        assert second.wait_log(b"while-down-2") and b"while-down-1" in second.read()
