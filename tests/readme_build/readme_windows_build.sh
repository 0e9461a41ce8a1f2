#!/bin/bash
# Builds quorvel.exe the way the README tells a Windows user to, with none of
# our toolchain files, and checks that the program starts where it should.
# Usage: readme_windows_build.sh SOURCE_DIR WORK_DIR WINEPREFIX PROGRAM_RUN_TEST_EXE
#
# The README's "MinGW Makefiles" generator exists only in CMake for Windows;
# its Linux counterpart is "Unix Makefiles" (the same makefiles, for a POSIX
# shell). The compilers are named as on Windows, where they are on the PATH:
# plain gcc and g++, here with the MinGW-w64 prefix. Nothing else is given
# beyond the README's own options but a linker map: the program is stripped,
# and the map is where ProgramEntry's address can be read.
#
# Both targets are built, since 32-bit x86 decorates C names and x86-64 does
# not; the 64-bit program is also started under Wine, by the program-run
# test copied beside it.
set -euo pipefail
source_dir=$1
work=$2
prefix=$3
program_run_test=$4

# ImageBase + AddressOfEntryPoint of the program against ProgramEntry's
# address in the map.
check_entry() {
  local program=$1 map=$2 objdump=$3 headers base entry symbol
  headers=$("$objdump" -p "$program")
  base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
  entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
  symbol=$(awk '$2 ~ /^_?ProgramEntry$/ && $1 ~ /^0x/ { print $1; exit }' "$map")
  if [ -z "$base" ] || [ -z "$entry" ]; then
    echo "FAIL $program: objdump shows no ImageBase or AddressOfEntryPoint" >&2
    return 1
  fi
  if [ -z "$symbol" ]; then
    echo "FAIL $program: ProgramEntry was not linked in (entry point 0x$entry)" >&2
    return 1
  fi
  if (( 0x$base + 0x$entry != symbol )); then
    printf 'FAIL %s: entry point 0x%x, ProgramEntry at 0x%x\n' "$program" $((0x$base + 0x$entry)) $((symbol)) >&2
    return 1
  fi
  printf '%s: entry point is ProgramEntry (0x%x)\n' "$program" $((symbol))
}

rm -rf "$work" && mkdir -p "$work"
for triplet in x86_64-w64-mingw32 i686-w64-mingw32; do
  tree="$work/$triplet"
  cmake -S "$source_dir" -B "$tree" -G "Unix Makefiles" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" \
    -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-Map=$tree/quorvel.map" >"$tree.log" 2>&1 ||
    { cat "$tree.log"; exit 1; }
  cmake --build "$tree" --target quorvel -j2 >>"$tree.log" 2>&1 || { cat "$tree.log"; exit 1; }
  check_entry "$tree/bin/quorvel.exe" "$tree/quorvel.map" "$triplet-objdump"
done

tree="$work/x86_64-w64-mingw32"
cp "$program_run_test" "$tree/bin/"
"$source_dir/cmake/wine-run.sh" "$prefix" "$tree/bin/$(basename "$program_run_test")" \
  --gtest_filter=ProgramRunTest.StartsReadyWithoutAPackAndEndsWithExitCodeZero
