#!/bin/sh
# Runs every benchmark program of a build (<build>/bin/*-bench) and prints its table, then
# the whole-process figures (<build>/bin/process-figures: the programs from start to exit,
# a burst and a flood of answers; a few minutes, of which the flood takes one).
# The benchmarks that use the network-namespace test bed need root; without it they say so
# in their row. Diagnostic lines of the code under test go to <build>/bench-stderr.log.
# Extra arguments go to process-figures, e.g. `--only discover,qipfinder --runs 5`.
# Then the store of known devices (STORE_KILLS SIGKILLs, default 1000: about half an hour).
# Last, every program side by side under Prometheus for SOAK_SECONDS (default 60; 0 skips it).
set -u
build="${1:-build}"
[ $# -gt 0 ] && shift
bin="$build/bin"
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
case "$type" in
  Release|RelWithDebInfo) ;;
  *) echo "Note: $build is a ${type:-unknown} build; figures from an optimised build differ." >&2 ;;
esac
log="$build/bench-stderr.log"
: > "$log"
found=0
status=0
for program in "$bin"/*-bench; do
  [ -x "$program" ] || continue
  found=1
  echo "== $(basename "$program") ($type)"
  "$program" --benchmark_format=console 2>>"$log" || status=1
  echo
done
if [ -x "$bin/process-figures" ]; then
  found=1
  echo "== process-figures ($type)"
  "$bin/process-figures" "$@" 2>>"$log" || status=1
fi
if [ -x "$bin/store-figures" ]; then
  echo "== store-figures ($type)"
  "$bin/store-figures" --kills "${STORE_KILLS:-1000}" 2>>"$log" || status=1
fi
if [ -x "$bin/window-store-figure" ]; then
  echo "== window-store-figure ($type)"
  QT_QPA_PLATFORM=offscreen "$bin/window-store-figure" 2>>"$log" || status=1
fi
if [ -x "$bin/soak-figure" ] && [ "${SOAK_SECONDS:-60}" -gt 0 ]; then
  echo "== soak-figure ($type)"
  "$bin/soak-figure" --seconds "${SOAK_SECONDS:-60}" 2>>"$log" || status=1
fi
if [ "$found" -eq 0 ]; then
  echo "No benchmark programs in $bin (is Google Benchmark installed?)" >&2
  exit 1
fi
exit $status
