# Sourced first by the scripts of this folder: strict mode, the repository's
# root as the working folder, everything quorvel needs installed, and the
# display helpers. Usage: source "$(dirname "$0")/common.sh"
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/display.sh
bash scripts/bootstrap.sh

# Wine in the 64-bit build tree's own prefix (made once; QUORVEL_WINEPREFIX
# names another), on a private Xvfb
# display, or on $DISPLAY when there is one and --caller-display is given;
# the server persists, so each program starts quickly, and it and the
# display are stopped when the script exits.
start_wine_session() {
  export WINEPREFIX="${QUORVEL_WINEPREFIX:-$PWD/build/windows-x64/wineprefix}"
  trap stop_private_display EXIT
  if [ "${1:-}" != "--caller-display" ] || [ -z "${DISPLAY:-}" ]; then
    start_private_display
  fi
  cmake/wine-prefix.sh "$WINEPREFIX"
  # Its output, and that of the services it starts, must not hold our
  # standard output open.
  WINEDEBUG=-all wineserver -p >/dev/null 2>&1 </dev/null
}
