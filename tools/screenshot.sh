#!/usr/bin/env bash
# Takes a picture of the tapline window while it relays: tools/screenshot.sh [out.png]  (default
# ${TMPDIR:-/tmp}/tapline-screenshot.png)
# Starts a local web server as the remote host, runs tapline under Xvfb with -auto, sends two requests
# through the relay with curl, and has the window save a picture of itself (TAPLINE_SCREENSHOT).
# Environment: TAPLINE_BIN (default build/shell/tapline), DELAY (milliseconds before the picture, 4000),
# POINTS (the font size in points, e.g. 10 or 11; the platform's own when unset), ABOUT (a second file
# for a picture of the About box), FIND=1 (with the find bar open), CONNECTIONS=1 (five connections, the
# Connections tab shown with one selected), WIDTH and HEIGHT (the window's size; the design's when unset).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-${TMPDIR:-/tmp}/tapline-screenshot.png}")"
bin="${TAPLINE_BIN:-$root/build/shell/tapline}"
delay="${DELAY:-4000}"
[[ -x "$bin" ]] || { echo "no $bin; build first (scripts/build.sh build)" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work="$(mktemp -d)"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The remote host: a small site on loopback.
mkdir -p "$work/site"
printf '<html><head><title>Tapline test page</title></head>\n<body><h1>Hello through Tapline</h1></body></html>\n' \
  > "$work/site/index.html"
web_port="$(free_port)"
python3 -m http.server "$web_port" --bind 127.0.0.1 --directory "$work/site" > "$work/http.log" 2>&1 &
pids+=($!)
local_port="$(free_port)"

# The window, with settings of its own so that the user's are neither read nor written.
mkdir -p "$work/config"
if [[ -n "${WIDTH:-}" && -n "${HEIGHT:-}" ]]; then
  # A window of another size than the design's, as a user would have it.
  mkdir -p "$work/config/Fenwold"
  printf '[General]\nWidth=%s\nHeight=%s\n' "$WIDTH" "$HEIGHT" > "$work/config/Fenwold/Tapline.conf"
fi
XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/system" \
  TAPLINE_SCREENSHOT="$out" TAPLINE_SCREENSHOT_DELAY="$delay" \
  TAPLINE_SCREENSHOT_FIND="${FIND:-}" TAPLINE_SCREENSHOT_CONNECTIONS="${CONNECTIONS:-}" TAPLINE_SCREENSHOT_POINTS="${POINTS:-}" TAPLINE_SCREENSHOT_ABOUT="${ABOUT:+$(realpath -m "$ABOUT")}" \
  xvfb-run -a -s "-screen 0 1024x768x24" "$bin" 127.0.0.1 "$web_port" "$local_port" -auto -detail High \
  > "$work/tapline.log" 2>&1 &
tapline=$!
pids+=("$tapline")

# Two requests through the relay once it listens.
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$local_port") 2>/dev/null && break
  sleep 0.05
done
curl -s -o /dev/null "http://127.0.0.1:$local_port/" || true
curl -s -o /dev/null "http://127.0.0.1:$local_port/index.html" || true
if [[ -n "${CONNECTIONS:-}" ]]; then
  # Three more, one of them with a UTF-8 path and one that asks for nothing there is.
  curl -s -o /dev/null "http://127.0.0.1:$local_port/caf%C3%A9.html" || true
  curl -s -o /dev/null -H 'X-Note: hÃ©llo' "http://127.0.0.1:$local_port/index.html?q=1" || true
  curl -s -o /dev/null -X HEAD "http://127.0.0.1:$local_port/" || true
fi

wait "$tapline" || true
if [[ ! -s "$out" ]]; then
  echo "no picture was saved; tapline said:" >&2
  cat "$work/tapline.log" >&2
  exit 1
fi
echo "$out"
