#!/bin/bash
# Makes the pictures of the README and the user's guide: the main window on
# the demo pack, the item menu, and an extraction in progress, each taken
# under Xvfb from the real program.
source "$(dirname "$0")/common.sh"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)" --target quorvel quorvel_help pakwriter screenshot_driver

# A prefix of the pictures' own, so that the packs they show in C:\Games
# leave the tests' prefix alone.
QUORVEL_WINEPREFIX="$PWD/build/windows-x64/wineprefix-pictures" start_wine_session

# The packs sit in a short folder a user might have, so that no path of this
# machine shows in a title.
games="$WINEPREFIX/drive_c/Games"
work="$PWD/build/windows-x64/screenshots"
rm -rf "$work" "$games" && mkdir -p "$work/markers" "$games/extracted"
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --demo 'C:\Games\demo.pak'
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --generated 'C:\Games\movies.pak' 1 1073741824 movie
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/screenshot_driver.exe "$(winpath "$work/markers")" \
  'C:\Games\demo.pak' 'C:\Games\movies.pak' 'C:\Games\extracted' &
driver=$!

mkdir -p docs
for scene in main menu extracting; do
  for _ in $(seq 1 600); do
    [ -e "$work/markers/$scene.ready" ] && break
    sleep 0.1
  done
  if [ -e "$work/markers/$scene.ready" ]; then
    # The program's window sits at 40,30 on the virtual desktop, 760x520.
    # No time chunks: a picture that did not change keeps its bytes.
    import -window root -crop 770x530+35+25 +repage -define png:exclude-chunks=date,time "docs/$scene.png"
    echo "docs/$scene.png"
  else
    echo "scene $scene never came" >&2
  fi
  touch "$work/markers/$scene.taken"
done
wait "$driver" || true
cp docs/main.png docs/screenshot.png
rm -rf "$work" "$games"
