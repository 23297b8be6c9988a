#!/bin/bash
# The systemd unit of qip-exporter: `systemd-analyze verify` says nothing about it, and its
# hardening keeps the exposure that `systemd-analyze security` rates at 2.0 or below; a
# usage error stops it rather than restart it for ever; it runs as the package's account. An
# install under another prefix gets a unit for the user's service manager that names the
# program and the options file beneath that prefix, sets no User=, and whose sandbox still
# shows it that program, whether the prefix lies under /tmp or in a home folder.
# Usage: service-unit.sh UNIT BUILDDIR (the unit as configured for the programs just built)
unit=$1 build=$2 failures=0 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cp "$unit" "$dir/qip-exporter.service"
out=$(systemd-analyze verify --man=no "$dir/qip-exporter.service" 2>&1) && [ -z "$out" ] ||
  fail "systemd-analyze verify:"$'\n'"$out"
out=$(systemd-analyze security --offline=yes --threshold=20 "$dir/qip-exporter.service" 2>&1) ||
  fail "exposure above 2.0:"$'\n'"$(tail -1 <<<"$out")"
for key in User=qip-exporter Group=qip-exporter ProtectSystem=strict ProtectHome=yes NoNewPrivileges=yes \
           EnvironmentFile=-/etc/default/qip-exporter RestartPreventExitStatus=2; do
  grep -qx "$key" "$unit" || fail "no $key"
done
grep -q '^DynamicUser=' "$unit" && fail "the package's account is fixed, yet the unit sets DynamicUser="

# Whether the unit's sandbox lets the service see PATH: not under a folder that ProtectHome=
# or PrivateTmp= hide, unless the unit binds a folder above it back in.
sees() {  # UNIT PATH
  local key value bind
  while IFS='=' read -r key value; do
    for bind in $value; do
      bind=${bind#-}
      case "$2/" in "${bind%/}/"*) return 0 ;; esac
    done
  done < <(grep -E '^Bind(ReadOnly)?Paths=' "$1")
  if grep -qE '^ProtectHome=(yes|tmpfs|true)$' "$1"; then
    case "$2" in /home/*|/root/*|/run/user/*) return 1 ;; esac
  fi
  if grep -qE '^PrivateTmp=(yes|true)$' "$1"; then
    case "$2" in /tmp/*|/var/tmp/*) return 1 ;; esac
  fi
  return 0
}
program_of() { sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$1"; }

cmake --install "$build" --prefix "$dir/prefix" >/dev/null || fail "cmake --install --prefix $dir/prefix"
installed=$dir/prefix/lib/systemd/system/qip-exporter.service
grep -qx "ExecStart=$dir/prefix/bin/qip-exporter \$QIP_EXPORTER_OPTIONS" "$installed" &&
  grep -qx "EnvironmentFile=-$dir/prefix/etc/default/qip-exporter" "$installed" &&
  grep -qx "WantedBy=default.target" "$installed" && ! grep -q "^DynamicUser" "$installed" &&
  [ -x "$dir/prefix/bin/qip-exporter" ] && [ -f "$dir/prefix/etc/default/qip-exporter" ] ||
  fail "a prefix install's unit does not name its own paths:"$'\n'"$(grep -E '^(ExecStart|EnvironmentFile)=' "$installed")"
grep -q '^User=' "$installed" && fail "a prefix install's user unit sets $(grep '^User=' "$installed")"
out=$(systemd-analyze verify --man=no "$installed" 2>&1) && [ -z "$out" ] ||
  fail "systemd-analyze verify of the prefix install's unit:"$'\n'"$out"
sees "$installed" "$(program_of "$installed")" ||
  fail "the unit of a prefix under /tmp hides its own program:"$'\n'"$(grep -E '^(ExecStart|Protect|Private|Bind)' "$installed")"
# docs/install.md's prefix, in a home folder (only the unit is read: DESTDIR keeps it here).
home=/home/qip-unit-test/.local
DESTDIR=$dir/root cmake --install "$build" --prefix "$home" >/dev/null || fail "cmake --install --prefix $home"
installed=$dir/root$home/lib/systemd/system/qip-exporter.service
[ "$(program_of "$installed")" = "$home/bin/qip-exporter" ] && sees "$installed" "$home/bin/qip-exporter" &&
  sees "$installed" "$home/etc/default/qip-exporter" && ! sees "$installed" /home/qip-unit-test/.ssh/id_ed25519 ||
  fail "the unit of a prefix in a home folder hides its own program, or shows the rest of the home:"$'\n'"$(grep -E '^(ExecStart|Protect|Private|Bind)' "$installed")"
[ "$failures" = 0 ] && echo "unit verifies clean; $(tail -1 <<<"$out" | sed 's/^→ //')"
exit $((failures > 0))
