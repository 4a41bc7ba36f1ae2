# The answers for browsers: Server-Sent Events chosen by the Accept header, resumption from the
# kept events, CORS, and the multipart stream for everything else.
import base64
import json
import pathlib
import re

import pytest

from conftest import BOUNDARY, HEADER, Client, event_part

SSE_HEADER = b"HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
EVENT = rb"id: ([0-9a-f]{16}-[0-9a-f]{1,8}-(\d+))\ndata: ([^\n]*)\n\n"
KEEP_ALIVE = rb": [^\n]+ \d\d:\d\d:\d\d\n\n"


def subscribe(relay, headers=b"", query=b"", accept=b"text/event-stream"):
    client = Client(relay.stream, receive_buffer=1 << 20)
    client.sendall(b"GET /?" + query + b" HTTP/1.1\r\nHost: x\r\nAccept: " + accept + b"\r\n" + headers + b"\r\n")
    assert client.read(lambda data: b"\r\n\r\n" in data)
    return client


def events(client, count):
    # The events' (id, number, data) once count have come; keep-alive comments are skipped.
    assert client.read(lambda data: len(re.findall(EVENT, data)) >= count, 10)
    return [(i, int(n), json.loads(d)) for i, n, d in re.findall(EVENT, re.sub(KEEP_ALIVE, b"", client.data))]


def text_of(data): return data["text"].encode() if "text" in data else base64.b64decode(data["base64"])


def test_each_event_carries_its_exact_bytes_and_sender_under_a_fresh_id(start):
    relay = start().listening()
    everything, alarms = subscribe(relay), subscribe(relay, query=b"textfilter=ALARM&SOURCE_IP=127.0.0.2")
    assert everything.data == SSE_HEADER + b"\r\nretry: 1000\n\n"
    sent = [b"plain text", b"ALARM\r\nCR LF\0NUL \"quoted\" \\", b"\xff\xfeALARM not UTF-8",
            "ALARM h\u00e9llo \u2603".encode(), b"A" * 65507]
    for i, text in enumerate(sent):
        relay.send(text, "127.0.0.2" if i else "127.0.0.1")
    got = events(everything, len(sent))  # base64 only for the bytes that are not UTF-8
    assert [(text_of(data), data["from"], n, "base64" in data) for _, n, data in got] == [
        (text, "127.0.0.2" if n else "127.0.0.1", n, n == 2) for n, text in enumerate(sent)]
    assert [text_of(data) for _, _, data in events(alarms, 3)] == sent[1:4]


@pytest.mark.parametrize("switches,origin,answered", [
    ([], b"http://other.example", None), (["--allow-origin=*"], b"http://other.example", b"*"),
    (["--allow-origin=http://a-b.example,http://c.example"], b"http://c.example", b"http://c.example"),
    (["--allow-origin=http://a-b.example"], b"http://other.example", None)])
def test_only_listed_origins_get_a_cors_answer(start, switches, origin, answered):
    relay = start(*switches).listening()
    client = subscribe(relay, b"Origin: " + origin + b"\r\n")
    cors = b"Access-Control-Allow-Origin: " + answered + b"\r\nVary: Origin\r\n" if answered else b""
    assert client.data == SSE_HEADER + cors + b"\r\nretry: 1000\n\n"


def test_a_resumed_client_gets_the_kept_events_after_its_id_then_the_live_ones(start):
    relay = start("--replay-events=300").listening()
    first = subscribe(relay)
    for n in range(10):
        relay.send(b"S<%d>" % n)
    ids = [i for i, _, _ in events(first, 10)]
    for n in range(10, 250):  # 14 MB: more than a client may have waiting at once
        relay.send(b"<%d>" % n + b"." * 60000)
        if n % 20 == 0:  # at the pace the event socket takes them
            assert first.read(lambda data: data.count(b"\nid: ") >= n, 10)
    resumed = subscribe(relay, b"Last-Event-ID: " + ids[4] + b"\r\n", b"heartbeat=1")
    by_query = subscribe(relay, query=b"TextFilter=S&last_event_id=" + ids[8])
    whole = relay.subscribe(b"recent=1000", receive_buffer=1 << 20)  # multipart, through the same batches
    relay.send(b"S<250>")
    assert [n for _, n, _ in events(resumed, 246)] == list(range(5, 251))
    assert whole.read(lambda data: data.endswith(event_part(b"S<250>")), 10) and whole.data.count(BOUNDARY) == 252
    assert [n for _, n, _ in events(by_query, 2)] == [9, 250]
    assert by_query.read(lambda data: re.search(KEEP_ALIVE, data), 7)  # a comment: the local time
    assert resumed.read(lambda data: re.search(rb"\n\nevent: alive\ndata: {\"at\":\d{13}}\n\n", data), 2)  # a script sees it


def text(n): return (b"AB" if n == 1010 else b"B" if n % 2 else b"A") + b"<%d>" % n


# The ring keeps events 7 to 1009; even ones say A, odd ones B; the live one after them says both.
@pytest.mark.parametrize("switches,query,answer,sent", [
    ([], b"recent=3", "sse", range(1007, 1010)), ([], b"recent=2&TextFilter=B", "sse", [1007, 1009]),
    ([], b"recent=5000", "sse", range(10, 1010)), ([], b"TextFilter=A&recent=1000", "sse", range(8, 1010, 2)),
    ([], b"recent=3", "resumed", range(1006, 1010)),  # the id wins
    ([], b"recent=2&TextFilter=B", "multipart", [1007, 1009]), ([], b"recent=5000", "multipart", range(10, 1010)),
    (["--no-browser"], b"recent=3", "multipart", [])])  # no ring: the live stream only
def test_recent_gives_the_last_kept_events_the_filters_accept_then_the_live_ones(start, switches, query, answer, sent):
    relay = start("--replay-events=1003", *switches).listening()
    watcher = relay.subscribe()
    for n in range(1010):
        relay.send(text(n))
    assert watcher.read(lambda data: b"<1009>" in data, 10)
    resume = answer == "resumed" and b"Last-Event-ID: " + events(subscribe(relay, query=b"recent=5"), 5)[0][0] + b"\r\n"
    client = relay.subscribe(query) if answer == "multipart" else subscribe(relay, resume or b"", query)
    relay.send(text(1010))
    if answer == "multipart":
        expected = HEADER + b"".join(event_part(text(n)) for n in [*sent, 1010])
        assert client.read(lambda data: len(data) >= len(expected)) and client.data == expected
    else:
        assert [n for _, n, _ in events(client, len(sent) + 1)] == [*sent, 1010] and b"missed" not in client.data


@pytest.mark.parametrize("last_id,missed", [
    (b"0000000000000000-1-0", b"null"), (b"garbage", b"null"),  # another run's, or none
    (None, b"7")])  # this run's, but older than the ring: it knows how many went
def test_an_id_the_ring_cannot_place_gets_a_missed_event_before_the_live_stream(start, last_id, missed):
    relay = start("--replay-events=2").listening()
    first = subscribe(relay)
    for n in range(10):
        relay.send(b"<%d>" % n)
    oldest = events(first, 10)[0][0]
    client = subscribe(relay, b"Last-Event-ID: " + (last_id or oldest) + b"\r\n")
    relay.send(b"<10>")
    assert client.read(lambda data: b"<10>" in data)
    assert re.fullmatch(re.escape(SSE_HEADER + b"\r\nretry: 1000\n\nevent: missed\ndata: {\"missed\":" + missed + b"}\n\n")
                        + (rb"" if last_id else EVENT * 2) + EVENT, client.data)


@pytest.mark.parametrize("switches,accept", [
    ([], b"*/*"), ([], b"image/*"), ([], b"text/plain, text/event-stream;q=0"),
    (["--no-browser"], b"text/event-stream"), (["--no-browser"], b"text/html")])
def test_every_other_request_gets_the_multipart_stream_byte_for_byte(start, switches, accept):
    relay = start(*switches).listening()
    clients = [subscribe(relay, accept=accept), relay.subscribe()]  # the second sends no Accept
    relay.send(b"EVENT")
    for client in clients:
        assert client.read(lambda data: data.endswith(event_part(b"EVENT")))
        assert client.data[client.data.index(b"HTTP/1.0"):] == HEADER + event_part(b"EVENT")


def test_a_browser_navigating_gets_the_viewer_page_and_the_end_of_the_connection(start):
    relay = start().listening()
    client = subscribe(relay, accept=b"text/html,application/xhtml+xml,*/*;q=0.8")
    assert client.read(lambda data: client.closed)
    head, page = client.data.split(b"\r\n\r\n", 1)
    assert head == b"HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\n" \
        b"Cache-Control: no-cache" % len(page)
    assert page == (pathlib.Path(__file__).parents[2] / "src/relay/wire/viewer_page.html").read_bytes()
