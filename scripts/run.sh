#!/bin/sh
# Starts the desktop program; without a display, the command-line discovery instead.
build="${1:-build}"
if [ -x "$build/bin/qipfinder" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/bin/qipfinder"
fi
if [ -x "$build/bin/qip-discover" ]; then
  [ -x "$build/bin/qipfinder" ] && echo "No display found: running qip-discover instead of the desktop program." >&2
  "$build/bin/qip-discover"
  status=$?
  # 1 is "no device found", already explained on standard error: a result, not a failure
  # of `make run`.
  [ "$status" -eq 1 ] && exit 0
  exit "$status"
fi
exec "$build/bin/qip-ifaces"
