#!/usr/bin/env python3
"""How long real browsers' requests to the stream port are, against the relay's 1000-character
limits (the whole request, and each TCP read).

    /usr/bin/python3 bench/browser_requests.py [--firefox] [--host NAME]

A small server on a free loopback port stands in for the relay and records each request's raw
bytes. It serves the real viewer page (src/relay/wire/viewer_page.html), which opens its EventSource
on its own address; that stream gets one event with an id of 40 characters (the longest the relay
gives) and is then closed, so the browser reconnects with Last-Event-ID, and that request gets 204,
which ends the EventSource. Per case the browser first loads /setup, whose answer sets the case's
cookies for the host and redirects to the page, so the page's own requests carry them.

Headless Chromium runs through Selenium (chromium, chromium-driver and python3-selenium, which
scripts/install-deps.sh installs). Debian has no geckodriver, so with --firefox, firefox-esr
(bash scripts/install-missing.sh firefox-esr) is started headless on a fresh profile with the
setup address and ended by its pid once the reconnect has arrived.

--host NAME has the browsers reach the server by that name, resolved to 127.0.0.1 inside the
browser, instead of 127.0.0.1: a page on a plain-HTTP name is not a secure context, which changes
the headers a browser sends.
"""
import argparse
import json
import os
import shutil
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = open(os.path.join(ROOT, "src/relay/wire/viewer_page.html"), "rb").read()
EVENT_ID = "f3a9c2e17b4d8a06-1718000000-123456789012"  # 40 characters, the relay's longest
assert len(EVENT_ID) == 40
FILTER = "?source_ip=192.168.100.200&TextFilter=ALARM"
CASES = [  # name, the page's query, the cookies set for the host
    ("no cookies", "", []),
    ("filter in the query", FILTER, []),
    ("3 cookies of 100 bytes", "", [(f"c{i}", "v" * 97) for i in range(3)]),
    ("one 4 KB cookie", "", [("session", "s" * 4000)]),
    ("4 KB cookie and filter", FILTER, [("session", "s" * 4000)]),
]
KINDS = ["navigation", "EventSource", "reconnect"]


class Recorder(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.case, self.requests, self.reconnected = None, [], threading.Event()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        data, largest = b"", 0
        self.request.settimeout(10)
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = self.request.recv(65536)
            if not chunk:
                return
            data, largest = data + chunk, max(largest, len(chunk))
            if data.startswith(b"\x16"):  # a TLS handshake: the browser tries HTTPS first
                self.server.requests.append((self.server.case[0], "other: TLS handshake", data, largest))
                return
        head = data.decode("latin-1")
        path = head.split(" ", 2)[1]
        accept = next((line[7:].strip() for line in head.split("\r\n") if line.lower().startswith("accept:")), "")
        server = self.server
        if path.startswith("/setup"):
            cookies = "".join(f"Set-Cookie: {name}={value}; Path=/\r\n" for name, value in server.case[2])
            self.send(f"HTTP/1.0 302 Found\r\nLocation: /{server.case[1]}\r\n{cookies}Content-Length: 0\r\n\r\n".encode())
            return
        if "text/event-stream" in accept:
            kind = "reconnect" if "\r\nlast-event-id:" in head.lower() else "EventSource"
        else:
            kind = "navigation" if "text/html" in accept else "other: " + path
        server.requests.append((server.case[0], kind, data, largest))
        if kind == "navigation":
            self.send(b"HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: %d\r\n"
                      b"Cache-Control: no-cache\r\n\r\n" % len(PAGE) + PAGE)
        elif kind == "EventSource":
            self.send(b"HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n\r\n"
                      b"retry: 100\n\nid: " + EVENT_ID.encode() +
                      b'\ndata: {"at":1718000000000,"from":"192.168.1.20","text":"one"}\n\n')
        elif kind == "reconnect":
            self.send(b"HTTP/1.0 204 No Content\r\n\r\n")
            server.reconnected.set()
        else:
            self.send(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")

    def send(self, answer):
        self.request.sendall(answer)
        self.request.shutdown(socket.SHUT_WR)


def chromium(server, setup, host):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.add_argument("--headless=new")
    options.add_argument("--no-sandbox")  # as root
    if host:
        options.add_argument(f"--host-resolver-rules=MAP {host} 127.0.0.1")
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    try:
        for case in CASES:
            server.case = case
            server.reconnected.clear()
            driver.delete_all_cookies()
            driver.get(setup)
            server.reconnected.wait(10)
            time.sleep(0.3)  # a late request of the page, such as an icon, would show up here
        return driver.capabilities.get("browserVersion", "")
    finally:
        driver.quit()


def firefox(server, setup, host):
    for case in CASES:
        server.case = case
        server.reconnected.clear()
        with tempfile.TemporaryDirectory() as profile:
            # No first-run pages or background requests of its own on the way.
            prefs = {"browser.startup.homepage_override.mstone": "ignore",
                     "datareporting.policy.dataSubmissionEnabled": False,
                     "app.update.disabledForTesting": True,
                     "network.captive-portal-service.enabled": False}
            if host:
                prefs["network.dns.forceResolve"] = "127.0.0.1"
            with open(os.path.join(profile, "user.js"), "w") as out:
                out.writelines(f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in prefs.items())
            browser = subprocess.Popen(["firefox-esr", "--headless", "--no-remote", "--profile", profile, setup],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                server.reconnected.wait(30)
                time.sleep(0.3)
            finally:
                browser.terminate()
                try:
                    browser.wait(10)
                except subprocess.TimeoutExpired:
                    browser.kill()
                    browser.wait()
    return subprocess.run(["firefox-esr", "--version"], capture_output=True, text=True).stdout.strip()


def report(name, version, requests):
    print(f"\n## {name} {version}\n")
    print("| case | " + " | ".join(KINDS) + " |")
    print("|---|" + "---|" * len(KINDS))
    for case, _, _ in CASES:
        sizes = {kind: len(data) for c, kind, data, _ in requests if c == case}
        print(f"| {case} | " + " | ".join(
            f"{sizes[kind]}{' **over**' if sizes[kind] > 1000 else ''}" if kind in sizes else "none"
            for kind in KINDS) + " |")
    if not requests:
        print("No request arrived.")
        return
    others = [kind for _, kind, _, _ in requests if kind not in KINDS]
    print(f"\nOther requests: {', '.join(others) if others else 'none'}. Largest single read: "
          f"{max(largest for _, _, _, largest in requests)} bytes (loopback: each request arrives in one read).")
    for kind in KINDS:
        data = next(data for case, k, data, _ in requests if case == CASES[0][0] and k == kind)
        print(f"\n{kind}, no cookies ({len(data)} bytes):\n")
        print("\n".join(f"    {line}" for line in data.decode("latin-1").split("\r\n") if line))


def main():
    arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    arguments.add_argument("--firefox", action="store_true", help="measure firefox-esr too")
    arguments.add_argument("--host", default="", help="a name for 127.0.0.1 inside the browsers")
    options = arguments.parse_args()
    server = Recorder()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    setup = f"http://{options.host or '127.0.0.1'}:{server.server_address[1]}/setup"
    try:
        browsers = [("Chromium", chromium)] + ([("Firefox ESR", firefox)] if options.firefox else [])
        for name, run in browsers:
            server.requests = []
            version = run(server, setup, options.host)
            report(name, version, server.requests)
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
