#!/bin/bash
# The systemd unit of qip-exporter: `systemd-analyze verify` says nothing about it, and its
# hardening keeps the exposure that `systemd-analyze security` rates at 2.0 or below; a
# usage error stops it rather than restart it for ever. An install under another prefix
# gets a unit for the user's service manager that names the program and the options file
# beneath that prefix.
# Usage: service-unit.sh UNIT BUILDDIR (the unit as configured for the programs just built)
unit=$1 build=$2 failures=0 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cp "$unit" "$dir/qip-exporter.service"
out=$(systemd-analyze verify --man=no "$dir/qip-exporter.service" 2>&1) && [ -z "$out" ] ||
  fail "systemd-analyze verify:"$'\n'"$out"
out=$(systemd-analyze security --offline=yes --threshold=20 "$dir/qip-exporter.service" 2>&1) ||
  fail "exposure above 2.0:"$'\n'"$(tail -1 <<<"$out")"
for key in DynamicUser=yes ProtectSystem=strict NoNewPrivileges=yes EnvironmentFile=-/etc/default/qip-exporter \
           RestartPreventExitStatus=2; do
  grep -qx "$key" "$unit" || fail "no $key"
done

cmake --install "$build" --prefix "$dir/prefix" >/dev/null || fail "cmake --install --prefix $dir/prefix"
installed=$dir/prefix/lib/systemd/system/qip-exporter.service
grep -qx "ExecStart=$dir/prefix/bin/qip-exporter \$QIP_EXPORTER_OPTIONS" "$installed" &&
  grep -qx "EnvironmentFile=-$dir/prefix/etc/default/qip-exporter" "$installed" &&
  grep -qx "WantedBy=default.target" "$installed" && ! grep -q "^DynamicUser" "$installed" &&
  [ -x "$dir/prefix/bin/qip-exporter" ] && [ -f "$dir/prefix/etc/default/qip-exporter" ] ||
  fail "a prefix install's unit does not name its own paths:"$'\n'"$(grep -E '^(ExecStart|EnvironmentFile)=' "$installed")"
[ "$failures" = 0 ] && echo "unit verifies clean; $(tail -1 <<<"$out" | sed 's/^→ //')"
exit $((failures > 0))
