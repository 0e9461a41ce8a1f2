#!/bin/bash
# Runs pack_bench.exe under Wine and measures, in the same run and on the
# very same pack file, what native Linux takes for the bytes of the 256 MiB
# entry: `dd bs=4k` reading it, and `dd bs=4k` copying it into a file (no
# fsync, like ExtractEntry). Prints the bench's own figures, the dd figures
# and the ratios.
#
# Usage: tests/bench/run_pack_bench.sh [BUILD_DIR]   (default build/windows-x64)
source "$(dirname "$0")/runner.sh" pack_bench "${1:-}"
rounds=5

cat "$work/bench.log"
if [ "$bench_status" -ne 0 ] || [ ! -f "$work/big.pak" ]; then
  echo "run_pack_bench.sh: pack_bench failed (exit $bench_status)" >&2
  exit 1
fi

bytes=$(stat -c %s "$work/big.pak")
read_times=()
copy_times=()
for _ in $(seq "$rounds"); do
  read_times+=("$(time_dd if="$work/big.pak" of=/dev/null)")
  copy_times+=("$(time_dd if="$work/big.pak" of="$work/copy.bin")")
done
rm -f "$work/copy.bin"
read_s=$(printf '%s\n' "${read_times[@]}" | median)
copy_s=$(printf '%s\n' "${copy_times[@]}" | median)
extract_mbs=$(awk '/^extract_mb_per_s:/ { print $2 }' "$work/bench.log")

echo "dd_read_seconds: $read_s (median of ${read_times[*]})"
echo "dd_copy_seconds: $copy_s (median of ${copy_times[*]})"
# Medians on both sides: a copy that starts while the previous 256 MiB are
# still being written back runs at half speed, for dd as for quorvel, and
# only the very first copy of a run escapes that.
awk -v b="$bytes" -v r="$read_s" -v c="$copy_s" -v x="$extract_mbs" 'BEGIN {
  read_mbs = b / r / 1e6
  copy_mbs = b / c / 1e6
  printf "dd_read_mb_per_s: %.1f (native dd bs=4k of=/dev/null)\n", read_mbs
  printf "dd_copy_mb_per_s: %.1f (native dd bs=4k into a file, no fsync)\n", copy_mbs
  printf "extract_to_dd_copy_ratio: %.2f (goal 0.8 or more)\n", x / copy_mbs
  printf "extract_to_dd_read_ratio: %.2f\n", x / read_mbs
}'
