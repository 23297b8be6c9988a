#!/bin/bash
# Every installed program keeps the same command-line conventions: --help on standard output
# with its exit statuses, --version, "--" ending the options, and usage errors (status 2)
# that name the offending argument. Nothing here sends a datagram.
# Usage: cli-conventions.sh BINDIR VERSION
# A program that wrongly starts discovery must not reach the machine's networks: run in a
# network namespace of our own (only loopback, down) wherever one can be made.
if [ -z "${QIP_CLI_ISOLATED:-}" ] && unshare -n true 2>/dev/null; then
  QIP_CLI_ISOLATED=1 exec unshare -n bash "$0" "$@"
fi
bin=$1 version=$2 failures=0
check() {  # description, expected status, expected text on stdout/stderr, command...
  local what=$1 status=$2 text=$3; shift 3
  local out err got
  out=$(timeout 15 "$@" 2>/tmp/cli.$$.err); got=$?; err=$(cat /tmp/cli.$$.err)
  if [ "$got" != "$status" ] || ! grep -qF -- "$text" <<<"$out$err"; then
    echo "FAIL: $what: $* gave status $got (want $status, with '$text')"; echo "  stdout: $out"; echo "  stderr: $err"
    failures=$((failures + 1))
  fi
}
# One parser for all six: the same short and long forms, the same usage error.
for program in qip-discover qip-device-sim qip-live-list qip-ifaces qipfinder qip-exporter; do
  p=$bin/$program
  [ -x "$p" ] || continue
  for help in --help -h; do
    check "$program $help" 0 "Exit status" env -u DISPLAY -u WAYLAND_DISPLAY "$p" $help
  done
  [ -z "$(timeout 15 "$p" --help 2>&1 >/dev/null)" ] || { echo "FAIL: $program --help writes to stderr"; failures=$((failures + 1)); }
  for form in --version -V; do
    check "$program $form" 0 "$program $version" "$p" $form
  done
  check "$program unknown option" 2 "$program: unknown option '--no-such-option'" "$p" --no-such-option
  check "$program unknown letter" 2 "Try '$program --help'." "$p" -Z
  check "$program abbreviation" 2 "did you mean '--version'" "$p" --vers
  check "$program value to a flag" 2 "option '--help' takes no value" "$p" --help=yes
  # A full disk loses the text: a failure with the status the help gives for it.
  written=1; [ "$program" = qip-discover ] && written=4
  for form in --version --help; do
    check "$program $form write error" "$written" "$program: write error" \
      env -u DISPLAY -u WAYLAND_DISPLAY sh -c 'exec "$0" "$1" >/dev/full' "$p" $form
  done
done
check "discover --opt=value" 2 "not '3x'" "$bin/qip-discover" --wait=3x
# The zero network holds no device to probe: an address or a range inside it is refused.
for program in qip-discover qip-exporter; do
  [ -x "$bin/$program" ] || continue
  for target in 0.1.2.3 0.1.0.0/16; do
    check "$program --probe $target" 2 "--probe '$target': the zero network 0.0.0.0/8" \
      "$bin/$program" --probe "$target"
  done
done
# Numbers: strict, range-checked, named in the message.
check "live-list overflow" 2 "10000000000" "$bin/qip-live-list" 10000000000
check "live-list trailing junk" 2 "3abc" "$bin/qip-live-list" 3abc
check "live-list zero" 2 "'0'" "$bin/qip-live-list" 0
check "live-list sign" 2 "+5" "$bin/qip-live-list" +5
check "live-list two operands" 2 "'2'" "$bin/qip-live-list" 1 2
check "live-list -- makes --help an operand" 2 "'--help'" "$bin/qip-live-list" -- --help
check "sim malformed port" 2 "80x" "$bin/qip-device-sim" --port 80x --address 192.0.2.20
check "sim argument after --" 2 "stray" "$bin/qip-device-sim" --address 192.0.2.20 -- stray
check "ifaces operand" 2 "eth0" "$bin/qip-ifaces" eth0
check "ifaces --" 0 "Broadcast" "$bin/qip-ifaces" --
# Output that cannot be written fails (discovery runs, so only in a namespace of our own).
if [ -n "${QIP_CLI_ISOLATED:-}" ]; then
  check "live-list write error" 1 "qip-live-list: write error: No space left on device" \
    sh -c 'exec "$0" 1 >/dev/full' "$bin/qip-live-list"
fi
# `make run` without a display and without devices: the tool's "nothing found" is no failure.
if [ -n "${QIP_CLI_ISOLATED:-}" ]; then
  check "make run's fallback" 0 "no device found" env -u DISPLAY -u WAYLAND_DISPLAY \
    sh "$(dirname "$0")/../../scripts/run.sh" "$bin/.."
fi
check "ifaces write error" 1 "qip-ifaces: write error" sh -c 'exec "$0" >/dev/full' "$bin/qip-ifaces"
rm -f /tmp/cli.$$.err
[ "$failures" = 0 ] && echo "all conventions hold"
exit $((failures > 0))
