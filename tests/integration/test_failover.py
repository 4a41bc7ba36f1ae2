# Relays of one multicast group, fed the same datagrams, place each other's event ids: a client
# that resumes at another relay goes on right after the same event, or is told first that it may
# have missed some; never a silent gap, never an event twice.
from test_event_stream import events, subscribe, text_of

# What relay a receives, and whether b does too: b starts three events late, a receives one that
# b loses, and one text comes five times in a row.
FEED = ([(b"early %d" % n, False) for n in range(3)] + [(b"n%d" % n, True) for n in range(3, 10)]
        + [(b"same", True)] * 5 + [(b"n10", True), (b"lost", False)]
        + [(b"n%d" % n, True) for n in range(11, 15)])
# The event whose id a client brings from a to b, and whether b can place it.
RESUMED = {b"early 2": False, b"n3": False, b"n6": True, b"same": False, b"lost": False,
           b"n11": False, b"n14": True}


def test_relays_fed_alike_place_each_others_ids_or_say_they_cannot(start):
    a, b = start().listening(), start().listening()
    watcher = subscribe(a)
    for text, both in FEED:
        for relay in (a, b) if both else (a,):
            relay.send(text)
    ids = {text_of(data): i for i, _, data in events(watcher, len(FEED))}  # the last "same" stays
    clients = {text: subscribe(b, b"Last-Event-ID: " + ids[text] + b"\r\n") for text in RESUMED}
    b.send(b"end")
    at_b = [text for text, both in FEED if both] + [b"end"]
    for text, placed in RESUMED.items():
        client = clients[text]
        expected = at_b[at_b.index(text) + 1:] if placed else [b"end"]
        got = [text_of(data) for _, _, data in events(client, len(expected))]
        assert (got, b"event: missed\n" in client.data) == (expected, not placed), text
