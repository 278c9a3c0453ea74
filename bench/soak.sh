#!/usr/bin/env bash
# The long soak: 100,000 connections churned through tapline-cli (connect, 100 bytes echoed, close),
# then the relay's descriptor count and resident memory must be back at their idle figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
cli="$root/build/cli/tapline-cli"
gen="$root/build/bench/tapline-loadgen"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
target="${CONNECTIONS:-100000}"

"$gen" server echo > "$work/echo.port" &
sleep 0.3
"$cli" 127.0.0.1 "$(head -1 "$work/echo.port")" 0 -detail Low > "$work/log.txt" 2>/dev/null &
pid=$!
for _ in $(seq 100); do grep -q "Waiting for connections" "$work/log.txt" && break; sleep 0.05; done
port="$(sed -n 's/.*Local Port (\([0-9]*\)) opened.*/\1/p' "$work/log.txt" | head -1)"
rss() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }
fds() { ls "/proc/$pid/fd" | wc -l; }
idle_rss="$(rss)"; idle_fds="$(fds)"

done_count=0
while (( done_count < target )); do
  rate="$("$gen" churn "$port" 5)"
  done_count=$(( done_count + rate * 5 ))
done
sleep 1
after_rss="$(rss)"; after_fds="$(fds)"
connected="$(grep -c "Client connected" "$work/log.txt")"
kill -INT "$pid"; wait "$pid" || true
echo "connections churned: $connected (connect, 100 bytes echoed, close)"
echo "descriptors: idle $idle_fds, after $after_fds"
echo "resident memory: idle ${idle_rss} kB, after ${after_rss} kB"
if (( after_fds > idle_fds )); then echo "descriptors left behind" >&2; exit 1; fi
if (( after_rss > idle_rss + 10240 )); then echo "memory not back within 10 MB of idle" >&2; exit 1; fi
