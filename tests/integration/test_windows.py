# The Windows program under Wine, run by scripts/run-windows-tests.sh under Xvfb (skipped in the
# Linux suite): one fresh prefix and one persistent wineserver for the module, ended at its end.
import os
import re
import shutil
import socket
import subprocess

import pytest

from conftest import Client, free_port, one_event, serving, wait_for
from test_event_stream import events, subscribe, text_of
from test_faults import idle_on_the_metrics_port
from test_operations import scrape, values, with_metrics

EXE = os.environ.get("KORVEL_WINDOWS_EXECUTABLE")
pytestmark = pytest.mark.skipif(not EXE, reason="needs KORVEL_WINDOWS_EXECUTABLE and Wine")
WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64"


@pytest.fixture(scope="module")
def wine(tmp_path_factory):
    env = {**os.environ, "WINEPREFIX": str(tmp_path_factory.mktemp("prefix")),
           "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
    quiet = {"env": env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    # The services of a prefix's first boot miss services created later, so the prefix starts
    # again under the persistent server.
    subprocess.run([WINE, "wineboot", "-i"], timeout=180, **quiet)
    subprocess.run([WINESERVER, "-k"], timeout=60, **quiet)
    subprocess.run([WINESERVER, "-w"], timeout=60, **quiet)
    server = subprocess.Popen([WINESERVER, "-f", "-p"], **quiet)

    def run(*args):
        return subprocess.run([WINE, *args], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=120).stdout

    subprocess.run([WINE, "wineboot"], timeout=180, **quiet)  # services up before any pipe
    run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")  # a caption without a window manager
    run("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d", "user32.MessageBoxA;user32.SetWindowTextA", "/f")
    # Wine stops its services once no ordinary process of the prefix is left; this one stays.
    holder = subprocess.Popen([WINE, "cmd.exe", "/k"], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    yield env, run
    holder.kill()
    holder.wait()
    subprocess.run([WINESERVER, "-k"], env=env)
    server.wait(30)


def windows(name="KorvelCaptureServer"):
    found = subprocess.run(["xdotool", "search", "--name", f"^{name}$"], capture_output=True)
    return found.stdout.split()


def traced(wine):  # a relay under Wine, which writes the calls to the box and the label to stderr
    return {"env": {**wine[0], "WINEDEBUG": "+relay"}, "wrapper": [WINE], "executable": EXE}


def message_box(relay):  # the text and caption of the box the program shows, from Wine's trace
    shown = b"MessageBoxA(00000000,"
    trace = relay.read("stderr.txt")
    return trace.split(shown)[1].split(b"\n")[0] if shown in trace else None


def press_ok_until(condition):
    # A key may come before the box takes keys: pressed until the box has gone and done its work.
    for _ in range(10):
        for window in windows():
            subprocess.run(["xdotool", "key", "--window", window, "Return"])
        if wait_for(condition, 2):
            return True
    return False


def test_the_window_serves_shows_the_count_and_ends_the_program_when_closed(wine, start, tmp_path):
    journal = "--journal=" + wine[1]("winepath", "-w", str(tmp_path / "journal")).decode().strip()
    relay = with_metrics(start, "--allow-clients=127.0.0.1", journal, limit=60, **traced(wine))
    client = one_event(relay.stream, relay.events)
    refused = Client(relay.stream, source="127.0.0.2")
    assert refused.read(lambda data: refused.closed) and not refused.data
    metrics = values(scrape(relay))
    assert metrics['korvel_sessions_ended_total{reason="not_allowed"}'] == 1
    assert "korvel_datagrams_dropped_by_host_total" not in metrics  # Windows keeps no such count
    # Fewer silent connections than on Linux: Wine takes some 4 ms to accept and close each.
    idle = idle_on_the_metrics_port(relay, lambda: None, None, 50)
    assert all(silent.read(lambda data: silent.closed) for silent in idle)  # the relay let go
    assert b" - Executing as application\r\n" in relay.read()
    # A tick puts the count in the label, the only text set after the window is made.
    assert wait_for(lambda: re.search(rb'SetWindowTextA\(\w+,\w+ "1"\)', relay.read("stderr.txt")), 20)
    shot = os.environ.get("KORVEL_SCREENSHOT", str(relay.folder / "window.png"))
    subprocess.run(["import", "-window", "root", "-crop", "264x104+0+0", shot], check=True)
    stream, page = subscribe(relay), subscribe(relay, accept=b"text/html")  # as a browser would
    relay.send(b"SSE \xff")
    relay.send(b"kept")
    [(first_id, _, data), _] = events(stream, 2)
    assert text_of(data) == b"SSE \xff"
    assert page.read(lambda data: page.closed) and page.data.endswith(b"</html>\n")
    # Closed as its close box would: a key, such as alt+F4, whose release the closed window never
    # reads stays held for Wine and comes again in the next window to take the focus.
    wine[1]("taskkill", "/im", "KorvelCaptureServer.exe")
    assert relay.process.wait(10) == 0
    assert client.read(lambda data: client.closed)
    # The next run takes up the journal; its ports are its own, so it cannot know what it missed.
    again = start(journal, executable=EXE, wrapper=[WINE], env=wine[0]).listening(60)
    resumed = subscribe(again, b"Last-Event-ID: " + first_id + b"\r\n")
    again.send(b"next")
    assert resumed.read(lambda data: b'"next"' in data)
    assert re.match(rb'retry: 1000\n\n(: [^\n]*\n\n)*id: [^\n]*\ndata: [^\n]*"kept"[^\n]*\n\n'
                    rb'event: missed\ndata: {"missed":null}\n\nid: [^\n]*\ndata: [^\n]*"next"',
                    resumed.data.split(b"\r\n\r\n", 1)[1])
    wine[1]("taskkill", "/im", "KorvelCaptureServer.exe")
    assert again.process.wait(10) == 0


def test_the_service_runs_and_stops_under_the_service_control_manager(wine, tmp_path):
    env, run = wine
    shutil.copy(EXE, tmp_path)
    path = run("winepath", "-w", str(tmp_path / "KorvelCaptureServer.exe")).decode().strip()
    stream, events = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    run("sc", "create", "KorvelTest", "binpath=", f'"{path}" -s -p {stream} -l {events}')
    query = lambda: run("sc", "query", "KorvelTest")
    try:
        run("sc", "start", "KorvelTest")
        assert wait_for(lambda: b": 4  RUNNING" in query(), 30)
        assert wait_for(lambda: serving(stream, events), 30)
        client = one_event(stream, events)
        run("sc", "stop", "KorvelTest")
        assert wait_for(lambda: b": 1  STOPPED" in query(), 10)
        assert client.read(lambda data: client.closed)
        assert wait_for(lambda: not serving(stream, events))  # its process is gone with its sockets
        assert b" - Executing as service\r\n" in (tmp_path / "Debug.log").read_bytes()
    finally:
        run("sc", "stop", "KorvelTest")
        run("sc", "delete", "KorvelTest")


def test_the_service_switch_outside_the_manager_shows_the_message_then_serves(wine, start):
    relay = start("-s", **traced(wine))
    assert wait_for(lambda: message_box(relay), 60)
    assert re.search(rb'"Unable to start service\.",\w+ "KorvelCaptureServer"', message_box(relay))
    assert not serving(relay.stream, relay.events)  # the box waits for its OK
    assert press_ok_until(lambda: serving(relay.stream, relay.events))
    one_event(relay.stream, relay.events)
    relay.process.kill()  # a signal ends a Wine process with no exit code of its own
    relay.process.wait()


# A second relay on a port in use must end at start-up and leave the port to the first: Windows
# would let two sockets that both set SO_REUSEADDR share it. Wine's sockets are Linux's
# underneath: a second datagram socket binds beside the first where both set SO_REUSEADDR, as on
# Windows, but no second socket listens on a port, whatever either set. There Wine's error tells:
# on one address (the metrics port's 127.0.0.1) a port held exclusively gives WSAEADDRINUSE, as
# on Windows, one both would share WSAEACCES; on every address (the stream port), WSAEACCES both.
@pytest.mark.parametrize("taken, step", [
    ("stream", "cannot listen on the stream port {}: error "),
    ("events", "cannot bind the event port {}: error 10048: "),
    ("metrics", "cannot listen on the metrics port {}: error 10048: "),
])
def test_a_second_relay_on_a_port_in_use_shows_why_and_ends_while_the_first_serves(wine, start, taken, step):
    first = with_metrics(start, limit=60, **traced(wine))
    ports = {"stream": free_port(socket.SOCK_STREAM), "events": free_port(socket.SOCK_DGRAM),
             "metrics": free_port(socket.SOCK_STREAM), taken: getattr(first, taken)}
    second = start(f"--metrics={ports['metrics']}", stream=ports["stream"], events=ports["events"],
                   **traced(wine))
    assert wait_for(lambda: message_box(second), 60)
    assert step.format(ports[taken]).encode() in message_box(second)
    assert press_ok_until(lambda: second.process.poll() is not None) and second.process.wait() == 1
    one_event(first.stream, first.events)
    assert values(scrape(first))["korvel_clients_admitted_total"] == 1
    first.process.kill()
    first.process.wait()
