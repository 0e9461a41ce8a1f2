#!/bin/bash
# Runs a Windows program of the build under Wine, in the build tree's own
# prefix, in the Japanese code page. Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The program's output goes through a file, never straight to our own
# standard output: Wine's background services, started by the first program
# of a prefix, inherit its descriptors and would keep a pipe (CTest's, CI's)
# open long after the program ended.
set -e
export WINEPREFIX="$1"
shift
# QUORVEL_WINE_LOCALE: another locale (another ANSI code page) for a test
# that must hold whatever the system's code page is.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=${QUORVEL_WINE_LOCALE:-ja_JP.UTF-8}
if [ -z "$DISPLAY" ]; then
  echo "wine-run.sh: no DISPLAY; run the tests through scripts/test.sh, which starts Xvfb" >&2
  exit 1
fi
output=$(mktemp)
trap 'rm -f "$output"' EXIT
set +e
wine "$@" >"$output" 2>&1 </dev/null
code=$?
set -e
cat "$output"
exit $code
