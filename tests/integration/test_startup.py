import re
import socket

import pytest

from conftest import one_event, wait_for


def test_default_level_writes_only_the_startup_line(start):
    relay = start().listening()
    client = one_event(relay.stream, relay.events)
    assert wait_for(lambda: b"Serving: 1\n" in relay.read("stdout.txt"))
    assert relay.stop() == 0
    assert client.read(lambda data: client.closed)  # closed by the relay
    assert re.fullmatch(rb"[^\r\n]+ \d\d:\d\d:\d\d - Executing as application\r\n", relay.read())


def test_service_mode_without_a_service_manager_serves_hidden(start):
    relay = start("-s", "-d", "0").listening()
    assert relay.wait_log(b" - Executing as service\r\n")
    assert b"KorvelCaptureServer: Unable to start service.\n" in relay.read("stderr.txt")
    one_event(relay.stream, relay.events)
    assert not wait_for(lambda: relay.read("stdout.txt"), 1.2)  # past a tick: no status line


@pytest.mark.parametrize("held,args,error", [
    ("stream", [], rb"cannot listen on the stream port PORT: error 98: "),
    ("events", [], rb"cannot bind the event port PORT: error 98: "),
    (None, ["-i", "nofolder/debug.log"], rb"cannot write the debug log .*/nofolder/debug.log: error 2: ")])
def test_a_failed_start_up_step_ends_the_program_with_its_error(start, held, args, error):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM if held == "stream" else socket.SOCK_DGRAM) as holder:
        holder.bind(("0.0.0.0", 0))  # a port that another program holds
        port = holder.getsockname()[1]
        relay = start(*args, **({held: port} if held else {}))
        assert relay.process.wait(5) == 1
    assert re.search(error.replace(b"PORT", b"%d" % port), relay.read("stderr.txt"))
