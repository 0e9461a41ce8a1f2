#!/bin/bash
# The test command: installs what is missing, builds everything (the native
# portable code with sanitizers, the 32-bit and 64-bit Windows programs),
# runs the native tests and, where clang is, the directory fuzzer for a
# minute, then the Windows tests under Wine on a private Xvfb display that it
# starts and stops itself.
source "$(dirname "$0")/common.sh"
jobs=$(nproc)

# C++ as .clang-format lays it out: the desktop program, the CLI, the
# tests and the tools.
echo "== C++ format"
git ls-files -z -- '*.cpp' '*.h' | grep -zE '^(cli|pack|shell|extract|preview|support|tests|tools)/' |
  xargs -0 clang-format --dry-run --Werror

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --preset native

# Bounded: new inputs stay in build/fuzz, the committed corpus as it is.
if command -v clang++ >/dev/null 2>&1; then
  echo "== directory fuzzer"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j"$jobs"
  ctest --preset fuzz
else
  echo "== directory fuzzer: skipped, clang++ is not installed"
fi

echo "== 32-bit Windows build (compile and link)"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j"$jobs" --target quorvel

echo "== 64-bit Windows build"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$jobs"

echo "== Windows tests under Wine"
start_wine_session
# The archives first, so that CTest's summary stays the last line.
echo "== release archives"
bash scripts/package.sh
bash tests/package/package_test.sh dist
ctest --preset windows-x64
