#!/bin/sh
# Every link and picture of each built help page leads somewhere once installed: an anchor
# of the page itself, a file beside it, or the web; and every table of its source came out as
# a table, not as lines of "| ... |". Usage: help-links.sh <page.html>...
status=0
# The target with every %XX as the byte it stands for.
decode() {
  rest=$1
  out=""
  while :; do
    case $rest in
      *%[0-9A-Fa-f][0-9A-Fa-f]*)
        out="$out${rest%%\%*}"
        rest=${rest#*%}
        out="$out$(printf "\\$(printf '%03o' "0x$(printf '%.2s' "$rest")")")"
        rest=${rest#??}
        ;;
      *) printf '%s' "$out$rest"; return ;;
    esac
  done
}
for page in "$@"; do
  folder=$(dirname "$page")
  [ -s "$page" ] || { echo "no help page at $page"; status=1; continue; }
  for target in $(grep -oE '(href|src)="[^"]*"' "$page" | sed -E 's/^(href|src)="//; s/"$//'); do
    # Links carry letters such as ä percent-encoded; the ids carry them as they are.
    target=$(decode "$target")
    case $target in
      http://* | https://* | mailto:*) ;;
      \#*) grep -qF "id=\"${target#\#}\"" "$page" || { echo "$page: no anchor for $target"; status=1; } ;;
      *) [ -e "$folder/${target%%#*}" ] || { echo "$page: links to $target, which is not installed"; status=1; } ;;
    esac
  done
  if grep -qE '^(<p>)?\|.*\|' "$page"; then
    echo "$page: a table came out as text:"
    grep -E '^(<p>)?\|.*\|' "$page" | head -3
    status=1
  fi
  grep -q '<table>' "$page" || { echo "$page: no table"; status=1; }
done
exit $status
