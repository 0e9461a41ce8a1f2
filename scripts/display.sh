# Sourced by the scripts: starts a private Xvfb display (unless one is
# wanted from the caller) and makes sure it and the Wine server stop again.
# Usage: source scripts/display.sh; start_private_display; ...; (trap stops it)

start_private_display() {
  local number
  for number in $(seq 90 140); do
    if [ ! -e "/tmp/.X${number}-lock" ] && [ ! -e "/tmp/.X11-unix/X${number}" ]; then
      Xvfb ":${number}" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      QUORVEL_XVFB_PID=$!
      export DISPLAY=":${number}"
      for _ in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X${number}" ] && return 0
        sleep 0.1
      done
    fi
  done
  echo "could not start Xvfb" >&2
  return 1
}

stop_private_display() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "${QUORVEL_XVFB_PID:-}" ]; then
    kill "$QUORVEL_XVFB_PID" >/dev/null 2>&1 || true
    wait "$QUORVEL_XVFB_PID" 2>/dev/null || true
    QUORVEL_XVFB_PID=
  fi
}
