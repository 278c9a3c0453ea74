#!/usr/bin/env bash
# The window under a flood of log text: bench/window_flood.sh [megabytes]   (default 50)
# Runs it twice: with the log tab shown, then with the Connections tab following the connection, and
# prints the second's relay rate against the first's (the goal: at least 0.9).
# Runs tapline's window offscreen with a 2 MB log buffer at detail High and prints the longest gap between
# two turns of the message loop (the goal is under 100 ms) and the cost of the view's insertions and
# first-line removals.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Settings of its own, so that the user's are neither read nor written.
export XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/system" QT_QPA_PLATFORM=offscreen
log_only="$("$root/build/shell/tapline-window-flood" "${1:-50}")"
echo "$log_only"
with_pane="$("$root/build/shell/tapline-window-flood" "${1:-50}" pane)"
echo "$with_pane"
rate() { sed -n 's/.*relayed in [0-9.]* s (\([0-9.]*\) MB\/s).*/\1/p' <<< "$1"; }
awk -v a="$(rate "$log_only")" -v b="$(rate "$with_pane")" \
  'BEGIN { r = b / a; printf "relay rate with the Connections tab against without: %.2f (goal >= 0.90: %s)\n", r, r >= 0.9 ? "met" : "NOT met" }'
