import re
import socket
import struct
import subprocess

from conftest import BOUNDARY, HEADER, Client, event_part, wait_for

KEEP_ALIVE = rb"Content-Type: text/keepalive\r\n\r\n[^\r\n]+ \d\d:\d\d:\d\d\r\n" + BOUNDARY


def test_clients_take_the_lowest_closed_element_and_arrivals_are_taken_whole(start):
    relay = start("-d", "0").listening()
    first, second = Client(relay.stream), Client(relay.stream)
    assert relay.wait_log(b" - Connected to Winsock(2)\r\n")
    assert relay.read().count(b" - Destination connection request from:127.0.0.1\r\n") == 2
    first.close()
    assert relay.wait_log(b" - Connection(1).Closed by peer\r\n")
    client = Client(relay.stream)
    client.sendall(b"a" * 1001)  # one arrival over the limit is dropped whole
    assert relay.wait_log(b" - Connection(1).GetData: aaaa")
    client.sendall(b"GET /?TextFilter=x HTTP/1.0\r\n\r")
    assert relay.wait_log(b" - Connection(1).GetData: GET")
    client.sendall(b"\n")
    assert client.read(lambda data: HEADER in data)
    client.sendall(b"G")  # anything after the answer ends the session
    assert client.read(lambda data: client.closed) and client.data == HEADER  # closed by the relay
    assert relay.wait_log(b" - Connection(1).Closed by host\r\n")


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


def test_clients_that_vanish_or_never_read_fail_alone_while_others_get_every_event(start):
    relay = start("-d", "3").listening()
    stalled = Client(relay.stream, receive_buffer=4096)
    stalled.sendall(b"GET / HTTP/1.0\r\n\r\n")
    assert relay.wait_log(b"Connected to Winsock(1)")
    vanishing, reader = relay.subscribe(), relay.subscribe()
    vanishing.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    vanishing.close()  # a reset
    # 50 MB in all, of which the stalled client is cut off after 8 MiB.
    expected = len(HEADER)
    for i in range(1000):
        text = b"%d" % i + b"p" * 50000
        relay.send(text)
        expected += len(event_part(text))
        assert reader.read(lambda data: len(data) >= expected), i  # paced, so that no datagram is lost
    assert relay.wait_log(b"Connection(1).Error client is not reading: more than 8388608 bytes")
    assert re.search(rb"Connection\(2\)\.(Closed by peer|Error )", relay.read())
    assert reader.data.count(b"text/x-zelva-event") == 1000
