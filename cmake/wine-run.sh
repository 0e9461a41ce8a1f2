#!/bin/bash
# Runs a Windows program of the build under Wine, in the build tree's own
# prefix, in the Japanese code page. Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
set -e
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=ja_JP.UTF-8
if [ -z "$DISPLAY" ]; then
  echo "wine-run.sh: no DISPLAY; run the tests through scripts/test.sh, which starts Xvfb" >&2
  exit 1
fi
exec wine "$@"
