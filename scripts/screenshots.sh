#!/bin/bash
# Makes the pictures of the README and the user's guide: the main window on
# the demo pack, the item menu, and an extraction in progress, each taken
# under Xvfb from the real program.
source "$(dirname "$0")/common.sh"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)" --target quorvel quorvel_help pakwriter screenshot_driver

start_wine_session

work="$PWD/build/windows-x64/screenshots"
rm -rf "$work" && mkdir -p "$work/markers" "$work/out"
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --demo "$(winpath "$work/demo.pak")"
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --generated "$(winpath "$work/big.pak")" 1 1073741824 movie
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/screenshot_driver.exe "$(winpath "$work/markers")" \
  "$(winpath "$work/demo.pak")" "$(winpath "$work/big.pak")" "$(winpath "$work/out")" &
driver=$!

mkdir -p docs
for scene in main menu extracting; do
  for _ in $(seq 1 600); do
    [ -e "$work/markers/$scene.ready" ] && break
    sleep 0.1
  done
  if [ -e "$work/markers/$scene.ready" ]; then
    # The program's window sits at 40,30 on the virtual desktop, 760x520.
    import -window root -crop 770x530+35+25 +repage "docs/$scene.png"
    echo "docs/$scene.png"
  else
    echo "scene $scene never came" >&2
  fi
  touch "$work/markers/$scene.taken"
done
wait "$driver" || true
cp docs/main.png docs/screenshot.png
rm -rf "$work"
