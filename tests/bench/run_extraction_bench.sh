#!/bin/bash
# Runs extraction_bench.exe under Wine and measures, in the same run and on
# the very same pack files, what native Linux takes to copy their bytes with
# `dd bs=4k` into a file (no fsync, like the worker). Prints the bench's own
# figures, the dd figures and the ratios.
#
# Usage: tests/bench/run_extraction_bench.sh [BUILD_DIR]   (default build/windows-x64)
source "$(dirname "$0")/runner.sh" extraction_bench "${1:-}"
rounds=3

grep -av "^wine: Read access denied" "$work/bench.log" || true
if [ "$bench_status" -ne 0 ] || [ ! -f "$work/large.pak" ] || [ ! -f "$work/many.pak" ]; then
  echo "run_extraction_bench.sh: extraction_bench failed (exit $bench_status)" >&2
  exit 1
fi

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
