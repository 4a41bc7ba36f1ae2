# The relay under a service manager: the test plays systemd's side of the notify protocol.
import signal
import socket
import time

from conftest import free_port, one_event
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

        # Asked just after a keep-alive part, so just after a tick: the next tick, a second later,
        # must see the stop. The bound ends at the report, not at the exit, whose time a slow
        # build or valgrind's leak check may stretch; a relay that polled only with the keep-alive
        # parts would report it four seconds later.
        assert client.read(lambda data: b"text/keepalive" in data, 6)
        stop_asked = time.monotonic()
        relay.process.send_signal(signal.SIGTERM)
        assert reports(manager, stopping) == [stopping]
        relay.process.send_signal(signal.SIGTERM)  # a second stop control changes nothing
        assert reports(manager, b"STATUS=Stopped") == [stopping, b"STATUS=Stopped"]
        assert time.monotonic() - stop_asked < 3
        assert relay.process.wait(5) == 0
        assert reports(manager, None, 0.2) == []
    assert client.read(lambda data: client.closed)
    assert b" - Executing as service\r\n" in (logs / "Debug.log").read_bytes()
    assert not (relay.folder / "Debug.log").exists()
