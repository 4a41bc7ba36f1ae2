#!/usr/bin/env bash
# Three relays behind HAProxy, fed by IP multicast, on one machine (as root): a source, three
# relay hosts, a balancer and a client host, each a network namespace on one bridge.
#
# 3,000 clients connect through HAProxy; 10,000 events are sent once, to 239.192.0.7:9007, and
# every client must receive every one. Then one relay is stopped: its clients reconnect through
# HAProxy to the other two and must receive every one of 2,000 further events.
#
# Every step waits for its condition (a port listening, the relays' counts, the clients' own
# report), each within a bound. A run that was killed leaves namespaces behind; the next one
# removes them, with what still runs in them, before it starts.
set -euo pipefail
cd "$(dirname "$0")/.."

clients=${CLIENTS:-3000} first=${EVENTS:-10000} second=${MORE_EVENTS:-2000}
group=239.192.0.7 port=9007 stream=3677
hosts=(ksrc krelay1 krelay2 krelay3 khap kcli)
declare -A address=([ksrc]=10.77.0.10 [krelay1]=10.77.0.11 [krelay2]=10.77.0.12
  [krelay3]=10.77.0.13 [khap]=10.77.0.20 [kcli]=10.77.0.30)

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
bash scripts/build.sh build-demo -DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=ON \
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
    sleep 0.2
  done
}

# The wire: a bridge in a namespace of its own, one veth pair per host.
ip netns add ksw
in_ns ksw ip link add kbr0 type bridge
in_ns ksw ip link set kbr0 up
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

# listening HOST N: at least N sockets listen (TCP) or stand bound (UDP) on the demo's ports there.
listening() { [ "$(in_ns "$1" ss -Hltun "( sport = :$stream or sport = :$port )" | wc -l)" -ge "$2" ]; }

# Each relay host: the relay with its defaults, and smcroute joining the group on eth0 (the relay's
# event socket, bound to 0.0.0.0:9007, then receives the group's datagrams).
for n in 1 2 3; do
  mkdir "$work/relay$n"
  cp build-demo/KorvelCaptureServer "$work/relay$n/"
  printf 'phyint eth0 enable\nmgroup from eth0 group %s\n' "$group" >"$work/relay$n/smcroute.conf"
  ip netns exec "krelay$n" smcrouted -n -N -l err -i "korvel-relay$n" -f "$work/relay$n/smcroute.conf" \
    -P "$work/relay$n/smcroute.pid" -u "$work/relay$n/smcroute.sock" &
  pids+=($!)
  ip netns exec "krelay$n" "$work/relay$n/KorvelCaptureServer" >"$work/relay$n/stdout.txt" 2>&1 &
  pids+=($!)
  eval "relay${n}_pid=$!"
done
for n in 1 2 3; do
  wait_for 10 listening "krelay$n" 2 || { echo "relay$n is not listening" >&2; exit 1; }
done

# HAProxy starts once the relays listen: its servers start as up, and the first health checks
# find them so.
cat >"$work/haproxy.cfg" <<EOF
global
  maxconn 9000  # two descriptors a connection, within the host's 20,000
defaults
  mode tcp
  timeout connect 2s
  timeout client 1h
  timeout server 1h
  timeout tunnel 24h
  retries 3
  option redispatch
frontend streams
  bind ${address[khap]}:$stream
  default_backend relays
backend relays
  balance leastconn
  server relay1 ${address[krelay1]}:$stream check inter 1s fall 1 rise 2
  server relay2 ${address[krelay2]}:$stream check inter 1s fall 1 rise 2
  server relay3 ${address[krelay3]}:$stream check inter 1s fall 1 rise 2
EOF
ip netns exec khap haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)
wait_for 10 listening khap 1 || { cat "$work/haproxy.log" >&2; exit 1; }

# True once all clients have stood subscribed (again) the given number of times.
subscribed_times() { [ "$(grep -c "^subscribed $clients$" "$work/clients.txt" || true)" -ge "$1" ]; }
# True once the clients say that every one of them has received every event from FROM to TO-1.
received() { grep -qx "received $1-$(($2 - 1))" "$work/clients.txt"; }
serving() { tail -n 1 "$work/relay$1/stdout.txt" 2>/dev/null | sed 's/Serving: //'; }
# True once the counts that the given relays show (a tick of each updates its own) add up to all
# the clients.
counted() {
  local n count total=0
  for n in "$@"; do
    count=$(serving "$n")
    total=$((total + ${count:-0}))
  done
  [ "$total" -eq "$clients" ]
}
spread() {  # spread N...: each relay's count, as it shows it
  local n line=
  for n in "$@"; do line+="${line:+, }relay$n $(serving "$n")"; done
  echo "$line"
}

printf '0 %d\n%d %d\n' "$first" "$first" "$((first + second))" >"$work/ranges.txt"
ip netns exec kcli bash -c "ulimit -n 20000; exec build-demo/bench/korvel_stream_clients \
  ${address[khap]} $stream $clients $((first + second)) <$work/ranges.txt" >"$work/clients.txt" &
clients_pid=$!
pids+=($clients_pid)
report() {  # ends the clients; their report on both rounds decides
  kill "$clients_pid"
  wait "$clients_pid" || true
  grep '^events' "$work/clients.txt" || true
  complete=$(grep -c "^events .*: $clients of $clients clients received every one; 0 deliveries missed" "$work/clients.txt" || true)
  [ "$complete" -eq 2 ] || { echo "scale-out demo: events were lost" >&2; exit 1; }
}

wait_for 60 subscribed_times 1 || { echo "clients did not all subscribe: $(spread 1 2 3)" >&2; exit 1; }
wait_for 10 counted 1 2 3 || { echo "the relays count $(spread 1 2 3), not $clients" >&2; exit 1; }
echo "$clients clients through HAProxy, streaming from: $(spread 1 2 3)"

send() {  # send FROM TO: events FROM to TO-1, once each, to the group, in bursts of 50
  in_ns ksrc python3 - "$1" "$2" "$group" "$port" <<'EOF'
import socket, sys, time
first, last, group, port = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
for burst in range(first, last, 50):
    for seq in range(burst, min(burst + 50, last)):
        out.sendto(b"#EV%010d:" % seq + b"." * 52, (group, port))
    time.sleep(0.05)
EOF
}
started=$SECONDS
send 0 "$first"
echo "sent $first events once to $group:$port in $((SECONDS - started)) s"
wait_for 30 received 0 "$first" || report

kill "$relay1_pid"
stopped=$(date +%s%N)
echo "stopped relay1"
wait_for 60 subscribed_times 2 || { echo "clients did not come back" >&2; exit 1; }
tenths=$((($(date +%s%N) - stopped) / 100000000))
wait_for 10 counted 2 3 || { echo "the relays count $(spread 2 3), not $clients" >&2; exit 1; }
echo "all $clients clients back within $((tenths / 10)).$((tenths % 10)) s, streaming from: $(spread 2 3)"
send "$first" "$((first + second))"
echo "sent $second more events"
wait_for 30 received "$first" "$((first + second))" || true
report
echo "scale-out demo: every client received every event of both rounds"
