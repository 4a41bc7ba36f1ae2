# What an operator sees and decides: the metrics port against a scripted scenario, promtool and a
# real Prometheus, the allow-lists and IPv6, all on loopback.
import json
import os
import re
import signal
import socket
import struct
import subprocess
import time
import urllib.request

import pytest

from conftest import Client, free_port, wait_for
from test_event_stream import subscribe

EVENT_STREAM = b"Accept: text/event-stream\r\n\r\n"


def scrape(relay):
    with urllib.request.urlopen(f"http://127.0.0.1:{relay.metrics}/metrics", timeout=10) as answer:
        return answer.read().decode()


def values(text):  # {"name{labels}": value}
    return {name: float(value) for name, value in re.findall(r"^([a-z_]+(?:\{[^}]*\})?) (\S+)$", text, re.M)}


def with_metrics(start, *args, limit=5.0, **options):
    port = free_port(socket.SOCK_STREAM)
    relay = start(f"--metrics={port}", *args, **options).listening(limit)
    relay.metrics = port
    return relay


def keep_alives(client):
    return client.data.count(b"text/keepalive") + client.data.count(b"\n\n: ")


def queued(port):  # bytes waiting in the event socket's receive queue
    rows = [row.split() for table in ("udp", "udp6") for row in open(f"/proc/net/{table}").readlines()[1:]]
    return next(int(row[4].split(":")[1], 16) for row in rows if row[1].endswith(f":{port:04X}"))


def ended(reason):
    return f'korvel_sessions_ended_total{{reason="{reason}"}}'


# Each kind of ending, brought about as many times as it says: no two alike, so that a reason
# counted as another shows.
ENDINGS = {"peer_closed": 1, "request_too_long": 2, "data_after_answer": 3, "socket_error": 4,
           "page_served": 5, "not_allowed": 6}


def begin_ending(relay, reason):
    if reason == "not_allowed":
        return Client(relay.stream, source="127.0.0.2")
    if reason == "page_served":
        client = Client(relay.stream)
        client.sendall(b"GET / HTTP/1.0\r\nAccept: text/html\r\n\r\n")
    elif reason == "request_too_long":
        client = Client(relay.stream)
        client.sendall(b"x" * 1000)  # the most one arrival may bring; one more character follows
    else:
        client = relay.subscribe()
        client.sendall(b"after the answer") if reason == "data_after_answer" else None
    if reason == "socket_error":
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
    if reason == "peer_closed":
        client.shutdown(socket.SHUT_WR)
    return client


def test_after_a_scripted_scenario_every_counter_has_its_value(start):
    relay = with_metrics(start, "-d", "3", "--allow-clients=127.0.0.1", "--allow-senders=127.0.0.1")
    idle = Client(relay.stream)  # never finishes its request
    watchers = [relay.subscribe(b"TextFilter=EV"), Client(relay.stream)]
    watchers[1].sendall(b"GET /?TextFilter=EV HTTP/1.0\r\n" + EVENT_STREAM)
    assert watchers[1].read(lambda data: data.endswith(b"retry: 1000\n\n"))
    # The short-lived sessions run just after a tick's keep-alives, so that none gets one.
    assert watchers[0].read(lambda data: keep_alives(watchers[0]), 6)
    others = [(reason, begin_ending(relay, reason)) for reason, n in ENDINGS.items() for _ in range(n)]
    time.sleep(0.5)
    for reason, client in others:
        if reason == "request_too_long":
            client.sendall(b"x")
        if reason != "socket_error":
            assert client.read(lambda data: client.closed), reason
    assert relay.wait_log(b").Error ", ENDINGS["socket_error"])
    others = [client for _, client in others]
    for text, source in [(b"EV 1", "127.0.0.1"), (b"nobody", "127.0.0.1"), (b"EV 2", "127.0.0.3")]:
        relay.send(text, source)
    os.kill(relay.process.pid, signal.SIGSTOP)  # the host drops what its buffer cannot hold
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for _ in range(30000):
            sender.sendto(b"F" * 1000, ("127.0.0.1", relay.events))
    os.kill(relay.process.pid, signal.SIGCONT)
    assert wait_for(lambda: queued(relay.events) == 0, 30)  # or what follows is dropped as well
    for text in (b"EV 3", b"EV 4"):  # each brings the host's count with it, in a read of its own
        relay.send(text)
        assert all(w.read(lambda data: text in data, 10) for w in watchers)
    assert relay.wait_log(b" - Connection(1).Closed by host\r\n", limit=15)  # the idle one
    # Scraped just after a tick, once the watchers have read all it sent them.
    ticks = [keep_alives(w) for w in watchers]
    assert all(w.read(lambda data: keep_alives(w) > tick, 15)
               for w, tick in zip(watchers, ticks))
    metrics = values(scrape(relay))

    log = relay.read().decode()
    dropped = sum(map(int, re.findall(r" - The host dropped (\d+) event datagrams: the event socket's "
                                      r"receive buffer was full\r\n", log)))
    received = metrics["korvel_datagrams_received_total"]
    assert dropped > 0 and received + dropped == 30005
    assert metrics == pytest.approx({**metrics, **{
        "korvel_datagrams_dropped_by_host_total": dropped,
        "korvel_datagram_received_bytes_total": 4 + 6 + 4 + 4 + 4 + 1000 * (received - 5),
        "korvel_datagrams_refused_total": 1,
        'korvel_parts_sent_total{part="event"}': 6,
        'korvel_parts_sent_total{part="keepalive"}': sum(map(keep_alives, watchers)),
        "korvel_sent_bytes_total": sum(len(client.data) for client in watchers + others),
        # (the idle client, never answered, received nothing)
        "korvel_clients_admitted_total": 3 + sum(ENDINGS.values()) - ENDINGS["not_allowed"],
        **{ended(reason): n for reason, n in ENDINGS.items()},
        ended("idle_request"): 1, ended("slow_client"): 0, ended("array_full"): 0,
        "korvel_clients_connected": 2,
        'korvel_clients_streaming{kind="multipart"}': 1,
        'korvel_clients_streaming{kind="event_stream"}': 1,
        "korvel_replay_events": received - 1,
        "korvel_log_lines_dropped_total": 0,
    }})
    assert {"process_cpu_seconds_total", "process_resident_memory_bytes", "process_open_fds",
            "process_max_fds", "process_start_time_seconds"} <= metrics.keys()
    # Event-stream clients are told of the dropped datagrams before the event after them, live
    # and when they replay it.
    first_id = re.search(rb"id: (\S+)\ndata: [^\n]*EV 1", watchers[1].data)[1]
    resumed = subscribe(relay, b"Last-Event-ID: " + first_id + b"\r\n", b"TextFilter=EV")
    assert resumed.read(lambda data: b"EV 4" in data)
    for client in (watchers[1], resumed):
        assert re.search(rb'event: missed\ndata: {"missed":%d}\n\nid: \S+\ndata: [^\n]*EV 3' % dropped,
                         client.data)
    check = subprocess.run(["promtool", "check", "metrics"], input=scrape(relay).encode(),
                           capture_output=True)
    assert check.returncode == 0, check.stdout + check.stderr
    idle.close()


def test_prometheus_scrapes_the_relay(start, tmp_path):
    relay = with_metrics(start)
    for _ in range(5):
        relay.send(b"counted")
    (tmp_path / "prometheus.yml").write_text(json.dumps({
        "global": {"scrape_interval": "1s"},
        "scrape_configs": [{"job_name": "korvel",
                            "static_configs": [{"targets": [f"127.0.0.1:{relay.metrics}"]}]}]}))
    web = free_port(socket.SOCK_STREAM)
    server = subprocess.Popen(["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}",
                               f"--storage.tsdb.path={tmp_path / 'data'}",
                               f"--web.listen-address=127.0.0.1:{web}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    query = f"http://127.0.0.1:{web}/api/v1/query?query=korvel_datagrams_received_total"

    def answer():
        try:
            with urllib.request.urlopen(query, timeout=2) as reply:
                return [sample["value"][1] for sample in json.load(reply)["data"]["result"]]
        except OSError:
            return None
    try:
        assert wait_for(lambda: answer() == ["5"], 60), answer()
    finally:
        server.kill()
        server.wait()


# Each relay takes its lists; the clients and senders named are let in or refused.
ACCESS = [
    (["--allow-clients=::1,127.0.0.1/32", "--allow-senders=0:0::1,127.0.0.1"],
     ["::1", "127.0.0.1"], ["127.0.0.2"], ["::1", "127.0.0.1"], ["127.0.0.3"]),
    (["--allow-clients=127.0.0.0/8", "--allow-senders=127.0.0.0/8"],
     ["127.0.0.2"], ["::1"], ["127.0.0.1"], ["::1"]),
]


@pytest.mark.parametrize("lists, clients, refused_clients, senders, refused_senders", ACCESS)
def test_allow_lists_over_both_families(start, lists, clients, refused_clients, senders,
                                        refused_senders):
    relay = start("-d", "1", *lists).listening()
    watchers = [relay.subscribe(source=source) for source in clients]
    refused = [Client(relay.stream, source=source) for source in refused_clients]
    assert all(client.read(lambda data: client.closed) and not client.data for client in refused)
    part = {source: b"\r\nfrom " + source.encode() + b"\r\n" for source in senders + refused_senders}
    for source in refused_senders + senders:  # the refused first: their fate is known once the others arrive
        relay.send(part[source][2:-2], source)
    for w in watchers:
        assert w.read(lambda data: all(part[source] in data for source in senders))
        assert not any(part[source] in w.data for source in refused_senders)
    log = relay.read().decode()
    for source in refused_clients:
        assert f" - Refused a connection from {source}: not an allowed client\r\n" in log
    for source in senders:  # both families as their plain text, never ::ffff:a.b.c.d
        assert f" - wListen_DataArrival: Remotehost:{source} / RemotehostIP:{source} /" in log


def test_ipv4_only_leaves_ipv6_peers_out(start):
    relay = start("--ipv4-only").listening()
    with pytest.raises(ConnectionRefusedError):
        Client(relay.stream, source="::1")
