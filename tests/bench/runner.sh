# Sourced first by the bench runners: runs the bench program NAME of the
# build tree under Wine on a fresh work folder inside that tree, and offers
# the native timing helpers that the runners compare it with.
# Usage: source "$(dirname "$0")/runner.sh" NAME [BUILD_DIR]   (default build/windows-x64)
# Uses $DISPLAY when set, else starts a private Xvfb display; the Wine prefix
# is BUILD_DIR/wineprefix unless WINEPREFIX is set. Afterwards: $work holds
# what the bench wrote and its output, bench.log; $bench_status is its exit code.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
build=$(realpath "${2:-build/windows-x64}")
bench="$build/bin/$1.exe"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"

if [ ! -f "$bench" ]; then
  echo "$(basename "$0"): $bench is missing; build the target $1 first" >&2
  exit 1
fi

work=$(mktemp -d "$build/${1//_/-}.XXXXXX")
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

# The bench writes its packs into the work folder and leaves them there.
# Wine's output goes to a file: its background services would keep a pipe open.
bench_status=0
cmake/wine-run.sh "$WINEPREFIX" "$bench" "Z:${work//\//\\}" >"$work/bench.log" 2>&1 || bench_status=$?

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
