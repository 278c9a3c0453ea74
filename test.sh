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

echo "== install tree and Debian package"
inst="$root/build/install-check"
rm -rf "$inst"
cmake --install "$root/build" --prefix "$inst" > /dev/null
metainfo="share/metainfo/example.fenwold.Tapline.metainfo.xml"
for f in bin/tapline bin/tapline-cli share/man/man1/tapline.1.gz share/man/man1/tapline-cli.1.gz \
         share/doc/tapline/tapline.html share/applications/tapline.desktop "$metainfo" \
         share/icons/hicolor/scalable/apps/tapline.svg; do
  [[ -s "$inst/$f" ]] || { echo "install tree: $f is missing" >&2; exit 1; }
done
appstreamcli validate --no-net "$inst/$metainfo" > /dev/null
desktop-file-validate "$inst/share/applications/tapline.desktop" | { grep -v "hint:" || true; }
grep -q "^StartupNotify=true" "$inst/share/applications/tapline.desktop"
if command -v man > /dev/null; then
  for page in tapline tapline-cli; do
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$inst/share/man/man1/$page.1.gz" 2>&1 > /dev/null)"
    [[ -z "$warnings" ]] || { echo "$page(1): $warnings" >&2; exit 1; }
  done
fi
"$inst/bin/tapline-cli" --help | grep -q -- "-hexonly"
env -u DISPLAY -u WAYLAND_DISPLAY "$inst/bin/tapline" --version | grep -q "^tapline "
rm -f "$root"/build/tapline_*.deb
(cd "$root/build" && cpack -G DEB > /dev/null)
deb="$(ls "$root"/build/tapline_*.deb)"
contents="$(dpkg-deb -c "$deb")"
for f in usr/bin/tapline usr/bin/tapline-cli usr/share/man/man1/tapline.1.gz usr/share/doc/tapline/tapline.html \
         usr/share/metainfo/ usr/share/applications/tapline.desktop usr/share/icons/hicolor/scalable/apps/tapline.svg; do
  grep -q "$f" <<< "$contents" || { echo "$deb: $f is missing" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q "libqt6widgets6"
echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"

echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
"$root/scripts/build.sh" build-asan -DTAPLINE_SANITIZE=ON
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" --timeout 900)

echo "== ThreadSanitizer build of the threaded parts (event loop, lookups, display queue, relay, capture writer)"
"$root/scripts/build.sh" build-tsan -DTAPLINE_TSAN=ON -DTAPLINE_GUI=OFF
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure -j "$jobs" --timeout 900 \
  -R "EventLoop|LookupTest|DisplayQueue|Relay|HostRewrite|PcapngWriter|CaptureFile|CaptureCli")

echo "== fuzz targets, ${FUZZ_SECONDS:-60} s each"
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" FUZZ_PARALLEL="$jobs" "$root/scripts/fuzz.sh"
