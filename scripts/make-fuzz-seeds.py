#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/), deterministically.

Each seed is a script in the byte code its target reads; rerun this after changing one.
"""
import itertools
import os
import random

CORPUS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz", "corpus")


def write(target, name, data):
    os.makedirs(os.path.join(CORPUS, target), exist_ok=True)
    with open(os.path.join(CORPUS, target, name), "wb") as out:
        out.write(bytes(data))


def text(t):
    return bytes([len(t)]) + t


def relay_sessions():
    # A step is its code byte, two bytes of element index, then what the step reads.
    idx = lambda i: bytes([i >> 8 & 255, i & 255])
    connect = b"\0\0\0"
    request = lambda i, q: b"\2" + idx(i) + text(q)
    arrive = lambda i, piece, times=1: bytes([3 + 8 * (times - 1)]) + idx(i) + text(piece)
    close = lambda i: b"\4" + idx(i)
    error = lambda i: b"\5" + idx(i)
    event = lambda t: b"\6\0\0" + text(t)
    tick = lambda tenths, stop=False: (b"\xff" if stop else b"\7") + b"\0\0" + bytes([tenths])
    queries = [b"", b"TextFilter=x", b"source_ip=10.0.0.5", b"source_ip=10.0.0.9",
               b"textfilter=ev&TextFilter=y"]
    r = random.Random(1)

    def mix(n, steps, longest_tick):
        out = bytearray()
        for _ in range(steps):
            i = r.randrange(1, n + 1)
            out += r.choice([
                connect, connect, request(i, r.choice(queries)),
                arrive(i, r.choice([b"GET /? HTTP/1.0\r\n", b"\r\n", b"x" * 200]), r.randrange(1, 8)),
                close(i), error(i), event(r.choice([b"x-event", b"y-event", b"", b"xy"])),
                tick(r.randrange(longest_tick))])
        return out

    n = 4200  # past 4,096: the element sets' summaries are crossed
    big = bytearray([1]) + connect * n
    for i in list(range(1, n, 3)) + list(range(4090, 4200)):
        big += request(i, r.choice(queries))
    write("relay_sessions", "crosses-summaries", big + mix(n, 6000, 12))
    # The streamers of whole words leave, in the middle and across the summaries' boundary, while
    # pending clients between them stay.
    n = 4300
    words = bytearray([0]) + connect * n + b"".join(request(i, b"") for i in range(1, n + 1, 2))
    for word in list(range(5, 20)) + list(range(60, 66)):
        words += b"".join(close(i) for i in range(word * 64 + 1, word * 64 + 64, 2)) + event(b"e")
    write("relay_sessions", "empties-words", words)
    write("relay_sessions", "small-mix", b"\0" + connect * 8 + mix(8, 300, 256))
    limits = bytearray([1]) + connect * 7
    limits += arrive(1, b"a" * 250, 4) + arrive(1, b"x")  # a full buffer, then more
    limits += arrive(2, b"GET /?a=1 HTTP/1.0\r\n\r") + arrive(2, b"\n")  # the end split in two
    limits += arrive(3, b"b" * 111, 8) + arrive(3, b"c" * 249, 4) + arrive(3, b"\r\n\r\n")
    limits += arrive(5, b"e" * 143, 7) + arrive(6, b"f" * 125, 8)  # 1,001 characters dropped, 1,000 kept
    limits += arrive(7, b"g" * 124, 8) + arrive(7, b"g" * 7) + arrive(7, b"\r\n\r\n")  # 999 take more
    limits += arrive(4, b"d" * 200, 5) + arrive(4, b"\r\n\r\n") + event(b"e") + tick(110) + close(0)
    limits += connect + tick(0x70, stop=True) + tick(50)
    write("relay_sessions", "request-limits", limits)


def fan_out():
    # A step is its code byte and two bytes of element index, then what the step reads; a word
    # is its length and one byte per letter of "abc".
    word = lambda w: bytes([len(w)]) + bytes("abc".index(c) for c in w)
    at = lambda i: bytes([i >> 8 & 255, i & 255])

    def subscribe(source, w, event_stream=False, resume=False):  # source: 0 none, 1 or 2
        head = bytes([8 * event_stream + 16 * resume, 0, 0])
        return head + (bytes([1, source - 1]) if source else b"\0") + word(w)

    def event(sender, w, big=False, drops=0):
        return bytes([6 + 8 * big + 16 * bool(drops), 0, 0, sender]) + word(w) + (
            bytes([drops - 1]) if drops else b"")

    close = lambda i: b"\3" + at(i - 1)
    error = lambda i: b"\4" + at(i - 1)
    sent = lambda i: b"\5" + at(i - 1)
    r = random.Random(2)
    words = [""] + ["".join(w) for n in (1, 2, 3) for w in itertools.product("abc", repeat=n)]
    rand_word = lambda longest: "".join(r.choice("abc") for _ in range(r.randrange(longest + 1)))
    out = bytearray()
    for n, w in enumerate(words * 2):
        out += subscribe(n % 3, w, n % 4 == 0)
    for n in range(60):
        out += event(n % 3, rand_word(12), drops=n % 7 == 0 and 2)
    write("fan_out", "overlapping-filters", out)
    # Clients with filters of their own come and go between events: the automaton is rebuilt,
    # filters that went are found for nobody, and ids come back with other texts.
    out = bytearray()
    for n in range(400):
        out += subscribe(r.randrange(3), rand_word(4), r.random() < 0.3)
        out += r.choice([close, error])(r.randrange(1, 30)) if n % 2 else b""
        out += event(r.randrange(3), rand_word(24)) if n % 3 == 0 else b""
    write("fan_out", "churn", out)
    # Resuming clients that are still on their way through the kept events are passed by, and
    # event-stream clients are told of drops whatever their filters.
    out = subscribe(0, "", event_stream=True)  # its first event's id is where the others resume
    for n in range(40):  # 320 KiB: more than one batch of the replay
        out += event(0, "abcab", big=True)
    for n in range(6):
        out += subscribe(0, words[n], event_stream=True, resume=n % 2 == 0)
    for n in range(10):
        out += event(n % 3, rand_word(8), big=n % 3 == 0, drops=n % 2 and 3) + sent(2 + n % 6)
    write("fan_out", "resumes-and-drops", out)


def query_parsing():
    rows = [b"GET /path?a=1&b=2 HTTP/1.0\r\n\r\n", b"GET /?TextFilter=x\r\nHost: h\r\n\r\n",
            b"GET /?a=1\nHost: h\n\n", b"GET / HTTP/1.0\r\n\r\n", b"GET /? a=1 HTTP/1.0\r\n\r\n",
            b"GET / HTTP/1.0\r\nReferer: http://x/?source_ip=10.0.0.5&z=1 more\r\n\r\n",
            b"GET /?&a&=1&a=&&k=1=2&&t=a%20b+c&SOURCE_IP=1&source_ip=2 HTTP/1.0\r\n\r\n"]
    for n, row in enumerate(rows):
        write("query_parsing", f"request-{n}", row)


def log_lines():
    # A first byte (odd: a log path follows), then steps of three bytes: code, level, value.
    log = lambda path, steps: (b"\1" + text(path) if path else b"\0") + bytes(sum(steps, []))
    line = lambda level, length: [0, level, length]
    size = lambda mb, level, delay=False: [8 if delay else 3, level, mb]
    advance = lambda shift, hi, lo, failing=False: [(22 if failing else 2) + 5 * shift, hi, lo]
    back = lambda lo: [72, 0, lo]  # lo ms back, the file working
    flush = [4, 0, 0]
    write("log_lines", "rotates", log(b"", [size(1, 0)] + [line(9, 255)] * 60 + [flush]))
    # Tried once for 90 lines (2.2 MB, of which the oldest are dropped), then again a second later
    # (4 * 9 + 4 * 241 ms), after the clock went back, and right after a flush that worked.
    write("log_lines", "fails-then-recovers", log(b"c:\\logs\\trace", [size(1, 0), advance(0, 0, 0, True)]
          + [line(8, 255)] * 90 + [advance(0, 0, 9), line(8, 1), advance(0, 0, 241), line(8, 1)]
          + [advance(0, 0, 0, True), line(8, 1), back(1), line(8, 1)]
          + [advance(0, 0, 0, True), line(8, 1), advance(0, 0, 0), flush, line(8, 1), flush]))
    write("log_lines", "delayed-across-midnight", log(b"a.b/Debug.log", [size(3, 2, True)]
          + [line(5, 20), advance(0, 0, 40)] * 40 + [advance(1, 0x54, 0x60), line(5, 1), line(1, 1), flush]))


def journal_reader():
    # The ring's capacity, the events (length in 257-byte steps, letter, sender), the damage (kind,
    # segment, place, bytes), the socket of the next run (1: the same), the next ring's capacity.
    number = lambda n: bytes([n >> 8 & 255, n & 255])
    events = lambda sizes: bytes([len(sizes)]) + b"".join(bytes([size, n, n % 2]) for n, size in enumerate(sizes))
    place = lambda offset: number(offset >> 6) + bytes([offset & 63])
    small, large = [n % 9 for n in range(40)], [255] * 150  # large: three segments
    write("journal_reader", "untouched", number(299) + events(small) + b"\0" + b"\1" + number(299))
    write("journal_reader", "other-socket", number(9) + events(small) + b"\0" + b"\0" + number(299))
    write("journal_reader", "cut-short", number(299) + events(large) + b"\1\0" + place(2 << 20) + b"\1" + number(50))
    write("journal_reader", "torn-record", number(299) + events(small) + b"\2\0" + place(64 + 57 * 5)
          + text(b"\xff" * 40) + b"\1" + number(299))
    write("journal_reader", "segment-lost", number(299) + events(large) + b"\3\1\0\0\0" + b"\1" + number(299))


if __name__ == "__main__":
    relay_sessions()
    fan_out()
    query_parsing()
    log_lines()
    journal_reader()
