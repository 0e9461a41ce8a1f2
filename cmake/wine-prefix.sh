#!/bin/bash
# Makes the build tree's Wine prefix once: a virtual desktop (without one,
# hiding a window under bare Xvfb stalls Wine's UI thread for 2 s) and no
# serial ports (a fresh prefix maps COM1 to the machine's real device).
# Wine draws the caption buttons as the letters 0, 1 and r of its Marlett
# font. Debian's Wine 8 looks for its own fonts in "<data dir>\../fonts", a
# path its file layer cannot open, so nothing of /usr/share/wine/fonts is
# loaded and those letters come out in a fallback font; fonts in the
# prefix's own Fonts folder are loaded at start-up.
set -e
export WINEPREFIX="$1"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=ja_JP.UTF-8
if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
  wineboot -i >/dev/null 2>&1 </dev/null || true
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -f "$WINEPREFIX"/dosdevices/com* 2>/dev/null || true
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null ||
    echo "wine-prefix: no marlett.ttf (package fonts-wine): caption buttons show letters" >&2
  touch "$WINEPREFIX/.quorvel-ready"
fi
