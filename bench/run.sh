#!/usr/bin/env bash
# Compares tapline-cli with socat, haproxy (tcp mode) and no relay at all, on loopback, and prints a table.
#
#   bench/run.sh [bulk] [logged] [latency] [churn] [redis] [many] [memory] [deaf] [tls] [flood] [window]
#   (no names: all of them)
#
# Environment: QUICK=1 for fewer runs and smaller sizes; RUNS=N to set the run count (median of N; redis
# takes 3 unless RUNS is given);
# CONNS=N for the concurrent connection count (10000, or what the descriptor limit allows); NO_BUILD=1 to
# use the programs already in build/ as they are; TAPLINE_CLI=path to measure another tapline-cli (an
# earlier build, for a before-and-after in one session); TAPLINE_BEFORE=path adds that build to the flood
# rows, measured in turn with the current one.
# Progress goes to standard error, the table to standard output.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

all_workloads=(bulk logged latency churn redis many memory deaf tls flood window)
if [[ $# -eq 0 ]]; then
  workloads=("${all_workloads[@]}")
else
  workloads=("$@")
  for w in "${workloads[@]}"; do
    [[ " ${all_workloads[*]} " == *" $w "* ]] || { echo "unknown workload '$w'; known: ${all_workloads[*]}" >&2; exit 2; }
  done
fi
wants() { [[ " ${workloads[*]} " == *" $1 "* ]]; }

quick="${QUICK:-0}"
if [[ "$quick" == 1 ]]; then
  runs="${RUNS:-3}"; iperf_seconds=2; logged_mb=100; socat_log_mb=1; pingpongs=20000; churn_seconds=2
  hold_seconds=1; memory_mb=256; burst_seconds=20; tls_mb=200; flood_seconds=4
else
  runs="${RUNS:-5}"; iperf_seconds=3; logged_mb=200; socat_log_mb=1; pingpongs=20000; churn_seconds=5
  hold_seconds=2; memory_mb=1024; burst_seconds=30; tls_mb=500; flood_seconds=10
fi
redis_runs="${RUNS:-3}"
window_mb=50
[[ "$quick" == 1 ]] && window_mb=20
redis_tests=(SET GET LPUSH LRANGE_100)

say() { echo "[$(date +%T)] $*" >&2; }

# --- tools -------------------------------------------------------------------------------------------
"$root/scripts/setup.sh"
missing=()
for p in socat haproxy iperf3 redis-server redis-tools; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  say "installing ${missing[*]}"
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ "${NO_BUILD:-0}" == 1 && -x "$root/build/cli/tapline-cli" && -x "$root/build/bench/tapline-loadgen" ]]; then
  say "using the programs already built"
elif ! "$root/scripts/build.sh" build; then
  # Someone else's files may be mid-edit; the two programs measured here may still build.
  say "full build failed; building tapline-cli and tapline-loadgen only"
  cmake --build "$root/build" --target tapline-cli tapline-loadgen -j "$(nproc)" >/dev/null || exit 1
fi
cli="${TAPLINE_CLI:-$root/build/cli/tapline-cli}"  # TAPLINE_CLI: another build to measure (an earlier one, say)
gen="$root/build/bench/tapline-loadgen"

# Ten thousand relayed connections take twenty thousand descriptors in the relay.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
fd_limit="$(ulimit -n)"
conns="${CONNS:-10000}"
if (( fd_limit < 2 * conns + 64 )); then
  conns=$(( (fd_limit - 64) / 2 / 50 * 50 ))
  say "descriptor limit is $fd_limit (hard limit $(ulimit -Hn)): $conns concurrent connections instead of 10000"
fi
haproxy_maxconn=$(( (fd_limit - 20) / 2 ))
(( haproxy_maxconn > 40000 )) && haproxy_maxconn=40000

work="$(mktemp -d)"
servers=()   # pids of the servers started here
relay_pid=""
relay_group=0
relay_kind=""
cleanup() {
  stop_relay
  for p in "${servers[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${servers[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- servers and relays ------------------------------------------------------------------------------
wait_listening() {  # wait_listening PORT: up to 5 s
  for _ in $(seq 100); do
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0
    sleep 0.05
  done
  return 1
}

start_server() {  # start_server MODE: sets server_port (not in a subshell, so that cleanup knows the pid)
  rm -f "$work/server.$1"  # an earlier server's port must not be read before the new one truncates the file
  "$gen" server "$1" > "$work/server.$1" &
  servers+=($!)
  for _ in $(seq 100); do [[ -s "$work/server.$1" ]] && break; sleep 0.05; done
  server_port="$(head -1 "$work/server.$1")"
}

# start_relay VARIANT TARGET [tapline-cli options...]: sets relay_port and relay_pid (empty for direct).
# Variants: tapline, socat, socat-log (socat -x -v, standard error to $work/socat.log), haproxy, direct.
# in_turn RUN A B: "A B" in odd runs and "B A" in even ones, so that a drift in the machine during a
# workload does not favour whichever relay always goes first.
in_turn() { if (($1 % 2)); then echo "$2 $3"; else echo "$3 $2"; fi; }

start_relay() {
  local variant="$1" target="$2"
  shift 2
  relay_pid=""
  relay_group=0
  relay_kind="$variant"
  case "$variant" in
    tapline | tapline-tls)
      rm -f "$work/tapline.out"  # the last run's lines must not be read before the new run truncates them
      local host=127.0.0.1
      # TLS both ways: the server's certificate is for localhost, which is also the name it is checked for.
      [[ "$variant" == tapline-tls ]] && host=localhost && set -- "$@" -tls-listen -tls-cert "$work/tls/cert.pem" \
        -tls-key "$work/tls/key.pem" -tls -tls-ca "$work/tls/cert.pem"
      "$cli" "$host" "$target" 0 "$@" > "$work/tapline.out" 2> "$work/tapline.err" &
      relay_pid=$!
      for _ in $(seq 200); do grep -q "Waiting for connections" "$work/tapline.out" 2>/dev/null && break; sleep 0.025; done
      relay_port="$(sed -n 's/.*Local Port (\([0-9]*\)) opened.*/\1/p' "$work/tapline.out" | head -1)"
      ;;
    socat | socat-log)
      relay_port="$("$gen" freeport)"
      local flags=()
      [[ "$variant" == socat-log ]] && flags=(-x -v)
      # Its own process group, so that the children it forks for connections end with it.
      setsid socat "${flags[@]}" "TCP-LISTEN:$relay_port,fork,reuseaddr,bind=127.0.0.1,backlog=4096" \
        "TCP:127.0.0.1:$target" 2> "$work/socat.log" &
      relay_pid=$!
      relay_group=1
      wait_listening "$relay_port"
      ;;
    haproxy | haproxy-tls)
      relay_port="$("$gen" freeport)"
      local config="$root/bench/peers/haproxy.cfg"
      [[ "$variant" == haproxy-tls ]] && config="$root/bench/peers/haproxy-tls.cfg"
      sed -e "s/@MAXCONN@/$haproxy_maxconn/g" -e "s/@LISTEN@/$relay_port/" -e "s/@TARGET@/$target/" \
        -e "s|@PEM@|$work/tls/both.pem|" -e "s|@CA@|$work/tls/cert.pem|" "$config" > "$work/haproxy.cfg"
      haproxy -db -f "$work/haproxy.cfg" > "$work/haproxy.out" 2>&1 &
      relay_pid=$!
      wait_listening "$relay_port"
      ;;
    direct)
      relay_port="$target"
      ;;
  esac
  if [[ -z "$relay_port" ]]; then
    say "$variant did not start"
    stop_relay
    return 1
  fi
}

stop_relay() {
  [[ -z "$relay_pid" ]] && return 0
  if (( relay_group )); then
    kill -TERM -- "-$relay_pid" 2>/dev/null
  elif [[ "$relay_kind" == tapline* ]]; then
    kill -INT "$relay_pid" 2>/dev/null  # its documented stop, which lets the log out first
  else
    kill -TERM "$relay_pid" 2>/dev/null  # a script's background jobs ignore SIGINT
  fi
  # Time enough to write out a large log, but never for ever.
  for _ in $(seq 1200); do kill -0 "$relay_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$relay_pid" 2>/dev/null && say "$relay_kind had to be killed"
  wait "$relay_pid" 2>/dev/null
  relay_pid=""
}

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo ""; }

# --- figures -----------------------------------------------------------------------------------------
declare -A figures   # key -> space-separated figures of the runs
declare -A burst_note  # variant -> what a burst that ran out of time had achieved
add() { [[ -n "$2" ]] && figures[$1]="${figures[$1]:-} $2"; say "$1: ${2:-failed}"; }

median() {  # median KEY: prints the median of the figures, or nothing
  local values
  values="$(printf '%s\n' ${figures[$1]:-} | sort -g)"
  [[ -z "$values" ]] && return 0
  awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}' <<< "$values"
}

# --- 1. bulk throughput, iperf3 both directions --------------------------------------------------------
run_bulk() {
  say "bulk: iperf3 ${iperf_seconds}s each way, $runs runs"
  local iport
  iport="$("$gen" freeport)"
  iperf3 -s -B 127.0.0.1 -p "$iport" > "$work/iperf3.server" 2>&1 &
  servers+=($!)
  wait_listening "$iport"
  for ((r = 1; r <= runs; r++)); do
    for v in tapline tapline-pcap tapline-split tapline-json socat haproxy direct; do
      for dir in up down; do
        local opt=()
        [[ "$dir" == down ]] && opt=(-R)
        case "$v" in
          tapline-pcap) start_relay tapline "$iport" -detail Low -pcap "$work/bulk.pcapng" || continue ;;
          tapline-split) start_relay tapline "$iport" -detail Low -split "$work/bulk-split" || continue ;;
          tapline-json) start_relay tapline "$iport" -detail Low -json "$work/bulk.jsonl" || continue ;;
          *) start_relay "$v" "$iport" -detail Low || continue ;;
        esac
        local mbs
        mbs="$(timeout $((iperf_seconds + 20)) iperf3 -c 127.0.0.1 -p "$relay_port" -t "$iperf_seconds" -f M "${opt[@]}" 2>/dev/null |
          awk '/receiver/ {for (i = 1; i <= NF; i++) if ($i == "MBytes/sec") print $(i - 1)}')"
        stop_relay
        rm -rf "$work/bulk.pcapng" "$work/bulk-split" "$work/bulk.jsonl"
        add "bulk_$dir/$v" "$mbs"
        sleep 0.2  # the iperf3 server takes the next test only once it has finished the last
      done
    done
  done
}

# --- the window: its relay rate under a flood, with the Connections tab following the connection or not
run_window() {
  say "window: ${window_mb} MB of text lines through the window, log tab and Connections tab, $runs runs"
  local flood="$root/build/shell/tapline-window-flood"
  [[ -x "$flood" ]] || cmake --build "$root/build" --target tapline-window-flood -j "$(nproc)" >/dev/null || return
  for ((r = 1; r <= runs; r++)); do
    for v in log pane; do
      local arg=()
      [[ "$v" == pane ]] && arg=(pane)
      local out
      out="$(XDG_CONFIG_HOME="$work/window-config" XDG_CONFIG_DIRS="$work/window-system" QT_QPA_PLATFORM=offscreen \
        timeout 300 "$flood" "$window_mb" "${arg[@]}" 2>/dev/null)"
      add "window_$v/tapline" "$(sed -n 's/.*relayed in [0-9.]* s (\([0-9.]*\) MB\/s).*/\1/p' <<< "$out")"
    done
  done
}

# --- 2. bulk throughput with full logging -------------------------------------------------------------
run_logged() {
  say "logged: ${logged_mb} MB through tapline-cli -detail High with .txt and .html logs, ${socat_log_mb} MB through socat -x -v"
  start_server sink
  local sink="$server_port"
  for ((r = 1; r <= runs; r++)); do
    # Whichever goes first writes its hundreds of megabytes into page cache the machine has just taken
    # back (on this VM, memory given back costs about 2 ns a byte to touch again); take turns at that.
    local order="txt html json"
    ((r % 2 == 0)) && order="json html txt"
    for v in $order socat direct; do
      local mbs start end
      case "$v" in
        txt | html | json)
          # The JSON Lines export beside the same terminal output as the logs have.
          if [[ "$v" == json ]]; then
            start_relay tapline "$sink" -detail High -json "$work/log.$v" || continue
          else
            start_relay tapline "$sink" -detail High -file "$work/log.$v" || continue
          fi
          start=$(date +%s.%N)
          mbs="$(timeout 300 "$gen" bulk "$relay_port" "$logged_mb")"
          stop_relay  # returns once the log has been written out
          end=$(date +%s.%N)
          add "logged_$v/tapline" "$mbs"
          [[ -n "$mbs" ]] && add "logged_${v}_drained/tapline" "$(awk -v a="$start" -v b="$end" -v m="$logged_mb" 'BEGIN {printf "%.1f", m / (b - a)}')"
          add "logged_${v}_bytes/tapline" "$(( $(stat -c %s "$work/log.$v") / logged_mb ))"
          add "logged_${v}_stdout/tapline" "$(( $(stat -c %s "$work/tapline.out") / logged_mb ))"
          rm -f "$work/log.$v" "$work/tapline.out"
          ;;
        socat)
          start_relay socat-log "$sink" || continue
          mbs="$(timeout 300 "$gen" bulk "$relay_port" "$socat_log_mb")"
          stop_relay
          add "logged/socat" "$mbs"
          add "logged_bytes/socat" "$(( $(stat -c %s "$work/socat.log") / socat_log_mb ))"
          rm -f "$work/socat.log"
          ;;
        direct)
          add "logged/direct" "$(timeout 300 "$gen" bulk "$sink" "$logged_mb")"
          ;;
      esac
    done
  done
}

# --- 3. small-message latency -------------------------------------------------------------------------
run_latency() {
  say "latency: $pingpongs round trips of 64 bytes, $runs runs"
  start_server echo
  local echo_port="$server_port"
  for ((r = 1; r <= runs; r++)); do
    for v in $(in_turn "$r" tapline haproxy) socat direct; do
      start_relay "$v" "$echo_port" -detail Medium -file "$work/latency.txt" || continue
      local us
      us="$(timeout 120 "$gen" pingpong "$relay_port" "$pingpongs" 64)"
      stop_relay
      rm -f "$work/latency.txt"
      add "latency/$v" "$us"
    done
  done
}

# --- 4. connection churn ------------------------------------------------------------------------------
run_churn() {
  say "churn: ${churn_seconds}s of connect, 100 bytes echoed, close; $runs runs"
  start_server echo-epoll
  local echo_port="$server_port"
  for ((r = 1; r <= runs; r++)); do
    for v in $(in_turn "$r" tapline haproxy) socat direct; do
      start_relay "$v" "$echo_port" -detail Low || continue
      local rate
      rate="$(timeout $((churn_seconds + 60)) "$gen" churn "$relay_port" "$churn_seconds" 2>> "$work/churn.err")"
      stop_relay
      add "churn/$v" "$rate"
      sleep 0.5
    done
  done
}

# --- 5. small requests and answers: redis-benchmark against redis-server -------------------------------
# One redis-server on loopback for the whole workload (no persistence, so nothing is written to disk);
# every run goes through tapline, haproxy and no relay in turn.
start_redis() {  # sets redis_port
  redis_port="$("$gen" freeport)"
  redis-server --bind 127.0.0.1 --port "$redis_port" --save "" --appendonly no --daemonize no \
    --loglevel warning --logfile "$work/redis.log" --dir "$work" &
  servers+=($!)
  wait_listening "$redis_port"
}

# redis_once VARIANT: one redis-benchmark through the running relay; records requests/s of each test.
redis_once() {
  local v="$1" csv
  # Each run starts from an empty store: LPUSH grows its list by 40,000 values a run, and a later run
  # would otherwise pay for the memory the earlier ones left.
  redis-cli -h 127.0.0.1 -p "$redis_port" flushall > /dev/null 2>&1
  csv="$(timeout 120 redis-benchmark -h 127.0.0.1 -p "$relay_port" -n 20000 -c 20 -d 200 \
    -t set,get,lpush,lrange_100 --csv 2> "$work/redis-benchmark.err")"
  # Lines like "SET","41666.67",... and "LRANGE_100 (first 100 elements)","12345.68",...
  for t in "${redis_tests[@]}"; do
    add "redis_$t/$v" "$(awk -F'"' -v t="$t" '$2 == t || index($2, t " (") == 1 {print $4; exit}' <<< "$csv")"
  done
}

run_redis() {
  say "redis: redis-benchmark -n 20000 -c 20 -d 200 -t set,get,lpush,lrange_100; $redis_runs runs"
  start_redis || { say "redis-server did not start"; return; }
  for ((r = 1; r <= redis_runs; r++)); do
    for v in $(in_turn "$r" tapline haproxy) direct; do
      start_relay "$v" "$redis_port" -detail Low || continue
      redis_once "$v"
      stop_relay
      sleep 0.5
    done
  done
}

# --- 6. many connections at once ----------------------------------------------------------------------
wait_bounded() {  # wait_bounded PID SECONDS: waits for PID, killing it past SECONDS; fails if it had to
  local deadline=$((SECONDS + $2))
  while kill -0 "$1" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      kill "$1" 2>/dev/null
      wait "$1" 2>/dev/null
      return 1
    fi
    sleep 0.05
  done
  wait "$1" 2>/dev/null
  return 0
}

listen_overflows() {  # the kernel's count of connections dropped because an accept queue was full
  awk '/^TcpExt:/ { if (!h) { for (i = 1; i <= NF; i++) n[i] = $i; h = 1 }
                    else { for (i = 1; i <= NF; i++) if (n[i] == "ListenOverflows") print $i } }' /proc/net/netstat
}

# many_once VARIANT PREFIX: one `loadgen many` through the running relay, opening the connections four at
# a time (each four echoed before the next are opened); records the exact count, the seconds to open them
# all and the relay's RSS while they are all open.
many_once() {
  local v="$1" prefix="$2"
  "$gen" many "$relay_port" "$conns" "$hold_seconds" 4 > "$work/many.out" 2> "$work/many.err" &
  local client=$!
  for _ in $(seq 2400); do [[ -s "$work/many.out" ]] && break; kill -0 "$client" 2>/dev/null || break; sleep 0.05; done
  [[ -s "$work/many.out" && -n "$relay_pid" ]] && add "${prefix}_rss/$v" "$(rss_kb "$relay_pid")"
  wait_bounded "$client" $((hold_seconds + 60)) || say "many through $v did not end in time"
  add "${prefix}_exact/$v" "$(head -1 "$work/many.out")"
  add "${prefix}_seconds/$v" "$(sed -n 's/.* in \([0-9.]*\) s$/\1/p' "$work/many.err")"
}

# burst_once VARIANT: all the connections opened in one burst, at most $burst_seconds; records the seconds,
# or how many were established when time ran out, and the accept-queue overflows meanwhile.
burst_once() {
  local v="$1" before
  before="$(listen_overflows)"
  "$gen" many "$relay_port" "$conns" 0 > "$work/burst.out" 2> "$work/burst.err" &
  local client=$! start=$SECONDS
  while kill -0 "$client" 2>/dev/null && ((SECONDS - start < burst_seconds)); do sleep 0.1; done
  if kill -0 "$client" 2>/dev/null; then
    burst_note[$v]="$(ss -Htn state established "sport = :$relay_port" 2>/dev/null | wc -l) of $conns accepted after ${burst_seconds}s"
    kill "$client" 2>/dev/null
    wait "$client" 2>/dev/null
  else
    wait "$client" 2>/dev/null
    add "burst_seconds/$v" "$(sed -n 's/.* in \([0-9.]*\) s$/\1/p' "$work/burst.err")"
    add "burst_exact/$v" "$(head -1 "$work/burst.out")"
  fi
  add "burst_overflows/$v" "$(( $(listen_overflows) - before ))"
  say "burst through $v: ${burst_note[$v]:-done}"
}

run_many() {
  say "many: $conns connections open at once, each echoing its message; $runs runs, then one burst each"
  start_server echo-epoll
  local echo_port="$server_port"
  for ((r = 1; r <= runs; r++)); do
    for v in tapline haproxy direct; do
      start_relay "$v" "$echo_port" -detail Low || continue
      sleep 0.3
      [[ -n "$relay_pid" ]] && add "many_idle/$v" "$(rss_kb "$relay_pid")"
      many_once "$v" many
      stop_relay
      sleep 0.5
    done
  done
  for v in tapline haproxy direct; do
    start_relay "$v" "$echo_port" -detail Low || continue
    burst_once "$v"
    stop_relay
    sleep 1
  done
}

# --- 8. memory behind a server that never reads ------------------------------------------------------
# deaf_once VARIANT CONNS: clients push into servers that take nothing, for a few seconds; the relay's peak RSS.
deaf_once() {
  local v="$1" n="$2" peak=0 rss
  "$gen" push "$relay_port" "$n" 8 > "$work/push.out" 2> "$work/push.err" &
  local client=$!
  while kill -0 "$client" 2>/dev/null; do
    rss="$(rss_kb "$relay_pid")"
    [[ -n "$rss" ]] && (( rss > peak )) && peak=$rss
    sleep 0.1
  done
  wait "$client" 2>/dev/null
  add "deaf${n}_peak/$v" "$peak"
}

run_deaf() {
  say "deaf: 1, 100 and 1000 clients pushing for 8 s into servers that never read; peak RSS; $runs runs"
  start_server deaf
  local deaf_port="$server_port"
  for ((r = 1; r <= runs; r++)); do
    for v in $(in_turn "$r" tapline haproxy) socat; do
      for n in 1 100 1000; do
        # socat forks a process for every connection: its one process's RSS says nothing about a thousand.
        [[ "$v" == socat && "$n" == 1000 ]] && continue
        start_relay "$v" "$deaf_port" -detail Low || continue
        deaf_once "$v" "$n"
        stop_relay
      done
    done
  done
}

# --- 7. tapline's memory after load -------------------------------------------------------------------
run_memory() {
  say "memory: tapline-cli RSS idle, after ${memory_mb} MB echoed, after $conns connections; $runs runs"
  start_server echo-epoll
  local echo_port="$server_port"
  for ((r = 1; r <= runs; r++)); do
    start_relay tapline "$echo_port" -detail Medium || continue
    sleep 0.3
    add "memory_idle/tapline" "$(rss_kb "$relay_pid")"
    add "memory_duplex/tapline" "$(timeout 300 "$gen" duplex "$relay_port" "$memory_mb")"
    sleep 1
    add "memory_after_transfer/tapline" "$(rss_kb "$relay_pid")"
    many_once tapline memory
    sleep 1
    add "memory_after_conns/tapline" "$(rss_kb "$relay_pid")"
    stop_relay
  done
}

# --- 9. a flood the log view cannot keep up with ---------------------------------------------------------
# flood_once PROGRAM OUTPUT KEY SINK_PORT: 20 clients push for $flood_seconds s at the default detail, with
# standard output to /dev/null, to a pipe read slowly (64 KB every 50 ms), or to one never read (a
# terminal held with Ctrl+S); adds the relay's peak RSS (kB) and the MB the clients got through.
flood_once() {
  local program="$1" output="$2" key="$3" port peak=0 rss reader=""
  port="$("$gen" freeport)"
  case "$output" in
    null)
      "$program" 127.0.0.1 "$4" "$port" > /dev/null 2> "$work/tapline.err" &
      relay_pid=$!
      ;;
    slow | stalled)
      rm -f "$work/flood.fifo"
      mkfifo "$work/flood.fifo"
      if [[ "$output" == slow ]]; then
        python3 -c 'import sys, time
while sys.stdin.buffer.read(65536): time.sleep(0.05)' < "$work/flood.fifo" &
      else
        sleep 100000 < "$work/flood.fifo" &
      fi
      reader=$!
      "$program" 127.0.0.1 "$4" "$port" > "$work/flood.fifo" 2> "$work/tapline.err" &
      relay_pid=$!
      ;;
  esac
  relay_kind=tapline
  relay_group=0
  if wait_listening "$port"; then
    "$gen" push "$port" 20 "$flood_seconds" > "$work/push.out" 2> "$work/push.err" &
    local client=$!
    while kill -0 "$client" 2>/dev/null; do
      rss="$(rss_kb "$relay_pid")"
      [[ -n "$rss" ]] && (( rss > peak )) && peak=$rss
      sleep 0.1
    done
    wait "$client" 2>/dev/null
    add "flood_${output}_peak/$key" "$peak"
    add "flood_${output}_mb/$key" "$(head -1 "$work/push.out")"
  else
    say "$key did not start"
  fi
  stop_relay
  [[ -n "$reader" ]] && { kill "$reader" 2>/dev/null; wait "$reader" 2>/dev/null; }
}

run_flood() {
  say "flood: 20 clients pushing for ${flood_seconds}s at the default detail; stdout /dev/null, slow, stalled; $runs runs"
  start_server sink
  local sink_port="$server_port"
  local programs=("tapline:$cli")
  [[ -n "${TAPLINE_BEFORE:-}" ]] && programs+=("before:$TAPLINE_BEFORE")
  for ((r = 1; r <= runs; r++)); do
    for output in null slow stalled; do
      local order=("${programs[@]}")
      (( r % 2 == 0 )) && order=($(printf '%s\n' "${programs[@]}" | tac))
      for p in "${order[@]}"; do
        flood_once "${p#*:}" "$output" "${p%%:*}" "$sink_port"
      done
    done
  done
}

# --- 7. bulk through TLS on both sides ---------------------------------------------------------------
run_tls() {
  say "tls: ${tls_mb} MB from a TLS client through the relay (TLS from the client, TLS to the server) to a TLS sink, $runs runs"
  mkdir -p "$work/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
  cat "$work/tls/cert.pem" "$work/tls/key.pem" > "$work/tls/both.pem"
  rm -f "$work/server.tls"
  "$gen" tls-sink "$work/tls/cert.pem" "$work/tls/key.pem" > "$work/server.tls" &
  servers+=($!)
  for _ in $(seq 100); do [[ -s "$work/server.tls" ]] && break; sleep 0.05; done
  local sink
  sink="$(head -1 "$work/server.tls")"
  for ((r = 1; r <= runs; r++)); do
    for v in tapline haproxy direct; do
      local variant="$v-tls"
      [[ "$v" == direct ]] && variant=direct
      start_relay "$variant" "$sink" -detail Low || continue
      add "tls/$v" "$(timeout 300 "$gen" tls-bulk "$relay_port" "$tls_mb" "$work/tls/cert.pem")"
      stop_relay
    done
  done
}

started_at="$(date -u '+%Y-%m-%d %H:%M UTC')"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
for w in "${workloads[@]}"; do "run_$w"; done
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

# --- the table ----------------------------------------------------------------------------------------
rows=()
row() { rows+=("$(printf '%s\t' "$@")"); }
ratio() { [[ -n "$1" && -n "$2" ]] && awk -v a="$1" -v b="$2" 'BEGIN {if (b != 0) printf "%.2f", a / b}'; }
fmt() { [[ -n "$1" ]] && awk -v a="$1" 'BEGIN {if (a >= 100) printf "%.0f", a; else printf "%.1f", a}'; }
mb() { [[ -n "$1" ]] && awk -v a="$1" 'BEGIN {printf "%.1f", a / 1024}'; }
yes_no() { [[ -z "$1" ]] && echo "n/a" || { [[ "$1" == 1 ]] && echo yes || echo NO; }; }
cmp_ge() { [[ -n "$1" && -n "$2" ]] && awk -v a="$1" -v b="$2" 'BEGIN {print (a >= b) ? 1 : 0}'; }

# compare_row LABEL KEY TARGET-TEXT MET [tapline socat haproxy direct overrides]
compare_row() {
  local label="$1" key="$2" target="$3" met="$4"
  local t s h d
  t="$(median "$key/tapline")"; s="$(median "$key/socat")"; h="$(median "$key/haproxy")"; d="$(median "$key/direct")"
  row "$label" "$(fmt "$t")" "$(fmt "$s")" "$(fmt "$h")" "$(fmt "$d")" \
    "$(ratio "$t" "$d")" "$(ratio "$t" "$s")" "$(ratio "$t" "$h")" "$target" "$met"
}

if wants bulk; then
  for dir in up down; do
    label="iperf3 client->server MB/s"
    [[ "$dir" == down ]] && label="iperf3 server->client (-R) MB/s"
    compare_row "$label" "bulk_$dir" ">= haproxy" \
      "$(yes_no "$(cmp_ge "$(median "bulk_$dir/tapline")" "$(median "bulk_$dir/haproxy")")")"
  done
  # The capture file's cost: the same bulk with -pcap, against tapline without it in the same run.
  for dir in up down; do
    label="  client->server with -pcap MB/s"
    [[ "$dir" == down ]] && label="  server->client with -pcap MB/s"
    t="$(median "bulk_$dir/tapline")"; tp="$(median "bulk_$dir/tapline-pcap")"; d="$(median "bulk_$dir/direct")"
    row "$label" "$(fmt "$tp")" "-" "-" "$(fmt "$d")" "$(ratio "$tp" "$d")" "" "" \
      ">= 0.8 x without: $(ratio "$tp" "$t")" "$(yes_no "$(cmp_ge "$(ratio "$tp" "$t")" 0.8)")"
  done
  # -split writes each byte once, as -pcap does: it must be at least as fast.
  for dir in up down; do
    label="  client->server with -split MB/s"
    [[ "$dir" == down ]] && label="  server->client with -split MB/s"
    tp="$(median "bulk_$dir/tapline-pcap")"; ts="$(median "bulk_$dir/tapline-split")"; d="$(median "bulk_$dir/direct")"
    row "$label" "$(fmt "$ts")" "-" "-" "$(fmt "$d")" "$(ratio "$ts" "$d")" "" "" \
      ">= -pcap: $(ratio "$ts" "$tp")" "$(yes_no "$(cmp_ge "$ts" "$tp")")"
  done
  for dir in up down; do
    label="  client->server with -json MB/s"
    [[ "$dir" == down ]] && label="  server->client with -json MB/s"
    t="$(median "bulk_$dir/tapline")"; tj="$(median "bulk_$dir/tapline-json")"; d="$(median "bulk_$dir/direct")"
    row "$label" "$(fmt "$tj")" "-" "-" "$(fmt "$d")" "$(ratio "$tj" "$d")" "" "" \
      "x without: $(ratio "$tj" "$t")" "-"
  done
fi

if wants logged; then
  d="$(median logged/direct)"; s="$(median logged/socat)"
  for v in txt html; do
    t="$(median "logged_$v/tapline")"; td="$(median "logged_${v}_drained/tapline")"
    goal=100; [[ "$v" == html ]] && goal=60
    row "logged .$v, client's MB/s" "$(fmt "$t")" "$(fmt "$s")" "-" "$(fmt "$d")" "$(ratio "$t" "$d")" "$(ratio "$t" "$s")" "-" \
      ">= $goal" "$(yes_no "$(cmp_ge "$t" "$goal")")"
    row "logged .$v, MB/s to log written" "$(fmt "$td")" "-" "-" "-" "$(ratio "$td" "$d")" "$(ratio "$td" "$s")" "-" \
      ">= $goal" "$(yes_no "$(cmp_ge "$td" "$goal")")"
    row "logged .$v, log file bytes/MB" "$(median "logged_${v}_bytes/tapline")" "$(median logged_bytes/socat)" "-" "-" \
      "" "" "" "-" "-"
    row "logged .$v, stdout bytes/MB" "$(median "logged_${v}_stdout/tapline")" "-" "-" "-" "" "" "" "-" "-"
  done
  # -json beside the same terminal output: at least as fast as the .txt log.
  t="$(median logged_txt/tapline)"; tj="$(median logged_json/tapline)"
  row "-json, client's MB/s" "$(fmt "$tj")" "-" "-" "$(fmt "$d")" "$(ratio "$tj" "$d")" "" "" \
    ">= .txt: $(ratio "$tj" "$t")" "$(yes_no "$(cmp_ge "$tj" "$t")")"
  row "-json, file bytes/MB" "$(median logged_json_bytes/tapline)" "-" "-" "-" "" "" "" "-" "-"
fi

if wants window; then
  w="$(median window_log/tapline)"; wp="$(median window_pane/tapline)"
  row "window flood MB/s, log tab" "$(fmt "$w")" "-" "-" "-" "" "" "" "-" "-"
  row "window flood MB/s, Connections tab following" "$(fmt "$wp")" "-" "-" "-" "" "" "" \
    ">= 0.9 x log tab: $(ratio "$wp" "$w")" "$(yes_no "$(cmp_ge "$(ratio "$wp" "$w")" 0.9)")"
fi

if wants latency; then
  compare_row "latency us/round trip" latency "-" "-"
  d="$(median latency/direct)"
  added() { [[ -n "$1" && -n "$d" ]] && awk -v a="$1" -v b="$d" 'BEGIN {printf "%.1f", a - b}'; }
  at="$(added "$(median latency/tapline)")"; as="$(added "$(median latency/socat)")"; ah="$(added "$(median latency/haproxy)")"
  met=""
  [[ -n "$at" && -n "$as" && -n "$ah" ]] && met="$(awk -v t="$at" -v s="$as" -v h="$ah" 'BEGIN {print (t <= s && t <= h) ? 1 : 0}')"
  row "latency us added by the relay" "$at" "$as" "$ah" "0" "" "$(ratio "$at" "$as")" "$(ratio "$at" "$ah")" \
    "<= socat, haproxy" "$(yes_no "$met")"
fi

if wants churn; then
  compare_row "churn connections/s" churn ">= haproxy" \
    "$(yes_no "$(cmp_ge "$(median churn/tapline)" "$(median churn/haproxy)")")"
fi

if wants redis; then
  for t in "${redis_tests[@]}"; do
    compare_row "redis $t requests/s" "redis_$t" ">= haproxy" \
      "$(yes_no "$(cmp_ge "$(median "redis_$t/tapline")" "$(median "redis_$t/haproxy")")")"
  done
fi

if wants many; then
  et="$(median many_exact/tapline)"; eh="$(median many_exact/haproxy)"; ed="$(median many_exact/direct)"
  min_exact() { printf '%s\n' ${figures[$1]:-} | sort -n | head -1; }
  met=""
  [[ -n "$et" && -n "$eh" ]] && met=$(( $(min_exact many_exact/tapline) == conns && $(min_exact many_exact/haproxy) == conns ))
  row "$conns conns, 4 at a time: fewest exact" "$(min_exact many_exact/tapline)" "-" "$(min_exact many_exact/haproxy)" \
    "$(min_exact many_exact/direct)" "" "" "" "all $conns" "$(yes_no "$met")"
  row "$conns conns, 4 at a time: seconds" "$(median many_seconds/tapline)" "-" "$(median many_seconds/haproxy)" \
    "$(median many_seconds/direct)" "$(ratio "$(median many_seconds/tapline)" "$(median many_seconds/direct)")" "" \
    "$(ratio "$(median many_seconds/tapline)" "$(median many_seconds/haproxy)")" "-" "-"
  burst() { [[ -n "${burst_note[$1]:-}" ]] && echo "> $burst_seconds" || median "burst_seconds/$1"; }
  row "$conns conns in one burst: seconds" "$(burst tapline)" "-" "$(burst haproxy)" "$(burst direct)" "" "" "" "-" "-"
  row "  accept-queue overflows in it" "$(median burst_overflows/tapline)" "-" "$(median burst_overflows/haproxy)" \
    "$(median burst_overflows/direct)" "" "" "" "-" "-"
  rt="$(median many_rss/tapline)"; rh="$(median many_rss/haproxy)"
  row "relay RSS idle, MB" "$(mb "$(median many_idle/tapline)")" "-" "$(mb "$(median many_idle/haproxy)")" "-" "" "" \
    "$(ratio "$(median many_idle/tapline)" "$(median many_idle/haproxy)")" "-" "-"
  met=""
  [[ -n "$rt" && -n "$rh" ]] && met="$(awk -v t="$rt" -v h="$rh" 'BEGIN {print (t <= h) ? 1 : 0}')"
  row "relay RSS, $conns open, MB" "$(mb "$rt")" "-" "$(mb "$rh")" "-" "" "" "$(ratio "$rt" "$rh")" "<= haproxy" "$(yes_no "$met")"
fi

if wants memory; then
  idle="$(median memory_idle/tapline)"
  row "tapline RSS idle, MB" "$(mb "$idle")" "-" "-" "-" "" "" "" "-" "-"
  for k in after_transfer after_conns; do
    v="$(median "memory_$k/tapline")"
    label="tapline RSS after ${memory_mb} MB echoed, MB"
    [[ "$k" == after_conns ]] && label="tapline RSS after $conns conns closed, MB"
    met=""
    [[ -n "$v" && -n "$idle" ]] && met="$(awk -v a="$v" -v b="$idle" 'BEGIN {print (a - b <= 10240) ? 1 : 0}')"
    row "$label" "$(mb "$v")" "-" "-" "-" "" "" "" "<= idle + 10" "$(yes_no "$met")"
  done
  row "tapline echo MB/s (each way)" "$(fmt "$(median memory_duplex/tapline)")" "-" "-" "-" "" "" "" "-" "-"
fi

if wants deaf; then
  for n in 1 100 1000; do
    t="$(median "deaf${n}_peak/tapline")"; s="$(median "deaf${n}_peak/socat")"; h="$(median "deaf${n}_peak/haproxy")"
    met=""
    case "$n" in
      # One connection: its backlog (at most the mark, 128 KiB) on top of the idle relay's few MB.
      1) target="bounded"; [[ -n "$t" ]] && met="$(awk -v a="$t" 'BEGIN {print (a <= 8192 + 160) ? 1 : 0}')" ;;
      100) target="<= 2 x haproxy"; [[ -n "$t" && -n "$h" ]] && met="$(awk -v a="$t" -v b="$h" 'BEGIN {print (a <= 2 * b) ? 1 : 0}')" ;;
      # The relay's total mark, 256 MiB, holds the whole process, not just its buffers.
      1000) target="<= 256 MiB"; [[ -n "$t" ]] && met="$(awk -v a="$t" 'BEGIN {print (a <= 262144) ? 1 : 0}')" ;;
    esac
    row "peak RSS behind a deaf server, $n conn, MB" "$(mb "$t")" "$(mb "$s")" "$(mb "$h")" "-" "" "$(ratio "$t" "$s")" \
      "$(ratio "$t" "$h")" "$target" "$(yes_no "$met")"
  done
fi

if wants flood; then
  for output in null slow stalled; do
    case "$output" in
      null) label="stdout /dev/null" ;;
      slow) label="stdout read slowly" ;;
      stalled) label="stdout never read" ;;
    esac
    t="$(median "flood_${output}_peak/tapline")"; b="$(median "flood_${output}_peak/before")"
    met=""
    [[ -n "$t" ]] && met="$(awk -v a="$t" 'BEGIN {print (a <= 65536) ? 1 : 0}')"
    row "flood, 20 clients, $label: peak RSS MB" "$(mb "$t")" "-" "-" "-" "" "" "" \
      "<= 64$([[ -n "$b" ]] && echo "; before $(mb "$b")")" "$(yes_no "$met")"
    t="$(median "flood_${output}_mb/tapline")"; b="$(median "flood_${output}_mb/before")"
    row "  MB the clients got through" "$(fmt "$t")" "-" "-" "-" "" "" "" \
      "relays on$([[ -n "$b" ]] && echo "; before $(fmt "$b")")" "-"
  done
fi

if wants tls; then
  t="$(median tls/tapline)"; h="$(median tls/haproxy)"; d="$(median tls/direct)"
  row "TLS both sides (-tls-listen -tls), ${tls_mb} MB, MB/s" "$(fmt "$t")" "-" "$(fmt "$h")" "$(fmt "$d")" \
    "$(ratio "$t" "$d")" "-" "$(ratio "$t" "$h")" ">= haproxy" "$(yes_no "$(cmp_ge "$t" "$h")")"
fi

echo
echo "Tapline vs socat, haproxy (tcp mode) and no relay on loopback; median of $runs runs$(wants redis && echo " ($redis_runs for redis)")$([[ "$quick" == 1 ]] && echo ", QUICK mode")."
echo "$started_at; $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), Linux $(uname -r);" \
  "load average $load_before before, $load_after after."
echo "socat $(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/\1/p'), haproxy $(haproxy -v 2>/dev/null | sed -n '1s/^HAProxy version \([^ ]*\).*/\1/p')," \
  "iperf3 $(iperf3 -v 2>/dev/null | sed -n '1s/^iperf \([^ ]*\).*/\1/p'), redis $(redis-server --version 2>/dev/null | sed -n 's/.* v=\([^ ]*\).*/\1/p'); tapline-cli $([[ -n "${TAPLINE_CLI:-}" ]] && echo "$cli" || echo "at $(git -C "$root" rev-parse --short HEAD 2>/dev/null)$(git -C "$root" diff --quiet HEAD -- engine platform log cli 2>/dev/null || echo ' with uncommitted changes')")."
echo "Ratios are tapline / the other (throughput and rates: higher is better for tapline; us and MB: lower is)."
echo
{
  printf '%s\t' "workload" "tapline" "socat" "haproxy" "direct" "t/direct" "t/socat" "t/haproxy" "target" "met"
  echo
  for r in "${rows[@]}"; do echo "$r"; done
} | awk -F'\t' '
  { for (i = 1; i <= 10; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  END {
    for (n = 1; n <= NR; n++) {
      line = "|"
      for (i = 1; i <= 10; i++) line = line sprintf(i == 1 ? " %-*s |" : " %*s |", w[i], cell[n, i])
      print line
      if (n == 1) {
        line = "|"
        for (i = 1; i <= 10; i++) { d = ""; for (k = 0; k <= w[i]; k++) d = d "-"; line = line (i == 1 ? ":" d "|" : d ":|") }
        print line
      }
    }
  }'
for v in "${!burst_note[@]}"; do echo "Burst through $v: ${burst_note[$v]}."; done
if wants many; then
  echo "socat is left out of the $conns-connection rows: it forks a process for every connection."
fi
