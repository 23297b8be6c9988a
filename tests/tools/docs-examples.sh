#!/bin/bash
# Runs the examples of README.md and docs/*.md in network namespaces and compares what they
# print with what the documents show. A document marks an example with a comment before its
# indented block:
#   <!-- docs-test: simulator -->   the simulator command the other examples run against
#   <!-- docs-test: output -->      "$ command" lines, each followed by the output it gives
#   <!-- docs-test: output stderr --> the same, with standard error shown among the output
#   <!-- docs-test: script expect=TEXT,TEXT -->   a whole script; it must succeed and print
#                                   every TEXT
# Commands run in a folder where build/ leads to the build and the build's bin folder is
# on PATH, so both "build/bin/qip-discover" and the installed name "qip-discover" work.
# Needs root (namespaces, port 80). Usage: docs-examples.sh SOURCE-DIR BUILD-DIR VERSION
source_dir=$1 build_dir=$2 version=$3
if [ "$(id -u)" != 0 ] || ! command -v ip >/dev/null; then
  [ "${CI:-}" = true ] && { echo "FAIL: the docs examples need root and ip under CI=true"; exit 1; }
  echo "skipped: the docs examples need root and ip (iproute2)"; exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Package names in the documents follow the version.
deb="qipfinder_${version}-1_$(dpkg --print-architecture).deb"
while read -r mention; do
  [ "$mention" = "$deb" ] || fail "documents name $mention, the package is $deb"
done < <(grep -ohE 'qipfinder_[0-9][^ ]*\.deb' "$source_dir"/README.md "$source_dir"/docs/*.md | sort -u)

# Each marked block as a file: <n>.<kind>, its first line "# <file>:<line> <marker args>".
work=$(mktemp -d /tmp/qip-docs-XXXXXX)
mkdir "$work/blocks"
ln -s "$(cd "$build_dir" && pwd)" "$work/build"
for doc in "$source_dir"/README.md "$source_dir"/docs/*.md; do
  awk -v out="$work/blocks" -v doc="${doc#"$source_dir"/}" '
    /^<!-- docs-test: [a-z]+.* -->$/ { n++; line = $0
      sub(/^<!-- docs-test: /, "", line); sub(/ -->$/, "", line)
      kind = line; sub(/ .*/, "", kind); args = substr(line, length(kind) + 1)
      name = doc; gsub("/", "_", name); state = 1
      file = sprintf("%s/%s-%02d.%s", out, name, n, kind)
      print "# " doc ":" NR args > file; next }
    state == 1 && /^$/ { next }
    state >= 1 && /^    / { state = 2; print substr($0, 5) > file; next }
    state == 2 && /^$/ { print "" > file; next }
    { state = 0 }' "$doc"
done
simulators=("$work"/blocks/*.simulator)
[ ${#simulators[@]} = 1 ] && [ -f "${simulators[0]}" ] || fail "want one simulator example, found ${#simulators[@]}"

prefix="qtb-$$-docs"
host="$prefix-h" device="$prefix-d"
cleanup() {
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  for ns in $(ip netns list | awk '{print $1}' | grep "^qtb-$$-"); do ip netns del "$ns"; done
  rm -rf "$work"
}
trap cleanup EXIT
# The namespaces of docs/simulator.md's commands, whose names the documents' output shows.
ip netns add "$host" && ip -n "$host" link set lo up &&
  ip -n "$host" link add br0 type bridge forward_delay 0 &&
  ip -n "$host" addr add 192.0.2.1/24 dev br0 && ip -n "$host" link set br0 up &&
  ip netns add "$device" && ip -n "$device" link set lo up &&
  ip -n "$host" link add vd1 type veth peer name eth0 netns "$device" &&
  ip -n "$host" link set vd1 master br0 up && ip -n "$device" link set eth0 up ||
  { fail "cannot build the namespaces"; exit 1; }
simulator=$(tail -n +2 "${simulators[0]}")
for address in $(grep -oE -- '--address [0-9./]+' <<<"$simulator" | cut -d' ' -f2); do
  ip -n "$device" addr add "$address" dev eth0
done

cd "$work"
ip netns exec "$device" bash -c "$simulator" > sim.out 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready$' sim.out && break; sleep 0.1; done
grep -q '^ready$' sim.out || { fail "simulator of $(head -1 "${simulators[0]}") never ready: $(cat sim.out)"; exit 1; }

export PATH="$work/build/bin:$PATH"
# The examples' own store of known devices, empty at the start; the times it gives vary from
# run to run, so both sides compare with every ISO 8601 time of the second as TIME.
export XDG_STATE_HOME="$work/state"
normalise_times() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}/TIME/g'; }
checked=0
for block in "$work"/blocks/*.output; do
  [ -f "$block" ] || continue
  where=$(head -1 "$block" | cut -c3-)
  commands=$(tail -n +2 "$block" | sed -n 's/^\$ //p')
  expected=$(tail -n +2 "$block" | grep -v '^\$ ' | normalise_times)
  if [[ $where == *" stderr" ]]; then
    actual=$(timeout 60 ip netns exec "$host" bash -c "$commands" 2>&1 | normalise_times); : >"$work/errors"
  else
    actual=$(timeout 60 ip netns exec "$host" bash -c "$commands" 2>"$work/errors" | normalise_times)
  fi
  if [ "$actual" != "$expected" ]; then
    fail "$where: output differs (- shown, + real):"$'\n'"$(diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"$'\n'"$(cat "$work/errors")"
  fi
  checked=$((checked + 1))
done
for block in "$work"/blocks/*.script; do
  [ -f "$block" ] || continue
  where=$(head -1 "$block" | cut -c3- | sed 's/ expect=.*//')
  # Its own namespaces, renamed into this run's, so that a failure cannot leave them behind.
  script=$(tail -n +2 "$block" | sed "s/qdemo-/qtb-$$-s-/g")
  # In an empty folder of its own, as a reader starts it: a script that waits for "ready" in
  # a file it is about to write must not find the line in a file left there by the
  # simulator above or by an earlier script (its background job truncates the file only
  # once it is scheduled, which on a loaded machine can come after the first look).
  folder=$(mktemp -d "$work/script-XXXXXX")
  ln -s "$work/build" "$folder/build"
  actual=$(cd "$folder" && timeout 60 bash -c "$script" 2>"$work/errors") ||
    fail "$where: the script failed: $(cat "$work/errors")"
  IFS=, read -ra wanted <<<"$(head -1 "$block" | sed -n 's/.* expect=//p')"
  for text in "${wanted[@]}"; do
    grep -qF -- "$text" <<<"$actual" || fail "$where: the script's output lacks '$text':"$'\n'"$actual"
  done
  checked=$((checked + 1))
done
[ "$checked" -gt 0 ] || fail "no example found"
[ "$failures" = 0 ] && echo "$checked examples give the output the documents show"
exit $((failures > 0))
