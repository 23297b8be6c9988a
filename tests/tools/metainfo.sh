#!/bin/bash
# The AppStream metadata: it validates as software centres check it (network checks
# included: it may name nothing that needs fetching), provides every program that has a
# manual page, and has the desktop file's categories.
# Usage: metainfo.sh SOURCE-DIR APPSTREAMCLI
source_dir=$1 appstreamcli=$2 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
metainfo=$source_dir/packaging/org.example.qipfinder.metainfo.xml
timeout 60 "$appstreamcli" validate "$metainfo" || fail "appstreamcli validate $metainfo"

provided=$(grep -o '<binary>[^<]*</binary>' "$metainfo" | sed 's/<[^>]*>//g' | sort)
programs=$(cd "$source_dir/man" && ls ./*.1 | sed 's|^\./||; s|\.1$||' | sort)
[ "$provided" = "$programs" ] || fail "provided binaries differ from the programs:"$'\n'"$(diff <(echo "$provided") <(echo "$programs"))"

categories=$(grep -o '<category>[^<]*</category>' "$metainfo" | sed 's/<[^>]*>//g' | sort)
desktop=$(sed -n 's/^Categories=//p' "$source_dir/app/qipfinder.desktop" | tr ';' '\n' | grep -v '^$' | sort)
[ "$categories" = "$desktop" ] || fail "categories differ from the desktop file's:"$'\n'"$(diff <(echo "$categories") <(echo "$desktop"))"
[ "$failures" = 0 ] && echo "metadata validates; provides: "$provided"; categories: "$categories
exit $((failures > 0))
