#!/usr/bin/env bash
# What logging costs: 200 MB of random bytes through tapline-cli without a log file, and with an HTML
# log file at detail Medium. Prints MB/s for each (median of three runs) and the log file's size.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
cli="$root/build/cli/tapline-cli"
gen="$root/build/bench/tapline-loadgen"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
megabytes="${MEGABYTES:-200}"

"$gen" server sink > "$work/sink.port" &
sleep 0.3
sink="$(head -1 "$work/sink.port")"

run() {  # run <label> <cli options...>: prints the median MB/s of three runs
  local label="$1"; shift
  local figures=()
  for i in 1 2 3; do
    "$cli" 127.0.0.1 "$sink" 0 "$@" > "$work/out.txt" 2>/dev/null &
    local pid=$!
    for _ in $(seq 100); do grep -q "Waiting for connections" "$work/out.txt" 2>/dev/null && break; sleep 0.05; done
    local port
    port="$(sed -n 's/.*Local Port (\([0-9]*\)) opened.*/\1/p' "$work/out.txt" | head -1)"
    figures+=("$("$gen" bulk "$port" "$megabytes")")
    kill -INT "$pid"; wait "$pid" || true
  done
  local median
  median="$(printf '%s\n' "${figures[@]}" | sort -n | sed -n 2p)"
  printf '%-40s %8s MB/s   (runs: %s)\n' "$label" "$median" "${figures[*]}"
}

echo "tapline-cli, $megabytes MB of random bytes, client to server ($(date -u +%F), $(nproc) cores)"
run "no log file, detail Medium" -detail Medium
run "HTML log file, detail Medium" -detail Medium -file "$work/log.html"
echo "HTML log file: $(( $(stat -c %s "$work/log.html") / megabytes )) bytes per relayed MB"
run "plain log file, detail Medium" -detail Medium -file "$work/log.txt"
