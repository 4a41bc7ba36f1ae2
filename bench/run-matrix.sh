#!/usr/bin/env bash
# The fan-out benchmark: the relay, Redis pub/sub and nginx with nchan, side by side, on loopback.
# Every cell starts its server afresh on CPU 0 and runs bench/loadgen.cpp on CPU 1; the results go
# to build-bench/results.txt, then bench/report.py writes docs/benchmarks.md and its plot.
#
#   bash bench/run-matrix.sh            # the whole matrix, a few minutes
#   CELL_SECONDS=1 bash bench/run-matrix.sh   # shorter cells
#   CELLS="sse ring" bash bench/run-matrix.sh   # only these groups of cells
#   CELLS=ops bash bench/run-matrix.sh   # the metrics port and the allow-lists, some 2 minutes
#   CELLS=journal bash bench/run-matrix.sh   # the replay ring and the journal, some 9 minutes
#
# The groups: max rate idle churn nomatch selective scale host sse ring ops journal. A run of some
# groups replaces only their lines in the results, so the report keeps the other groups of the last
# run.
#
# A cell that fails (its load generator ends with an error or runs past $cell_limit seconds, its
# server ends, it measures nothing) is named at once with the end of what its programs wrote, its
# line in the results says failed=..., and the run ends with status 1 without writing the report.
# Neither is it written while a group kept from the last run failed there or has no results:
# bench/report.py names every cell that would have nothing to show.
set -euo pipefail
cd "$(dirname "$0")/.."

cell_seconds=${CELL_SECONDS:-3}
all_groups="max rate idle churn nomatch selective scale host sse ring ops journal"
cells=${CELLS:-$all_groups}
cell_limit=600  # seconds, far past what any cell of a sound run takes
warm_seconds=${WARM_SECONDS:-3}  # before the journal group's cells
out=build-bench
results=$out/results.txt
korvel_stream=13677 korvel_events=19007 redis_port=16379 nchan_port=18080 metrics_port=19107
churn_stream=13678 churn_events=19008

bash scripts/install-deps.sh
bash scripts/install-missing.sh --no-start redis-server nginx-light libnginx-mod-nchan gnuplot-nox
bash scripts/build.sh $out -DCMAKE_BUILD_TYPE=Release -- KorvelCaptureServer korvel_loadgen \
  korvel_network_list_bench >/dev/null
ulimit -n "$(ulimit -Hn)"

# A port already taken (by another run of this benchmark, or a server one left behind) would fail
# the cells, or worse, measure that other server.
ports="$korvel_stream|$korvel_events|$churn_stream|$churn_events|$redis_port|$nchan_port"
taken=$(ss -Htuln | awk '{ print $5 }' | grep -E ":($ports|$metrics_port)\$" || true)
if [[ -n $taken ]]; then
  echo "run-matrix.sh: these ports of the benchmark are taken already:" $taken >&2
  echo "  (another run of it, or a server left from one?); nothing was run" >&2
  exit 1
fi

# In the build's folder, not in /tmp: the journal group's relays write their journals under it,
# and a journal on a tmpfs would measure memory, not the disk the relay's state lives on.
work=$(mktemp -d "$PWD/$out/run.XXXXXX")
trap 'stop_scraper; stop_server; rm -rf "$work"' EXIT
cp $out/KorvelCaptureServer "$work/"
sed "s|@PORT@|$nchan_port|; s|@WORK@|$work|g" bench/nchan.conf >"$work/nginx.conf"
server_pid="" scraper_pid=""
korvel_switches=()  # what the relay is started with besides its ports
korvel_env=()  # variables the relay is started with (NAME=value), besides the run's own
# A relay keeps a journal where STATE_DIRECTORY names a folder: only the cells that ask for one.
unset STATE_DIRECTORY
servers=0
declare -A server_logs  # what each server started wrote, by its pid, to show when a cell fails

start_server() {
  local log=$work/server-$((++servers))-$1.log
  case $1 in
    korvel) env "${korvel_env[@]}" taskset -c 0 "$work/KorvelCaptureServer" -p $korvel_stream \
              -l $korvel_events "${korvel_switches[@]}" >"$log" 2>&1 & ;;
    redis) taskset -c 0 redis-server --port $redis_port --bind 127.0.0.1 --save '' \
             --appendonly no --protected-mode no --maxclients 19500 --logfile '' \
             >"$log" 2>&1 & ;;
    nchan) taskset -c 0 nginx -c "$work/nginx.conf" -p "$work" >"$log" 2>&1 & ;;
  esac
  server_pid=$!
  server_logs[$server_pid]=$log
}

stop_server() {
  [[ -n $server_pid ]] || return 0
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

# Scrapes the relay's metrics port every $1 seconds, at most $2 times, as a Prometheus would, from
# the load generator's core; each scrape adds "seconds bytes" to the file $3 (0 bytes while the
# port is not open yet). With $4, it first waits (two minutes at most) until that many clients
# stream, as the metrics tell. Killed by its pid, it ends its sleep too.
scrape() {
  local every=$1 count=$2 into=$3 streaming=${4:-0} url="http://127.0.0.1:$metrics_port/metrics"
  local sleeper="" i
  trap '[[ -z $sleeper ]] || kill "$sleeper" 2>/dev/null; exit 0' TERM
  for ((i = 0; streaming > 0 && i < 240; ++i)); do
    curl -s --max-time 2 "$url" |
      awk -v want="$streaming" '/^korvel_clients_streaming/ { n += $2 } END { exit n < want }' &&
      break
    sleep 0.5 &
    sleeper=$!
    wait "$sleeper" || true
  done
  for ((i = 0; i < count; ++i)); do
    taskset -c 1 curl -s -o /dev/null --max-time 2 -w '%{time_total} %{size_download}\n' "$url" \
      >>"$into" || true
    sleep "$every" &
    sleeper=$!
    wait "$sleeper" || true
  done
}

stop_scraper() {
  [[ -n $scraper_pid ]] || return 0
  kill "$scraper_pid" 2>/dev/null || true
  wait "$scraper_pid" 2>/dev/null || true
  scraper_pid=
}

# A list of $1 networks from a fixed seed, half IPv4 (/16 to /32), half IPv6 (/32 to /128, in
# 2000::/3), one of them 127.0.0.0/28, where the load generator's connections and datagrams come
# from (127.0.0.1 to 127.0.0.8).
networks() {
  python3 - "$1" <<'EOF'
import ipaddress, random, sys
random.seed(20261208)
count = int(sys.argv[1])
listed = []
for i in range(count - 1):
    if i % 2 == 0:
        address, prefix = ipaddress.IPv4Address(random.getrandbits(32)), random.randint(16, 32)
    else:
        address = ipaddress.IPv6Address(1 << 125 | random.getrandbits(125))
        prefix = random.randint(32, 128)
    listed.append(str(ipaddress.ip_network(f"{address}/{prefix}", strict=False)))
listed.insert(len(listed) // 2, "127.0.0.0/28")
print(",".join(listed))
EOF
}

stream_port() {
  case $1 in korvel) echo $korvel_stream ;; redis) echo $redis_port ;; nchan) echo $nchan_port ;; esac
}

failures=()  # one line for each cell that failed, said again at the end of the run

# A cell that failed: said at once, with the end of each file given, and again at the end of the
# run; its line in the results says failed=TAG, so that the report refuses its group's figures
# until the group has run again. $1 holds the cell's fields, as the report tells cells apart.
cell_failed() {
  local fields=$1 tag=$2 why=$3 file
  shift 3
  failures+=("group $group, $fields: $why")
  printf '\nFAILED: group %s, %s: %s\n' "$group" "$fields" "$why" >&2
  for file in "$@"; do
    [[ -s $file ]] || continue
    echo "  the end of ${file##*/}:" >&2
    tail -n 8 "$file" | sed 's/^/    /' >&2
  done
  echo "group=$group $fields failed=$tag" >>"$results"
}

# The load generator's arguments as the fields of its line (--clients 100: clients=100), with its
# defaults for those the report tells cells apart by.
as_fields() {
  local -A given=([payload]=64 [sse]=0)
  local order=(payload sse) fields=() key
  while (($# >= 2)); do
    key=${1#--}
    [[ -n ${given[$key]+set} ]] || order+=("$key")
    given[$key]=$2
    shift 2
  done
  for key in "${order[@]}"; do fields+=("$key=${given[$key]}"); done
  echo "${fields[*]}"
}

# One load generator run against the server already started; its line goes to the results.
measure() {
  local cell=$1 system=$2
  shift 2
  local status=0 why="" tag="" logs=("$work/loadgen.err" "${server_logs[$server_pid]}")
  [[ $system != nchan ]] || logs+=("$work/nginx-error.log")
  timeout "$cell_limit" taskset -c 1 $out/bench/korvel_loadgen --target "$system" \
    --stream "$(stream_port "$system")" --events $korvel_events --pid "$server_pid" \
    --seconds "$cell_seconds" "$@" >"$work/loadgen.out" 2>"$work/loadgen.err" || status=$?
  if ((status == 124)); then
    why="the load generator was still running after $cell_limit s" tag=timeout
  elif ((status != 0)); then
    why="the load generator ended with status $status" tag=loadgen-status-$status
  elif ! grep -q . "$work/loadgen.out"; then
    why="the load generator printed no results" tag=no-results
  fi
  if ! kill -0 "$server_pid" 2>/dev/null; then
    why+="${why:+; }the server ended during the cell" tag=${tag:-server-ended}
  fi
  if [[ -n $why ]]; then
    cell_failed "cell=$cell target=$system $(as_fields "$@")" "$tag" "$why" "$work/loadgen.out" \
      "${logs[@]}"
    return 0
  fi
  sed "s/^/group=$group cell=$cell /" "$work/loadgen.out" >>"$results"
}

# A cell on a server of its own.
fresh() {
  local cell=$1 system=$2
  shift 2
  ((++done_cells))
  printf '\r[%2d/%d] %-8s %-6s %s          ' "$done_cells" "$total_cells" "$cell" "$system" "$*" >&2
  start_server "$system"
  # With warm set, the server first runs under the same load for $warm_seconds, its output
  # unread: what is measured is a server that has run a while, its buffers and the relay's ring
  # full and their memory (or the journal's files) in use again rather than being taken.
  if [[ -n ${warm:-} ]]; then
    timeout "$cell_limit" taskset -c 1 $out/bench/korvel_loadgen --target "$system" \
      --stream "$(stream_port "$system")" --events $korvel_events --pid "$server_pid" \
      --seconds "$warm_seconds" "$@" >/dev/null 2>&1 || true
  fi
  measure "$cell" "$system" "$@"
  stop_server
}


wanted() { [[ " $cells " == *" $1 "* ]]; }

systems=(korvel redis nchan)
declare -A group_cells=([max]=$((5 * 2 * 3)) [rate]=3 [idle]=3 [churn]=1 [nomatch]=5 [selective]=8 [scale]=2
                        [host]=0 [sse]=$((3 * 2 * (3 * 2 + 1) + 2)) [ring]=2
                        [ops]=$((3 * 3 * 3 + 3)) [journal]=$((3 * 2 * 5 * 2 + 5 * 2 + 1)))
total_cells=0
for group in $cells; do
  [[ -n ${group_cells[$group]+set} ]] || { echo "unknown group of cells: $group" >&2; exit 2; }
  total_cells=$((total_cells + group_cells[$group]))
done
done_cells=0
touch "$results"
grep -E '^group=' "$results" | grep -v -E "^group=(${cells// /|}) " >"$work/kept" || true
cp "$work/kept" "$results"

# A group kept from the last run that failed there, or has no results at all, keeps the report
# from being written; said now, before the cells take their minutes.
stale=()
for group in $all_groups; do
  wanted "$group" && continue
  if ! grep -q "^group=$group " "$work/kept"; then
    stale+=("$group (no results)")
  elif grep -q "^group=$group .* failed=" "$work/kept"; then
    stale+=("$group (failed)")
  fi
done
if ((${#stale[@]} > 0)); then
  echo "run-matrix.sh: kept from the last run: ${stale[*]}. This run will end with status 1" \
    "without writing docs/benchmarks.md unless CELLS includes those groups." >&2
fi

group=max
if wanted max; then
  for payload in 64 1024; do
    for clients in 1 10 100 1000 10000; do
      for system in "${systems[@]}"; do
        fresh max "$system" --clients $clients --payload $payload
      done
    done
  done
fi
for system in "${systems[@]}"; do
  group=rate
  ! wanted rate || fresh rate "$system" --clients 100 --payload 64 --rate 10000
  group=idle
  ! wanted idle || fresh idle "$system" --clients 10000 --idle-rss 1
done

# Churn: a fresh relay and one that 10,000 clients came to (each kept) and all left, measured in
# turn, three rounds, so that the shared machine's drift touches both alike; the report takes
# the medians.
group=churn
if wanted churn; then
  ((++done_cells))
  printf '\r[%2d/%d] churn                                  ' "$done_cells" "$total_cells" >&2
  start_server korvel
  fresh_pid=$server_pid
  korvel_stream=$churn_stream korvel_events=$churn_events
  start_server korvel
  churned_pid=$server_pid
  measure churn-admit korvel --clients 0 --admissions 10000
  sleep 2  # the relay's tick sees the closes
  for round in 1 2 3; do
    for clients in 1 10; do
      korvel_stream=13677 korvel_events=19007 server_pid=$fresh_pid
      measure churn-fresh korvel --clients $clients
      korvel_stream=$churn_stream korvel_events=$churn_events server_pid=$churned_pid
      measure churn-after korvel --clients $clients
    done
  done
  stop_server
  server_pid=$fresh_pid korvel_stream=13677 korvel_events=19007
  stop_server
fi

group=nomatch
if wanted nomatch; then
  for clients in 1 10 100 1000 10000; do
    fresh nomatch korvel --clients $clients --filter NOMATCH --nomatch 200000
  done
fi
# Clients with a TextFilter each, and datagrams that none of them wants or exactly one does.
group=selective
if wanted selective; then
  for clients in 1 100 1000 10000; do
    for wanted_by in none one; do
      fresh selective korvel --clients $clients --selective $wanted_by
    done
  done
fi
group=scale
if wanted scale; then
  fresh scale korvel --clients 19000 --payload 64 --admissions 10
  fresh idle-scale korvel --clients 19000 --idle-rss 1
fi

# Server-Sent Events: the relay's SSE and multipart answers side by side, in turn, three rounds
# (the report takes the medians), and nchan's EventSource in the first; then as many idle SSE and
# multipart clients.
group=sse
if wanted sse; then
  for round in 1 2 3; do
    for payload in 64 1024; do
      for clients in 100 1000 10000; do
        fresh sse korvel --clients $clients --payload $payload --sse 1
        fresh sse korvel --clients $clients --payload $payload
        ((round > 1)) || fresh sse nchan --clients $clients --payload $payload --sse 1
      done
    done
  done
  fresh idle-sse korvel --clients 10000 --idle-rss 1 --sse 1
  fresh idle-sse korvel --clients 10000 --idle-rss 1
fi

# The relay's replay ring at its default size, filled with 64 B and then with 1 KiB events while
# no client is connected.
group=ring
if wanted ring; then
  for payload in 64 1024; do
    fresh ring korvel --clients 0 --payload $payload --fill 262144
  done
fi

# Twenty scrapes, a fifth of a second apart, once 19,000 clients stream, on a fresh relay started
# with the switches set; the load generator's line goes to the results with the scrapes' times.
scrape_cell() {
  local cell=$1
  shift
  ((++done_cells))
  printf '\r[%2d/%d] %-13s 19000 clients %s          ' "$done_cells" "$total_cells" "$cell" "$*" >&2
  : >"$work/scrapes"
  start_server korvel
  scrape 0.2 20 "$work/scrapes" 19000 &
  scraper_pid=$!
  measure "$cell" korvel --clients 19000 --payload 64 "$@"
  stop_scraper
  stop_server
  if ! awk '$2 > 0 { answered = 1 } END { exit !answered }' "$work/scrapes"; then
    cell_failed "cell=$cell-times clients=19000" no-scrape-answered \
      "the relay's metrics port answered no scrape" "$work/scrapes"
    return 0
  fi
  awk -v cell="$cell" '$2 > 0 { times = times sep $1; sep = ","; bytes = $2 }
    END { printf "group=ops cell=%s-times clients=19000 scrape_s=%s bytes=%s\n", cell, times, bytes }' \
    "$work/scrapes" >>"$results"
}

# Operations, at maximum rate with 64 B events: the relay as it runs by default, scraped once a
# second on its metrics port, and refusing clients and senders outside lists of 1,000 networks
# (each datagram and connection checked). Each cell on a fresh relay, the three in turn, three
# rounds, their order turned each round, so that the machine's drift touches all alike; the report
# sets each variant against the plain relay of the same round, beside the plain relay's own spread
# over the rounds. Then scrapes with 19,000 clients, which walk the streaming sessions once to
# count them by kind: with no events, and with 2 events a second to every client, where each event
# is 19,000 writes on the relay's thread that a scrape may wait behind.
group=ops
if wanted ops; then
  allowed=$(networks 1000)
  variants=(plain metrics lists)
  for round in 0 1 2; do
    for clients in 1 100 1000; do
      for v in 0 1 2; do
        variant=${variants[(v + round) % 3]}
        case $variant in
          plain) korvel_switches=() ;;
          metrics) korvel_switches=("--metrics=$metrics_port") ;;
          lists) korvel_switches=("--allow-senders=$allowed" "--allow-clients=$allowed") ;;
        esac
        if [[ $variant == metrics ]]; then
          : >"$work/scrapes"
          scrape 1 120 "$work/scrapes" &
          scraper_pid=$!
        fi
        fresh "$variant" korvel --clients $clients --payload 64
        noted="round=$round"  # the report compares the variants round by round
        if [[ $variant == metrics ]]; then
          stop_scraper
          noted+=" scrapes=$(awk '$2 > 0' "$work/scrapes" | wc -l)"
        fi
        sed -i "\$ s/\$/ $noted/" "$results"
      done
    done
  done
  korvel_switches=("--metrics=$metrics_port")
  scrape_cell scrape-quiet --idle-rss 1
  scrape_cell scrape-events --rate 2 --seconds 15
  korvel_switches=()

  # An address against a list alone (bench/network_list_bench.cpp), five runs each on the load
  # generator's core.
  ((++done_cells))
  printf '\r[%2d/%d] list check                            ' "$done_cells" "$total_cells" >&2
  status=0
  taskset -c 1 timeout "$cell_limit" $out/bench/korvel_network_list_bench \
    --benchmark_repetitions=5 --benchmark_format=csv >"$work/list.csv" 2>"$work/list.err" ||
    status=$?
  awk -F, '$1 ~ /^"Contains\/networks:[0-9]+\/ipv:[46]"$/ {
      split($1, name, /[:\/"]/)
      printf "group=ops cell=list-check networks=%s ipv=%s ns_per_check=%s\n", name[4], name[6], $4
    }' "$work/list.csv" >"$work/list-check"
  checks=$(wc -l <"$work/list-check")
  if ((status != 0 || checks != 4 * 5)); then
    cell_failed "cell=list-check" "list-status-$status" \
      "korvel_network_list_bench ended with status $status and gave $checks of 20 checks" \
      "$work/list.csv" "$work/list.err"
  else
    cat "$work/list-check" >>"$results"
  fi
fi

# The replay ring and the journal. First what the two cost together: each broadcast cell of the
# max group on a fresh relay as it runs by default, with STATE_DIRECTORY naming a fresh folder on
# the build's disk, beside one with --no-browser, which keeps neither; three rounds through all
# the cells, the two in turn, which goes first turned each round. Then the journal alone: the
# relay with the ring only (no STATE_DIRECTORY) beside ring and journal, K = 10 and 1 KiB, five
# rounds. Then bench/journal_restart.py: the start on a full journal, and SIGTERM to serving again.
# Every relay's journal folder is removed after its cell: each may hold some 70 MiB.
journal_cell() {
  local variant=$1 round=$2 state="" noted
  shift 2
  korvel_switches=() korvel_env=()
  case $variant in
    no-browser) korvel_switches=(--no-browser) ;;
    journal-defaults | ring-journal)
      state=$work/journal/$variant-$round-$((done_cells + 1))
      mkdir -p "$state"
      korvel_env=("STATE_DIRECTORY=$state") ;;
  esac
  warm=1 fresh "$variant" korvel "$@"
  noted="round=$round"  # the report sets the variants side by side round by round
  if [[ -n $state ]]; then  # what the relay left in its folder: the journal was on
    noted+=" journal_files=$(find "$state" -type f | wc -l)"
    noted+=" journal_kib=$(find "$state" -type f -printf '%k\n' |
      awk '{ k += $1 } END { print k + 0 }')"
    rm -rf "$state"
  fi
  sed -i "\$ s/\$/ $noted/" "$results"
  korvel_switches=() korvel_env=()
}

group=journal
if wanted journal; then
  pair=(journal-defaults no-browser)
  for round in 0 1 2; do
    for payload in 64 1024; do
      for clients in 1 10 100 1000 10000; do
        for v in 0 1; do
          journal_cell "${pair[(v + round) % 2]}" $round --clients $clients --payload $payload
        done
      done
    done
  done
  pair=(ring-only ring-journal)
  for round in 0 1 2 3 4; do
    for v in 0 1; do
      journal_cell "${pair[(v + round) % 2]}" $round --clients 10 --payload 1024
    done
  done

  ((++done_cells))
  printf '\r[%2d/%d] start on a full journal, SIGTERM to serving again          ' "$done_cells" \
    "$total_cells" >&2
  status=0
  timeout "$cell_limit" python3 bench/journal_restart.py --executable "$work/KorvelCaptureServer" \
    --folder "$work/journal/restarts" --stream $korvel_stream --events $korvel_events \
    --metrics $metrics_port >"$work/restarts.out" 2>"$work/restarts.err" || status=$?
  if ((status != 0)); then
    cell_failed "cell=restarts" "restarts-status-$status" \
      "bench/journal_restart.py ended with status $status" "$work/restarts.out" \
      "$work/restarts.err"
  else
    sed "s/^/group=journal /" "$work/restarts.out" >>"$results"
  fi
  rm -rf "$work/journal"
fi

# What the host granted the relay's event socket (it asks for 8 MiB).
group=host
if wanted host; then
  start_server korvel
  granted=""
  for ((try = 0; try < 100; ++try)); do  # up to ten seconds for the relay to bind it
    granted=$(ss -Huamn "sport = :$korvel_events" | grep -o 'rb[0-9]*' | head -1 || true)
    [[ -z $granted ]] || break
    sleep 0.1
  done
  if [[ -n $granted ]]; then
    echo "group=host cell=host receive_buffer=${granted#rb}" \
      "rmem_max=$(cat /proc/sys/net/core/rmem_max)" >>"$results"
  else
    cell_failed "cell=host" no-socket \
      "ss showed no event socket of the relay on port $korvel_events within ten seconds" \
      "${server_logs[$server_pid]}"
  fi
  stop_server
fi
echo >&2

if ((${#failures[@]} > 0)); then
  echo "run-matrix.sh: ${#failures[@]} cell(s) failed; docs/benchmarks.md was not written:" >&2
  printf '  %s\n' "${failures[@]}" >&2
  echo "Their lines in $results say failed=...; run their groups again once mended." >&2
  exit 1
fi
if ! python3 bench/report.py "$results" docs/benchmarks.md docs/benchmarks.png; then
  echo "run-matrix.sh: docs/benchmarks.md and docs/benchmarks.png were not written (above)" >&2
  exit 1
fi
echo "wrote docs/benchmarks.md and docs/benchmarks.png" >&2
