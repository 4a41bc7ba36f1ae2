import re
import time

from conftest import BOUNDARY, HEADER, Client, event_part

KEEP_ALIVE = rb"Content-Type: text/keepalive\r\n\r\n[^\r\n]+ \d\d:\d\d:\d\d\r\n" + BOUNDARY
AWKWARD = b"ALARM\0with NUL\r\n" + BOUNDARY + b"end"
EVENTS = [(b"ALARM first", "127.0.0.1"), (b"ALARM from+two", "127.0.0.2"), (b"plain", "127.0.0.2"),
          (AWKWARD, "127.0.0.1"), (b"ALARM from ten", "127.0.0.10"), (b"alarm in lower case", "127.0.0.1"),
          (b"from IPv6", "::1")]


def parts(indices):
    return b"".join(event_part(EVENTS[i][0]) for i in indices)


def test_each_request_selects_its_events_by_sender_and_text_and_each_is_logged(start):
    relay = start("-d", "1").listening()
    # Keys match in any case; of a key given twice the last counts; the whole request text is
    # parsed, so the query of a pipelined second request counts. A sender given in another
    # spelling, or an IPv4 sender as an IPv4-mapped IPv6 address, matches as the canonical text.
    rows = [(b"", [0, 1, 2, 3, 4, 5, 6]), (b"?TextFilter=zzz&TextFilter=ALARM", [0, 1, 3, 4]),
            (b"?SOURCE_IP=127.0.0.2", [1, 2]), (b"?source_ip=127.0.0.1&textfilter=ALARM", [0, 3]),
            (b" HTTP/1.0\r\n\r\nGET /?TextFilter=from+two", [1]), (b"?source_ip=0:0::0001", [6]),
            (b"?source_ip=::ffff:127.0.0.1", [0, 3, 5])]
    clients = [Client(relay.stream) for _ in rows]
    for client, (query, _) in zip(clients, rows):
        client.sendall(b"GET /" + query + b" HTTP/1.0\r\n\r\n")
        assert client.read(lambda data: HEADER in data)
    relay.send(b"")  # an empty datagram is no event
    for text, source in EVENTS:
        relay.send(text, source)
    received = lambda client: re.sub(KEEP_ALIVE, b"", client.data)
    for client, (_, wanted) in zip(clients, rows):
        client.read(lambda data: len(received(client)) >= len(HEADER + parts(wanted)))
    time.sleep(0.2)  # nothing more may come
    for client, (query, wanted) in zip(clients, rows):
        client.read(lambda data: False, 0.01)
        assert received(client) == HEADER + parts(wanted), query
    # At level one every datagram is logged with its sender, its text unchanged.
    assert relay.wait_log(b" - alarm in lower case\r\n")
    assert re.search(rb" - wListen_DataArrival: Remotehost:127.0.0.2 / RemotehostIP:127.0.0.2 / "
                     rb"RemotePort:\d+\r\n[^\r\n]+ - ALARM from\+two\r\n", relay.read())
    assert b" - " + AWKWARD + b"\r\n" in relay.read()
