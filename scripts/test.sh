#!/bin/bash
# The test command: installs what is missing, builds everything (the native
# portable code with sanitizers, the 32-bit and 64-bit Windows programs),
# runs the native tests, then the Windows tests under Wine on a private
# Xvfb display that it starts and stops itself.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/display.sh

bash scripts/bootstrap.sh
jobs=$(nproc)

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --preset native

echo "== 32-bit Windows build (compile and link)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j"$jobs" --target quorvel

echo "== 64-bit Windows build"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$jobs"

echo "== Windows tests under Wine"
export WINEPREFIX="$PWD/build/windows-x64/wineprefix"
trap stop_private_display EXIT
start_private_display
cmake/wine-prefix.sh "$WINEPREFIX"
# A persistent server keeps each test program's start short; its output and
# that of the services it starts must not hold our standard output open.
WINEDEBUG=-all wineserver -p >/dev/null 2>&1 </dev/null
# The archives first, so that CTest's summary stays the last line.
echo "== release archives"
bash scripts/package.sh
bash tests/package/package_test.sh dist
ctest --preset windows-x64
