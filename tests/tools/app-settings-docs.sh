#!/bin/bash
# What the documents say about qipfinder's settings, tried on the program: every key of
# docs/app.md's Info.plist table is listed by --help, and the user's file of networks that
# README, docs/app.md and the manual name is the one the program reads.
# Usage: app-settings-docs.sh SOURCEDIR QIPFINDER
if ! unshare -n true 2>/dev/null; then
  echo "SKIP: needs a network namespace of its own (root)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
src=$1 program=$2 failures=0 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help)
for key in $(sed -n 's/^| `\([A-Za-z]*\)` | .*/\1/p' "$src/docs/app.md"); do
  grep -q "$key" <<<"$help" || fail "qipfinder --help does not list the Info.plist key $key"
done

# The file as the documents name it; one bad entry in it must be reported at start.
named=$(cd "$src" && grep -o '~/\.config/qipfinder/[a-z.]*' README.md docs/app.md man/qipfinder.1 | sort -u)
if [ "$(cut -d: -f2 <<<"$named" | sort -u | wc -l)" != 1 ] || [ "$(wc -l <<<"$named")" != 3 ]; then
  fail "the documents name different files or none:"$'\n'"$named"
else
  file=$(head -1 <<<"$named" | cut -d: -f2)
  mkdir -p "$dir/config/qipfinder"
  printf '[General]\nProbeTargets=198.51.100.0/99\n' >"$dir/config/${file#\~/.config/}"
  out=$(XDG_CONFIG_HOME=$dir/config QT_QPA_PLATFORM=offscreen timeout 3 unshare -n "$program" 2>&1)
  grep -q "'198.51.100.0/99' skipped" <<<"$out" || fail "the documents name $file, which qipfinder does not read"
fi
[ "$failures" = 0 ] && echo "the documented settings are the program's"
exit $((failures > 0))
