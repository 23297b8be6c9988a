#!/bin/sh
# make demo: the whole flow without hardware. Builds a private network of network namespaces
# (a host with a bridge on 192.0.2.1/24 and two devices, 192.0.2.21 and 192.0.2.22, each
# running qip-device-sim), then starts the desktop program in the host namespace. With a
# display you choose a device yourself; without one it runs under Xvfb and saves a screenshot
# of the chooser. Everything it made is removed when it ends. Needs root.
set -eu
build="${1:-build}"
bin="$build/bin"
if [ "$(id -u)" -ne 0 ]; then
  echo "make demo needs root: it makes network namespaces." >&2
  exit 1
fi
for program in qipfinder qip-device-sim; do
  if [ ! -x "$bin/$program" ]; then
    echo "$bin/$program is missing: build first (make build)." >&2
    exit 1
  fi
done

prefix="qipdemo-$$"
host="$prefix-h"
work="$(mktemp -d /tmp/qipdemo-XXXXXX)"
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  for ns in "$host" "$prefix-d1" "$prefix-d2"; do ip netns del "$ns" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$host"
ip -n "$host" link set lo up
ip -n "$host" link add br0 type bridge
ip -n "$host" addr add 192.0.2.1/24 dev br0
ip -n "$host" link set br0 up

start_device() {  # number, SSID
  ns="$prefix-d$1"
  ip netns add "$ns"
  ip -n "$ns" link set lo up
  ip -n "$host" link add "veth$1" type veth peer name eth0 netns "$ns"
  ip -n "$host" link set "veth$1" master br0 up
  ip -n "$ns" addr add "192.0.2.2$1/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip netns exec "$ns" "$bin/qip-device-sim" --type QipFinder --id "demo-$1" \
    --address "192.0.2.2$1" --ssid "$2" >"$work/device$1.log" 2>&1 &
  pids="$pids $!"
  tries=0
  until grep -qs '^ready$' "$work/device$1.log"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
      echo "Simulated device $1 did not start:" >&2
      cat "$work/device$1.log" >&2
      exit 1
    fi
    sleep 0.1
  done
}
start_device 1 "Office"
start_device 2 "Workshop"
echo "Two simulated devices answer: demo-1 at 192.0.2.21, demo-2 at 192.0.2.22."

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting QipFinder: it lists both devices after about two seconds (QipTimeout in its Info.plist); choose one."
  ip netns exec "$host" "$bin/qipfinder" &
  pids="$pids $!"
  wait "$!" || true
  exit 0
fi

if ! command -v Xvfb >/dev/null 2>&1; then
  echo "No display and no Xvfb: install xvfb to run the demo without a display." >&2
  exit 1
fi
ip netns exec "$host" Xvfb -displayfd 1 -screen 0 800x450x24 -nolisten tcp >"$work/display" 2>"$work/xvfb.log" &
pids="$pids $!"
tries=0
until [ -s "$work/display" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
  fi
  sleep 0.1
done
display=":$(head -n 1 "$work/display")"
echo "No display: running QipFinder under Xvfb ($display)."
ip netns exec "$host" env DISPLAY="$display" "$bin/qipfinder" >"$work/qipfinder.log" 2>&1 &
pids="$pids $!"
# The first look at the devices comes after QipTimeout, 2 s in the shipped Info.plist;
# reading the two status pages takes a little more. The wait leaves a loaded machine room.
sleep 8
shot="$build/demo-chooser.png"
if [ -x "$bin/qip-screen-grab" ] && ip netns exec "$host" env DISPLAY="$display" "$bin/qip-screen-grab" "$shot" 2>/dev/null; then
  echo "Screenshot of the window: $shot"
else
  echo "No screenshot taken (qip-screen-grab is built with the tests)." >&2
fi
