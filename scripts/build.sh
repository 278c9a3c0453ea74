#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh <folder> [cmake options...]
# Quiet on success but for compiler warnings; the whole log on failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"
shift
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$log" 2>&1 ||
   ! cmake --build "$root/$dir" -j "$(nproc)" >> "$log" 2>&1; then
  cat "$log"
  echo "build of $dir failed" >&2
  exit 1
fi
grep -E "warning:|Warning" "$log" || true
