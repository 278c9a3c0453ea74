#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails when any test fails or a sanitizer reports anything.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/setup.sh"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
jobs="$(nproc)"

echo "== normal build"
"$root/scripts/build.sh" build
(cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 600)

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
"$root/scripts/build.sh" build-asan -DTAPLINE_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" --timeout 900)

echo "== ThreadSanitizer build of the threaded parts (event loop, lookups, display queue, relay)"
"$root/scripts/build.sh" build-tsan -DTAPLINE_TSAN=ON -DTAPLINE_GUI=OFF
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$jobs" --timeout 900 \
  -R "EventLoop|LookupTest|DisplayQueue|Relay|HostRewrite")

echo "== fuzz targets, ${FUZZ_SECONDS:-60} s each"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" FUZZ_PARALLEL="$jobs" "$root/scripts/fuzz.sh"
