#!/usr/bin/env python3
"""The relay's CPU per event while it logs every datagram, on a healthy log and on a full disk.

    python3 bench/log_failure.py [--events 100000] [--rate 10000] [--padding 200] [--executable PATH]

Run as root: it moves itself into a private mount namespace (unshare -m) and gives each case a
tmpfs of its own for the log. Both cases run the relay at -d 1 (two log lines per datagram) with
one streaming client, and send the same numbered datagrams from loopback at a steady pace. In the
"full" case the tmpfs is filled right after start-up, so every write of the log fails from then
on. It prints, per case, the relay's CPU time (user and system, from /proc/PID/stat) over the
datagrams sent, and how many of them the client received.
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def fill(folder):
    # Writes until the file system refuses; the relay's log cannot grow by a byte after this.
    with open(os.path.join(folder, "filler"), "wb", buffering=0) as filler:
        try:
            while True:
                filler.write(b"\0" * 65536)
        except OSError:
            pass
        try:
            while True:
                filler.write(b"\0")
        except OSError:
            pass


def run_case(args, full):
    folder = tempfile.mkdtemp(prefix="korvel-logfail-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32m", "tmpfs", folder], check=True)
    stream, events = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    relay = subprocess.Popen(
        [args.executable, "-p", str(stream), "-l", str(events), "-d", "1", "-i", "bench.log"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env={**os.environ, "LOGS_DIRECTORY": folder})
    try:
        client = None
        for _ in range(100):
            try:
                client = socket.create_connection(("127.0.0.1", stream), timeout=1)
                break
            except OSError:
                time.sleep(0.05)
        if client is None:
            sys.exit("the relay did not start")
        client.sendall(b"GET / HTTP/1.0\r\n\r\n")
        data = bytearray(client.recv(1 << 16))
        if full:
            fill(folder)
        reading = threading.Event()
        reading.set()

        def read():
            client.settimeout(0.2)
            while reading.is_set():
                try:
                    chunk = client.recv(1 << 20)
                except socket.timeout:
                    continue
                if not chunk:
                    return
                data.extend(chunk)

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(0.2)
        before = cpu_seconds(relay.pid)
        sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        padding, target, sent, start = b"." * args.padding, ("127.0.0.1", events), 0, time.monotonic()
        while sent < args.events:
            due = min(args.events, int((time.monotonic() - start) * args.rate))
            while sent < due:
                sender.sendto(b"<%d>" % sent + padding, target)
                sent += 1
            time.sleep(0.001)
        seconds = time.monotonic() - start
        time.sleep(1.0)  # lets the relay and the client finish what is under way
        cpu = cpu_seconds(relay.pid) - before
        reading.clear()
        reader.join()
        received = len(set(re.findall(rb"<(\d+)>", bytes(data))))
        return cpu, received, sent, seconds
    finally:
        relay.terminate()
        relay.wait(10)
        subprocess.run(["umount", folder], check=True)
        os.rmdir(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=100000)
    parser.add_argument("--rate", type=int, default=10000, help="datagrams per second")
    parser.add_argument("--padding", type=int, default=200, help="bytes after each event's number")
    parser.add_argument("--executable", default=os.path.join(ROOT, "build", "KorvelCaptureServer"))
    args = parser.parse_args()
    args.executable = os.path.abspath(args.executable)
    if os.environ.get("KORVEL_BENCH_NAMESPACE") != "1":
        if os.geteuid() != 0:
            sys.exit("run as root: the benchmark mounts a tmpfs in a mount namespace of its own")
        os.environ["KORVEL_BENCH_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__), *sys.argv[1:]])
    print(f"{args.events} datagrams of {args.padding + 7} bytes or so at {args.rate}/s, -d 1")
    print("| log | relay CPU µs per event | received / sent |")
    print("|---|---|---|")
    for full in (False, True):
        cpu, received, sent, seconds = run_case(args, full)
        print(f"| {'full file system' if full else 'healthy'} | {cpu / sent * 1e6:.1f} | "
              f"{received} / {sent} ({100 * received / sent:.1f} %) |", flush=True)


if __name__ == "__main__":
    main()
