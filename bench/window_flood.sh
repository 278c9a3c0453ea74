#!/usr/bin/env bash
# The window under a flood of log text: bench/window_flood.sh [megabytes]   (default 50)
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
"$root/build/shell/tapline-window-flood" "${1:-50}"
