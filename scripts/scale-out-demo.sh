#!/usr/bin/env bash
# Three relays behind HAProxy, fed by IP multicast, on one machine (as root): two event sources,
# three relay hosts, a balancer and a client host, each a network namespace on one bridge.
#
# 3,000 clients connect through HAProxy, 1,000 of them for Server-Sent Events, which resume with
# Last-Event-ID as a browser's EventSource does, and the others for the multipart stream. While two
# sources send over 1,000 events a second to 239.192.0.7:9007, one relay is killed with SIGKILL:
# its clients reconnect through HAProxy to the other two. Every SSE client must then hold every
# event, in order, none twice, and never be told that it missed some; the multipart clients show
# what the gap costs without resumption. The killed relay is started again and takes the next
# clients that connect.
#
# Every step waits for its condition (a port listening, HAProxy's word on a relay, the relays'
# counts, the clients' own report), each within a bound. A run that was killed leaves namespaces
# behind; the next one removes them, with what still runs in them, before it starts.
set -euo pipefail
cd "$(dirname "$0")/.."

clients=${CLIENTS:-3000} sse_clients=${SSE_CLIENTS:-1000} more_clients=${MORE_CLIENTS:-300}
group=239.192.0.7 port=9007 stream=3677 metrics=9107
hosts=(ksrc krelay1 krelay2 krelay3 khap kcli)
declare -A address=([ksrc]=10.77.0.10 [krelay1]=10.77.0.11 [krelay2]=10.77.0.12
  [krelay3]=10.77.0.13 [khap]=10.77.0.20 [kcli]=10.77.0.30)
second_source=10.77.0.9  # the source host's second address, for the second source
# Each source: its address, its tag, its events a second, and every how many events it sends the
# same heartbeat text instead of a numbered one (0: never). They send from before the kill until
# the restarted relay has taken new clients.
sources=("${address[ksrc]} A 560 20" "$second_source B 460 0")

if [ "$(id -u)" -ne 0 ]; then
  echo "scale-out demo skipped: it needs root"
  exit 0
fi
bash scripts/install-deps.sh
bash scripts/install-missing.sh --no-start haproxy smcroute iproute2
ip netns del kprobe 2>/dev/null || true
if ! ip netns add kprobe 2>/dev/null; then
  echo "scale-out demo skipped: this machine does not allow network namespaces"
  exit 0
fi
ip netns del kprobe
nice bash scripts/build.sh build-demo -DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=ON \
  -- KorvelCaptureServer korvel_stream_clients >/dev/null

# The demo's namespaces, with whatever still runs in them (after a killed run), and a host's link
# not yet moved into the bridge's namespace; the veth pairs go with the namespaces.
remove_namespaces() {
  local host
  for host in "${hosts[@]}" ksw; do
    ip netns pids "$host" 2>/dev/null | xargs -r kill 2>/dev/null || true
    ip netns del "$host" 2>/dev/null || true
    ip link del "v-$host" 2>/dev/null || true
  done
}
remove_namespaces
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  remove_namespaces
  rm -rf "$work"
}
trap cleanup EXIT
in_ns() { local host=$1; shift; ip netns exec "$host" "$@"; }
wait_for() {  # wait_for SECONDS COMMAND...: true once the command succeeds
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}
since() {  # since NANOSECONDS: the seconds from then to now, to a tenth
  local tenths=$((($(date +%s%N) - $1) / 100000000))
  echo "$((tenths / 10)).$((tenths % 10)) s"
}

# The wire: a bridge in a namespace of its own, one veth pair per host.
ip netns add ksw
in_ns ksw ip link add kbr0 type bridge
in_ns ksw ip link set kbr0 up
# Frames cross the bridge without the host's iptables, which has no rules for the demo.
in_ns ksw sysctl -qw net.bridge.bridge-nf-call-iptables=0 net.bridge.bridge-nf-call-ip6tables=0
for host in "${hosts[@]}"; do
  ip netns add "$host"
  ip link add "v-$host" type veth peer name eth0 netns "$host"
  ip link set "v-$host" netns ksw
  in_ns ksw ip link set "v-$host" master kbr0 up
  in_ns "$host" ip addr add "${address[$host]}/24" dev eth0
  in_ns "$host" ip link set eth0 up
  in_ns "$host" ip link set lo up
  in_ns "$host" ip route add 224.0.0.0/4 dev eth0
done
in_ns ksrc ip addr add "$second_source/24" dev eth0

# listening HOST N: at least N sockets listen (TCP) or stand bound (UDP) on the demo's ports there.
listening() {
  [ "$(in_ns "$1" ss -Hltun "( sport = :$stream or sport = :$port or sport = :$metrics )" | wc -l)" -ge "$2" ]
}

# Each relay host: smcroute joining the group on eth0 (the relay's event socket, bound to
# 0.0.0.0:9007, then receives the group's datagrams) and the relay with its defaults and a metrics
# port, which HAProxy's health check and this script read.
declare -A relay_pid
start_relay() {
  ip netns exec "krelay$1" "$work/relay$1/KorvelCaptureServer" "--metrics=0.0.0.0:$metrics" \
    >"$work/relay$1/stdout.txt" 2>&1 &
  pids+=($!)
  relay_pid[$1]=$!
}
for n in 1 2 3; do
  mkdir "$work/relay$n"
  cp build-demo/KorvelCaptureServer "$work/relay$n/"
  printf 'phyint eth0 enable\nmgroup from eth0 group %s\n' "$group" >"$work/relay$n/smcroute.conf"
  ip netns exec "krelay$n" smcrouted -n -N -l err -i "korvel-relay$n" -f "$work/relay$n/smcroute.conf" \
    -P "$work/relay$n/smcroute.pid" -u "$work/relay$n/smcroute.sock" &
  pids+=($!)
  start_relay "$n"
done
for n in 1 2 3; do
  wait_for 10 listening "krelay$n" 3 || { echo "relay$n is not listening" >&2; exit 1; }
done

# HAProxy starts once the relays listen: its servers start as up, and the first health checks
# find them so. The check asks the metrics port, which the relay's own thread answers (see
# docs/scale-out.md); a refused or unanswered check twice in a row marks a relay down.
cat >"$work/haproxy.cfg" <<EOF
global
  maxconn 7000  # two descriptors a connection and a pipe for splicing, within the host's 20,000
defaults
  mode tcp
  timeout connect 1s
  timeout client 1h
  timeout server 1h
  timeout tunnel 24h
  retries 3
  option redispatch 1
  option splice-response
frontend streams
  bind ${address[khap]}:$stream
  default_backend relays
backend relays
  balance leastconn
  option httpchk GET /metrics
  timeout check 1s
  default-server check port $metrics inter 500ms fastinter 200ms downinter 500ms fall 2 rise 2 on-marked-down shutdown-sessions
  server relay1 ${address[krelay1]}:$stream
  server relay2 ${address[krelay2]}:$stream
  server relay3 ${address[krelay3]}:$stream
EOF
ip netns exec khap haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)
wait_for 10 listening khap 1 || { cat "$work/haproxy.log" >&2; exit 1; }
# True once HAProxy has said the relay is in the given state (UP or DOWN) N times.
haproxy_says() { [ "$(grep -c "Server relays/relay$1 is $2" "$work/haproxy.log" || true)" -ge "$3" ]; }

scrape() { in_ns "krelay$1" curl -s --max-time 2 "http://127.0.0.1:$metrics/" || true; }
metric() {  # metric N NAME: relay N's value of the metric, 0 when it does not answer
  scrape "$1" | awk -v name="$2" '$1 == name { value = $2 } END { print value + 0 }'
}
streaming() {  # streaming N: relay N's streaming clients, and how many of them are SSE clients
  scrape "$1" | awk '$1 ~ /^korvel_clients_streaming{/ { both += $2 } $1 ~ /"event_stream"/ { sse = $2 }
    END { print both + 0, sse + 0 }'
}
counted() {  # counted TOTAL N...: true once the given relays stream to TOTAL clients in all
  local total=$1 n both sum=0
  shift
  for n in "$@"; do
    read -r both _ < <(streaming "$n")
    sum=$((sum + both))
  done
  [ "$sum" -eq "$total" ]
}
spread() {  # spread N...: each relay's streaming clients, as it counts them
  local n both sse line=
  for n in "$@"; do
    read -r both sse < <(streaming "$n")
    line+="${line:+, }relay$n $both ($sse SSE)"
  done
  echo "$line"
}

# The clients check the sources' events; once the sources have stopped, this file says how many
# each sent.
tags=
for source in "${sources[@]}"; do
  read -r _ tag _ <<<"$source"
  tags+=$tag
done
: >"$work/sent.txt"
ip netns exec kcli bash -c "ulimit -n 20000; exec build-demo/bench/korvel_stream_clients \
  ${address[khap]} $stream $((clients - sse_clients)) $sse_clients $tags" \
  <"$work/sent.txt" >"$work/clients.txt" &
clients_pid=$!
pids+=($clients_pid)
# True once all clients have stood subscribed (again) the given number of times.
subscribed_times() { [ "$(grep -c "^subscribed $clients$" "$work/clients.txt" || true)" -ge "$1" ]; }

wait_for 60 subscribed_times 1 || { echo "clients did not all subscribe: $(spread 1 2 3)" >&2; exit 1; }
wait_for 10 counted "$clients" 1 2 3 || { echo "the relays count $(spread 1 2 3), not $clients" >&2; exit 1; }
echo "$clients clients through HAProxy ($sse_clients SSE), streaming from: $(spread 1 2 3)"

# A source: numbered events ("#A41"), or every EVERY-th one the same heartbeat text
# ("#A heartbeat"), from its own address, each once to the group, in bursts every 200 ms, until
# SIGTERM; then it prints how many it sent, and in how many seconds.
send() {  # send ADDRESS TAG RATE EVERY
  exec ip netns exec ksrc python3 - "$@" "$group" "$port" <<'EOF'
import signal, socket, sys, time
address, tag, rate, every, group, port = sys.argv[1:]
tag, rate, every, port = tag.encode(), int(rate), int(every), int(port)
out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
out.bind((address, 0))
stopped = []
signal.signal(signal.SIGTERM, lambda *_: stopped.append(True))
start, sent = time.monotonic(), 0
while not stopped:
    elapsed = time.monotonic() - start
    for n in range(sent, int(elapsed * rate) + 1):
        heartbeat = every and n % every == every - 1
        out.sendto(b"#%s heartbeat" % tag if heartbeat else b"#%s%d" % (tag, n), (group, port))
        sent = n + 1
    time.sleep(0.2)
print(sent, int(elapsed * 1000))
EOF
}
source_pids=()
for source in "${sources[@]}"; do
  read -r _ tag _ <<<"$source"
  send $source >"$work/sent-$tag.txt" &
  pids+=($!)
  source_pids+=($!)
done
sent() { ! kill -0 "${source_pids[@]}" 2>/dev/null; }

sleep 3
kill -KILL "${relay_pid[1]}"
killed=$(date +%s%N)
wait "${relay_pid[1]}" 2>/dev/null || true  # and without the shell's word on it
echo "killed relay1 (SIGKILL) while events flow"
wait_for 10 haproxy_says 1 DOWN 1 || { echo "HAProxy did not mark relay1 down" >&2; exit 1; }
echo "HAProxy marked relay1 down after $(since "$killed")"
wait_for 60 subscribed_times 2 || { echo "clients did not come back" >&2; exit 1; }
echo "all $clients clients back after $(since "$killed")"
wait_for 10 counted "$clients" 2 3 || { echo "the relays count $(spread 2 3), not $clients" >&2; exit 1; }
echo "streaming from: $(spread 2 3)"

start_relay 1
restarted=$(date +%s%N)
wait_for 10 listening krelay1 3 || { echo "relay1 is not listening again" >&2; exit 1; }
wait_for 10 haproxy_says 1 UP 1 || { echo "HAProxy did not mark relay1 up" >&2; exit 1; }
echo "started relay1 again; HAProxy marked it up after $(since "$restarted")"
ip netns exec kcli build-demo/bench/korvel_stream_clients "${address[khap]}" "$stream" \
  $((more_clients - more_clients / 2)) $((more_clients / 2)) >"$work/more-clients.txt" &
more_pid=$!
pids+=($more_pid)
wait_for 60 grep -qsx "subscribed $more_clients" "$work/more-clients.txt" ||
  { echo "the $more_clients more clients did not all subscribe" >&2; exit 1; }
wait_for 10 counted "$((clients + more_clients))" 1 2 3 ||
  { echo "the relays count $(spread 1 2 3), not $((clients + more_clients))" >&2; exit 1; }
echo "$more_clients more clients, streaming from: $(spread 1 2 3)"
kill "$more_pid"

kill "${source_pids[@]}"
wait_for 5 sent || { echo "the sources did not stop" >&2; exit 1; }
line= total=0 flow_ms=1
for source in "${sources[@]}"; do
  read -r from tag _ every <<<"$source"
  read -r events ms <"$work/sent-$tag.txt" || { echo "source $tag did not say what it sent" >&2; exit 1; }
  [ "$ms" -le "$flow_ms" ] || flow_ms=$ms
  echo "$tag:$events" >>"$work/sent.txt"
  total=$((total + events))
  line+=", $events from $from"
  [ "$every" -eq 0 ] || line+=" ($((events / every)) of them the same heartbeat text)"
done
echo "sent $total events in $((flow_ms / 1000)).$((flow_ms % 1000 / 100)) s ($((total * 1000 / flow_ms)) a second)$line"

# The clients' word that each has the sources' last events, then their report.
kill -USR1 "$clients_pid"
wait_for 60 grep -qx done "$work/clients.txt" || echo "not every client received the last events"
kill "$clients_pid"
wait "$clients_pid" || true
grep -E '^(SSE|multipart) clients' "$work/clients.txt" || true
line=
for n in 1 2 3; do
  line+="${line:+, }relay$n $(metric "$n" korvel_datagrams_dropped_by_host_total)"
done
echo "datagrams dropped by the relay hosts (relay1 since its start again): $line"
notices=$(grep -c '^notice' "$work/clients.txt" || true)
if [ "$notices" -gt 0 ]; then
  echo "SSE clients were told $notices times that they missed events, first:"
  grep '^notice' "$work/clients.txt" | head -n 5
fi
lossless='SSE clients: [0-9]*, [0-9]* connections; 0 events missed (by 0 clients), 0 twice, '\
'0 out of order; 0 missed notices'
if ! grep -qx "$lossless" "$work/clients.txt"; then
  echo "scale-out demo: an SSE client missed an event, got one twice or out of order," \
    "or was told that it missed some" >&2
  exit 1
fi
echo "scale-out demo: every SSE client received every event once, in order, across the failover"
