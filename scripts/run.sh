#!/bin/bash
# The run command: installs what is missing, builds quorvel, writes the
# demo pack with quorvel's own pack writer and starts quorvel on it under
# Wine, on $DISPLAY, or on a private Xvfb display when there is none.
source "$(dirname "$0")/common.sh"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)" --target quorvel quorvel_help pakwriter

start_wine_session --caller-display
if [ -n "${QUORVEL_XVFB_PID:-}" ]; then
  echo "no DISPLAY: quorvel runs on the private display $DISPLAY (screenshot: DISPLAY=$DISPLAY import -window root shot.png)"
fi
demo="$PWD/build/windows-x64/demo.pak"
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --demo "Z:${demo//\//\\}"
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/quorvel.exe "Z:${demo//\//\\}"
