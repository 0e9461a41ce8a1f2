#!/bin/bash
# Runs pack_bench.exe under Wine and measures, in the same run and on the
# very same pack file, what native Linux takes for the bytes of the 256 MiB
# entry: `dd bs=4k` reading it, and `dd bs=4k` copying it into a file (no
# fsync, like ExtractEntry). Prints the bench's own figures, the dd figures
# and the ratios.
#
# Usage: tests/bench/run_pack_bench.sh [BUILD_DIR]   (default build/windows-x64)
# Uses $DISPLAY when set, else starts a private Xvfb display; the Wine prefix
# is BUILD_DIR/wineprefix unless WINEPREFIX is set.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build/windows-x64}")
bench="$build/bin/pack_bench.exe"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
rounds=5

if [ ! -f "$bench" ]; then
  echo "run_pack_bench.sh: $bench is missing; build the target pack_bench first" >&2
  exit 1
fi

work=$(mktemp -d "$build/pack-bench.XXXXXX")
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

# The bench writes its packs into our folder and leaves big.pak there.
# Wine's output goes to a file: its background services would keep a pipe open.
status=0
cmake/wine-run.sh "$WINEPREFIX" "$bench" "Z:${work//\//\\}" >"$work/bench.log" 2>&1 || status=$?
cat "$work/bench.log"
if [ "$status" -ne 0 ] || [ ! -f "$work/big.pak" ]; then
  echo "run_pack_bench.sh: pack_bench failed (exit $status)" >&2
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
