#!/usr/bin/env bash
# Sets up, builds and runs Tapline: ./run.sh <remote host> <remote port> <local port> [options]
# Opens the window when a display is available; otherwise says so and runs the terminal front end.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
if [[ -x "$root/build/shell/tapline" && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
  exec "$root/build/shell/tapline" "$@"
fi
if [[ -x "$root/build/shell/tapline" ]]; then
  echo "No display available; running the terminal front end instead: build/cli/tapline-cli $*" >&2
fi
exec "$root/build/cli/tapline-cli" "$@"
