#!/bin/bash
# Installs the Debian package into this machine as a user would, checks that the installed
# programs work from /usr/bin and /usr/share, removes and purges it, and checks that nothing
# is left.
# Needs root; run by CI after `make package`.  Usage: test-package.sh build/qipfinder_*.deb
set -uo pipefail
deb=${1:?usage: test-package.sh PACKAGE.deb}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$(id -u)" = 0 ] || { echo "FAIL: installing a package needs root"; exit 1; }
if dpkg-query -W -f='${Status}' qipfinder 2>/dev/null | grep -q ' installed'; then
  echo "FAIL: qipfinder is installed already; remove it first (dpkg -r qipfinder)"; exit 1
fi
if getent passwd qip-exporter >/dev/null || getent group qip-exporter >/dev/null; then
  echo "FAIL: the account qip-exporter exists already; remove it first (userdel qip-exporter)"; exit 1
fi

echo "== lintian"
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$deb" || fail "lintian reports errors"

# What the package holds, and which of its folders the machine has without it.
mapfile -t paths < <(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | sed 's|/$||' | grep -v '^$')
existing_dirs=()
for path in "${paths[@]}"; do [ -d "$path" ] && existing_dirs+=("$path"); done

echo "== dpkg -i"
dpkg -i "$deb" || { echo "FAIL: dpkg -i"; exit 1; }
trap 'dpkg -P qipfinder >/dev/null 2>&1' EXIT

version=$(dpkg-deb -f "$deb" Version); version=${version%-*}
[ "$(/usr/bin/qip-discover --version)" = "qip-discover $version" ] || fail "/usr/bin/qip-discover --version"
for program in qipfinder qip-discover qip-device-sim qip-live-list qip-ifaces qip-exporter; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program missing"
  page=$(man -w "$program" 2>&1) && [ "$page" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program gave '$page'"
done
# qip-exporter's service: installed, not enabled, its options file a conffile, the unit clean.
unit=/usr/lib/systemd/system/qip-exporter.service
[ -f "$unit" ] || fail "$unit missing"
out=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify $unit: $out"
[ -z "$(find /etc/systemd/system -name qip-exporter.service 2>/dev/null)" ] || fail "qip-exporter.service is enabled"
dpkg-query -W -f='${Conffiles}\n' qipfinder | grep -q '^ /etc/default/qip-exporter ' ||
  fail "/etc/default/qip-exporter is no conffile"
grep -q '^QIP_EXPORTER_OPTIONS=' /etc/default/qip-exporter || fail "/etc/default/qip-exporter sets no options"
# The service's own system account, which the unit names and the shared port's owners are
# believed under: a system uid, its own group, no login.
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd qip-exporter)
if [ -z "${uid:-}" ]; then
  fail "installing made no user qip-exporter"
else
  [ "$uid" -lt 1000 ] && [ "$uid" -gt 0 ] || fail "qip-exporter's uid $uid is no system uid"
  [ "$(getent group qip-exporter | cut -d: -f3)" = "$gid" ] || fail "qip-exporter's group is not its own (gid $gid)"
  case "$shell" in */nologin|/bin/false) ;; *) fail "qip-exporter can log in (shell $shell)" ;; esac
  [ ! -e "$home" ] || fail "qip-exporter has a home, $home"
fi
grep -qx 'User=qip-exporter' "$unit" && grep -qx 'Group=qip-exporter' "$unit" && ! grep -q '^DynamicUser=' "$unit" ||
  fail "$unit does not run as qip-exporter"
[ -f /usr/share/doc/qipfinder/monitoring.md ] || fail "monitoring.md missing"
# The rule files that monitoring.md names, as Prometheus reads them, and no link of the
# installed document to a file that is not installed.
for rules in qip-alerts.yml qip-recording.yml; do
  out=$(promtool check rules "/usr/share/qipfinder/prometheus/$rules" 2>&1) ||
    fail "promtool check rules /usr/share/qipfinder/prometheus/$rules: $out"
done
grep -oE '\]\([^)#][^)]*\)' /usr/share/doc/qipfinder/monitoring.md | grep -v '](https\?://' | while read -r link; do
  echo "FAIL: installed monitoring.md links to $link, which is not installed"
done | grep . && fail "monitoring.md links to files outside the package"
[ "$(/usr/bin/qip-exporter --version)" = "qip-exporter $version" ] || fail "/usr/bin/qip-exporter --version"
# The menu entry is the validated file of the source tree (validated by the suite once).
cmp -s /usr/share/applications/qipfinder.desktop "$(dirname "$0")/../app/qipfinder.desktop" ||
  fail "installed desktop file differs from app/qipfinder.desktop"
# qipfinder looks for its bundle in share/qipfinder beside the folder of its executable.
bundle=$(dirname "$(readlink -f /usr/bin/qipfinder)")/../share/qipfinder
[ -f "$bundle/Info.plist" ] && [ -f "$bundle/qipfinder_en.qm" ] || fail "no Info.plist and translations in $bundle"
# Started for real, without a network (so nothing is sent) and without a display, it must
# not complain about its bundle.
if unshare -n true 2>/dev/null; then
  complaints=$(QT_QPA_PLATFORM=offscreen timeout 3 unshare -n /usr/bin/qipfinder 2>&1 >/dev/null |
               grep -E 'Info.plist|No translations|Cannot read')
  [ -z "$complaints" ] || fail "qipfinder from /usr/bin: $complaints"
fi
bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion qip-discover &&
         complete -p qip-discover' >/dev/null 2>&1 || fail "bash does not find qip-discover's completion"
[ -f /usr/share/doc/qipfinder/copyright ] && [ -f /usr/share/doc/qipfinder/changelog.Debian.gz ] ||
  fail "copyright or changelog missing"
# A new version needs its changelog entry (packaging/changelog).
newest=$(zcat /usr/share/doc/qipfinder/changelog.Debian.gz | head -1 | sed -E 's/^[^(]*\(([^)]*)\).*/\1/')
[ "$newest" = "$(dpkg-deb -f "$deb" Version)" ] || fail "changelog's newest entry is $newest, the package $(dpkg-deb -f "$deb" Version)"

# Enabled as docs/monitoring.md says (systemctl makes the link without a running systemd):
# purging must leave no link to a unit that is gone.
systemctl enable qip-exporter.service 2>/dev/null || fail "systemctl enable qip-exporter.service"
[ -L /etc/systemd/system/multi-user.target.wants/qip-exporter.service ] || fail "enabling made no link"

echo "== dpkg -r, then dpkg -P"
trap - EXIT
dpkg -r qipfinder || fail "dpkg -r"
dpkg-query -W -f='${Status}\n' qipfinder 2>/dev/null | grep -q ' installed$' && fail "still installed"
# Removal keeps the conffile, as Debian does for edited configuration; purging ends it.
[ -f /etc/default/qip-exporter ] || fail "dpkg -r removed the conffile /etc/default/qip-exporter"
getent passwd qip-exporter >/dev/null || fail "dpkg -r removed the user qip-exporter (purging does)"
dpkg -P qipfinder || fail "dpkg -P"
getent passwd qip-exporter >/dev/null && fail "purge left the user qip-exporter"
getent group qip-exporter >/dev/null && fail "purge left the group qip-exporter"
left=$(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
       -name 'qip-exporter*' 2>/dev/null)
[ -z "$left" ] || fail "purge left the unit's links: $left"
for path in "${paths[@]}"; do
  [ -e "$path" ] || continue
  printf '%s\n' "${existing_dirs[@]}" | grep -qxF -- "$path" || fail "left behind: $path"
done
[ "$failures" = 0 ] && echo "package installs, works from /usr and removes cleanly (${#paths[@]} paths checked)"
exit $((failures > 0))
