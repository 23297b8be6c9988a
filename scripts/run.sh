#!/bin/sh
# Starts the desktop program; without a display, the command-line discovery instead.
build="${1:-build}"
if [ -x "$build/bin/qipfinder" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/bin/qipfinder"
fi
if [ -x "$build/bin/qip-discover" ]; then
  [ -x "$build/bin/qipfinder" ] && echo "No display found: running qip-discover instead of the desktop program." >&2
  exec "$build/bin/qip-discover"
fi
exec "$build/bin/qip-ifaces"
