#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: its contents, the units'
# verification and the service's exposure score, what an upgrade does to them, its manual page,
# and the unpacked program serving an event.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-missing.sh systemd man-db
bash scripts/build-deb.sh >/dev/null
deb=$(ls build-deb/korvel-capture-server_*_*.deb)
unit=lib/systemd/system/korvel-capture-server.service
socket_unit=lib/systemd/system/korvel-capture-server.socket

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/sbin/KorvelCaptureServer ./$unit ./$socket_unit ./usr/share/man/man8/KorvelCaptureServer.8.gz \
  ./usr/share/doc/korvel-capture-server/examples/haproxy-front-door.cfg; do
  grep -qx "$file" <<<"$contents" || { echo "package lacks $file" >&2; exit 1; }
done

root=$(mktemp -d)
trap 'kill "$relay" 2>/dev/null || true; rm -rf "$root"' EXIT
relay=
dpkg -x "$deb" "$root"

# The unit as installed, but pointing at the unpacked program, so that nothing is installed here.
mkdir "$root/check"
sed "s|/usr/sbin/|$root/usr/sbin/|" "$root/$unit" >"$root/check/korvel-capture-server.service"
cp "$root/$socket_unit" "$root/check/"
systemd-analyze verify --man=no "$root/check/korvel-capture-server.service" \
  "$root/check/korvel-capture-server.socket"
exposure=$(systemd-analyze security --offline=yes "$root/$unit" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.2) }' || { echo "exposure $exposure is above 1.2" >&2; exit 1; }
# An upgrade restarts the service and leaves the socket, and what waits in it, alone: the
# maintainer scripts only ever start the socket, and stop it only when the package is removed.
dpkg-deb -e "$deb" "$root/control"
invoked=$(grep -h "deb-systemd-invoke" "$root/control/postinst" "$root/control/prerm")
upgrade_fault=
grep -q "deb-systemd-invoke \$_dh_action 'korvel-capture-server.service'" <<<"$invoked" ||
  upgrade_fault="the service is not restarted on upgrade"
grep "'korvel-capture-server.socket'" <<<"$invoked" | grep -qv "invoke start \|invoke stop " &&
  upgrade_fault="the socket is restarted on upgrade"
grep -B1 "invoke stop 'korvel-capture-server.socket'" "$root/control/prerm" | grep -q '"$1" = remove' ||
  upgrade_fault="the socket is stopped on upgrade"
[ -z "$upgrade_fault" ] || { echo "$upgrade_fault:" >&2; echo "$invoked" >&2; exit 1; }
man -l "$root/usr/share/man/man8/KorvelCaptureServer.8.gz" >/dev/null

# One event through the unpacked program, on free loopback ports. systemd's own tool holds the
# stream port and starts the program, handing it over, once the client has connected: the
# connection waits in the backlog meanwhile, as it does across a restart of the packaged service.
read -r stream events < <(/usr/bin/python3 -c '
import socket
t, u = socket.socket(), socket.socket(type=socket.SOCK_DGRAM)
t.bind(("127.0.0.1", 0)); u.bind(("127.0.0.1", 0))
print(t.getsockname()[1], u.getsockname()[1])')
systemd-socket-activate -l "127.0.0.1:$stream" "$root/usr/sbin/KorvelCaptureServer" -l "$events" \
  >/dev/null 2>&1 &
relay=$!
received=$(/usr/bin/python3 - "$stream" "$events" <<'PY'
import socket, sys, time
stream, events = int(sys.argv[1]), int(sys.argv[2])
for attempt in range(100):
    try:
        client = socket.create_connection(("127.0.0.1", stream), timeout=5)
        break
    except ConnectionRefusedError:
        time.sleep(0.05)
client.sendall(b"GET / HTTP/1.0\r\n\r\n")
data = b""
while b"--ABCDEF12345678\r\n" not in data:
    data += client.recv(4096)
socket.socket(type=socket.SOCK_DGRAM).sendto(b"PACKAGED", ("127.0.0.1", events))
while b"PACKAGED\r\n--ABCDEF12345678\r\n" not in data:
    data += client.recv(4096)
print("event received")
PY
)
kill "$relay"
wait "$relay"
relay=
echo "package: $(basename "$deb"), exposure $exposure, $received"
