#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a bounded time on a copy of its
# seed corpus. Fails when a target finds anything; the input that did it is kept under
# build-fuzz/findings/<target>/.
#
#   scripts/fuzz.sh [target...]      all targets when none is named
#
# Environment:
#   FUZZ_SECONDS=60     time per target
#   FUZZ_PARALLEL=1     targets run at the same time
#   FUZZ_KEEP=1         merge what each run found into the seed corpora in tests/fuzz/corpus/ (off by default,
#                       so that the repository's corpora only grow when asked)
#   FUZZ_ARGS="..."     more libFuzzer options, e.g. "-max_len=8192" or "-jobs=2"
#   CXX=clang++         the compiler
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
seconds="${FUZZ_SECONDS:-60}"
parallel="${FUZZ_PARALLEL:-1}"
all_targets=(fuzz_classify fuzz_hexdump fuzz_html_writer fuzz_command_line fuzz_capture)
if [ "$#" -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

cxx="${CXX:-clang++}"
if ! "$cxx" --version 2>/dev/null | grep -q clang; then
  echo "fuzz.sh: the fuzz targets need clang; set CXX to a clang++ (now: $cxx)" >&2
  exit 2
fi
cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" > "$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "fuzz.sh: build failed" >&2
  exit 1
fi

run_one() {
  local target="$1"
  local seeds="$root/tests/fuzz/corpus/$target"
  local work="$build/run/$target"
  local findings="$build/findings/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$findings"
  if [ -d "$seeds" ]; then cp -R "$seeds/." "$work/corpus/"; fi
  local options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/")
  local dict="$root/tests/fuzz/dict/$target.dict"
  if [ -f "$dict" ]; then options+=(-dict="$dict"); fi
  # shellcheck disable=SC2086
  if "$build/$target" "${options[@]}" ${FUZZ_ARGS:-} "$work/corpus" >"$work/log" 2>&1; then
    local stats
    stats="$(grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" "$work/log" |
      sed 's/^stat:://' | tr '\n' ' ')"
    local coverage
    coverage="$(grep -E "^#[0-9]+" "$work/log" | tail -n 1 | grep -o -E "cov: [0-9]+ ft: [0-9]+" || true)"
    echo "$target: ok, $coverage $stats"
    if [ "${FUZZ_KEEP:-0}" = 1 ]; then
      mkdir -p "$seeds"
      "$build/$target" -merge=1 "$seeds" "$work/corpus" >"$work/merge.log" 2>&1
      echo "$target: corpus merged into tests/fuzz/corpus/$target"
    fi
    return 0
  fi
  echo "$target: FAILED; log: $work/log; inputs: $findings/" >&2
  grep -E -A 30 "invariant failed|ERROR: |runtime error" "$work/log" | head -n 60 >&2 || tail -n 40 "$work/log" >&2
  return 1
}

failed=0
pids=()
names=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=("$!")
  names+=("$target")
  if [ "${#pids[@]}" -ge "$parallel" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
exit "$failed"
