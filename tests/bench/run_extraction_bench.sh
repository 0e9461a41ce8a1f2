#!/bin/bash
# Runs extraction_bench.exe under Wine and measures, in the same run and on
# the very same pack files, what native Linux takes to copy their bytes with
# `dd bs=4k` into a file (no fsync, like the worker). Prints the bench's own
# figures, the dd figures and the ratios.
#
# Usage: tests/bench/run_extraction_bench.sh [BUILD_DIR]   (default build/windows-x64)
# Uses $DISPLAY when set, else starts a private Xvfb display; the Wine prefix
# is BUILD_DIR/wineprefix unless WINEPREFIX is set.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build/windows-x64}")
bench="$build/bin/extraction_bench.exe"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
rounds=3

if [ ! -f "$bench" ]; then
  echo "run_extraction_bench.sh: $bench is missing; build the target extraction_bench first" >&2
  exit 1
fi

work=$(mktemp -d "$build/extraction-bench.XXXXXX")
cleanup() {
  rm -rf "$work"
  if [ -n "${QUORVEL_XVFB_PID:-}" ]; then stop_private_display; fi
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  source scripts/display.sh
  start_private_display
fi
cmake/wine-prefix.sh "$WINEPREFIX"

# The bench writes its packs into our folder and leaves them there.
# Wine's output goes to a file: its background services would keep a pipe open.
status=0
cmake/wine-run.sh "$WINEPREFIX" "$bench" "Z:${work//\//\\}" >"$work/bench.log" 2>&1 || status=$?
grep -av "^wine: Read access denied" "$work/bench.log" || true
if [ "$status" -ne 0 ] || [ ! -f "$work/large.pak" ] || [ ! -f "$work/many.pak" ]; then
  echo "run_extraction_bench.sh: extraction_bench failed (exit $status)" >&2
  exit 1
fi

# Seconds of one dd run, from the shell's own clock.
time_dd() {
  local start end
  start=$(date +%s.%N)
  dd "$@" bs=4k status=none
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f\n", e - s }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# Each pack's dd copy carries the bytes that the bench extracted from it,
# and the directory besides; dd's rate counts the whole file.
figure() {
  local pack=$1 times=()
  for _ in $(seq "$rounds"); do
    times+=("$(time_dd if="$work/$pack" of="$work/copy.bin")")
    rm -f "$work/copy.bin"
  done
  printf '%s\n' "${times[@]}" | median
}
many_s=$(figure many.pak)
large_s=$(figure large.pak)
many_bytes=$(stat -c %s "$work/many.pak")
large_bytes=$(stat -c %s "$work/large.pak")
many_mbs=$(awk '/^many_entries_mb_per_s:/ { print $2 }' "$work/bench.log")
large_mbs=$(awk '/^large_entry_mb_per_s:/ { print $2 }' "$work/bench.log")

awk -v mb="$many_bytes" -v ms="$many_s" -v mx="$many_mbs" \
    -v lb="$large_bytes" -v ls="$large_s" -v lx="$large_mbs" 'BEGIN {
  many_dd = mb / ms / 1e6
  large_dd = lb / ls / 1e6
  printf "dd_many_pack_mb_per_s: %.1f (native dd bs=4k of many.pak into a file, median of 3)\n", many_dd
  printf "dd_large_pack_mb_per_s: %.1f (native dd bs=4k of large.pak into a file, median of 3)\n", large_dd
  printf "many_entries_to_dd_ratio: %.2f\n", mx / many_dd
  printf "large_entry_to_dd_ratio: %.2f (goal 0.8 or more)\n", lx / large_dd
}'
