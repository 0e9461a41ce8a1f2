#!/bin/bash
# Prints quorvel's performance figures, each with the baseline it is
# compared against, measured in the same run under Wine on a private Xvfb;
# then quorvel-cli's and its mount's, natively, from the optimised Linux tree.
source "$(dirname "$0")/common.sh"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)"

start_wine_session
bin="$PWD/build/windows-x64/bin"  # runners take the build tree

echo "== start-up"
cmake/wine-run.sh "$WINEPREFIX" "$bin/startup_bench.exe"
for runner in tests/bench/run_*.sh; do
  [ -e "$runner" ] || continue
  case "$runner" in tests/bench/run_cli_bench.sh) continue ;; esac  # native, below
  echo "== $(basename "$runner" .sh)"
  bash "$runner" "$PWD/build/windows-x64"
done

echo "== run_cli_bench (native Linux)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target quorvel-cli pakwriter -j"$(nproc)"
bash tests/bench/run_cli_bench.sh "$PWD/build/linux-release"
echo "== cli_update_bench (native Linux)"
bash tests/bench/cli_update_bench.sh "$PWD/build/linux-release"
echo "== cli_patch_bench (native Linux)"
bash tests/bench/cli_patch_bench.sh "$PWD/build/linux-release"

echo "== mount_bench (native Linux, FUSE)"
bash tests/bench/mount_bench.sh "$PWD/build/linux-release"
