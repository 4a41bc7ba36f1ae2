import re
import socket

import pytest

from conftest import one_event, wait_for


# Without a service manager, a service says it cannot start and serves all the same, hidden.
@pytest.mark.parametrize("args,mode,shown", [([], b"application", True), (["-s"], b"service", False)])
def test_the_log_tells_how_it_runs_and_only_an_application_shows_the_count(start, args, mode, shown):
    relay = start(*args).listening()
    client = one_event(relay.stream, relay.events)  # open while the count is shown
    assert wait_for(lambda: b"Serving: 1\n" in relay.read("stdout.txt"), 5 if shown else 1.2) == shown
    assert shown or not relay.read("stdout.txt")  # past a tick: no status line at all
    assert (b"KorvelCaptureServer: Unable to start service.\n" in relay.read("stderr.txt")) != shown
    assert relay.stop() == 0  # and with it every connection closed
    assert re.fullmatch(rb"[^\r\n]+ \d\d:\d\d:\d\d - Executing as " + mode + rb"\r\n", relay.read())


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
