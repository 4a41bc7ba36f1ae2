import re
import subprocess

from conftest import BOUNDARY, HEADER, Client, event_part, wait_for

KEEP_ALIVE = rb"Content-Type: text/keepalive\r\n\r\n[^\r\n]+ \d\d:\d\d:\d\d\r\n" + BOUNDARY


def test_filters_deliver_exactly_the_requested_events_in_identical_bytes(start):
    relay = start("-d", "0").listening()
    curl = subprocess.Popen(["curl", "-sNo", relay.folder / "curl.txt",
                             f"http://127.0.0.1:{relay.stream}/?TextFilter=ALARM"])
    # Keys match in any case; of a key given twice the last counts.
    queries = [b"", b"TextFilter=zzz&TextFilter=ALARM", b"SOURCE_IP=127.0.0.2", b"source_ip=127.0.0.1&textfilter=ALARM"]
    clients = [relay.subscribe(query) for query in queries]
    pipelined = Client(relay.stream)  # the whole request text is parsed, not only the first
    pipelined.sendall(b"GET / HTTP/1.0\r\n\r\nGET /?TextFilter=from+two HTTP/1.0\r\n\r\n")
    assert pipelined.read(lambda data: HEADER in data)
    assert wait_for(lambda: b"Serving: 6\n" in relay.read("stdout.txt"))
    awkward = b"ALARM\0with NUL\r\n" + BOUNDARY + b"end"
    events = [(b"ALARM first", "127.0.0.1"), (b"ALARM from+two", "127.0.0.2"),
              (b"plain", "127.0.0.2"), (awkward, "127.0.0.1"), (b"ALARM from ten", "127.0.0.10"),
              (b"alarm in lower case", "127.0.0.1")]
    relay.send(b"")  # an empty datagram is no event
    for text, source in events:
        relay.send(text, source)
    wanted = [[0, 1, 2, 3, 4, 5], [0, 1, 3, 4], [1, 2], [0, 3], [1]]
    for client, indices in zip(clients + [pipelined], wanted):
        expected = HEADER + b"".join(event_part(events[i][0]) for i in indices)
        client.read(lambda data: len(data) >= len(expected))
        client.read(lambda data: False, 0.2)  # nothing more may come
        assert re.sub(KEEP_ALIVE, b"", client.data) == expected
    # curl (an HTTP/1.1 client with headers of its own) keeps the body only, which starts with the
    # header's delimiter line; keep-alive parts follow the events.
    assert wait_for(lambda: b"keepalive" in relay.read("curl.txt"), 6)
    curl.terminate(), curl.wait(5)
    assert re.fullmatch(re.escape(BOUNDARY + b"".join(event_part(events[i][0]) for i in [0, 1, 3, 4]))
                        + b"(" + KEEP_ALIVE + b")+", relay.read("curl.txt"))
    # Every datagram, its sender and its text, unchanged, at level 1.
    assert re.search(rb" - wListen_DataArrival: Remotehost:127.0.0.2 / RemotehostIP:127.0.0.2 / "
                     rb"RemotePort:\d+\r\n[^\r\n]+ - ALARM from\+two\r\n", relay.read())
    assert b" - " + awkward + b"\r\n" in relay.read()

