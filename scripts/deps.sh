#!/bin/sh
# Installs the Debian packages of scripts/debian-packages.txt that are missing.
# Without root it prints the one apt-get command to run and fails.
set -eu
list="$(dirname "$0")/debian-packages.txt"
missing=""
for pkg in $(awk '!/^#/ && NF { print $1 }' "$list"); do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing build dependencies. Run as root:" >&2
  echo "  apt-get update && apt-get install -y$missing" >&2
  exit 1
fi
echo "Installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
