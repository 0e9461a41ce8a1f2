#!/bin/bash
# Prints quorvel's performance figures, each with the baseline it is
# compared against, measured in the same run under Wine on a private Xvfb.
source "$(dirname "$0")/common.sh"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)"

start_wine_session
bin="$PWD/build/windows-x64/bin"  # runners take the build tree

echo "== start-up"
cmake/wine-run.sh "$WINEPREFIX" "$bin/startup_bench.exe"
for runner in tests/bench/run_*.sh; do
  [ -e "$runner" ] || continue
  echo "== $(basename "$runner" .sh)"
  bash "$runner" "$PWD/build/windows-x64"
done
