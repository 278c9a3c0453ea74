#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh <folder> [cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"
shift
cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)" -- --no-print-directory 2>&1 | grep -v -E "^\[ *[0-9]+%\]|^Consolidate|^-- " || true
test "${PIPESTATUS[0]}" -eq 0
