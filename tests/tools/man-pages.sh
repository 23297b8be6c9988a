#!/bin/bash
# One manual page: it renders, lints clean, and lists exactly the options of the program's
# --help, so that neither can change without the other.
# Usage: man-pages.sh PAGE PROGRAM
page=$1 program=$2 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
export LC_ALL=C.UTF-8 MANWIDTH=80

lint=$(mandoc -T lint "$page" 2>&1; groff -man -ww -z "$page" 2>&1)
[ -z "$lint" ] || fail "lint of $page:"$'\n'"$lint"
rendered=$(man -l "$page" 2>/tmp/man.$$.err); problems=$(cat /tmp/man.$$.err); rm -f /tmp/man.$$.err
[ -n "$rendered" ] && [ -z "$problems" ] || fail "man -l $page: ${problems:-renders nothing}"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
  grep -qx "$section" <<<"$rendered" || fail "$page has no $section section"
done

options() { grep -oE -- '(^|[^A-Za-z0-9-])--?[A-Za-z][A-Za-z-]*' | sed -E 's/^[^-]+//' | sort -u; }
# --help: the option column of the lines that start with an option.
help=$(env -u DISPLAY -u WAYLAND_DISPLAY timeout 15 "$program" --help) || fail "$program --help failed"
from_help=$(grep -E '^ +-' <<<"$help" | sed -E 's/^ +//; s/  .*//' | options)
# The page: the tags of the OPTIONS section (the line after each .TP, escapes removed).
from_page=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | grep -A1 '^\.TP' | grep -v '^\.TP\|^--$' |
            sed -E 's/\\-/-/g; s/\\f[BIRP]//g; s/"//g' | options)
[ -n "$from_help" ] || fail "no options found in $program --help"
if [ "$from_help" != "$from_page" ]; then
  fail "options differ between $program --help (<) and $page (>):"$'\n'"$(diff <(echo "$from_help") <(echo "$from_page"))"
fi
[ "$failures" = 0 ] && echo "$page: renders, lints clean, options match: "$from_page
exit $((failures > 0))
