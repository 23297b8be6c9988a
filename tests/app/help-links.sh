#!/bin/sh
# Every link and picture of the built help page leads somewhere once installed: an anchor
# of the page itself, a file beside it, or the web. Usage: help-links.sh <index.html>
page=$1
folder=$(dirname "$page")
[ -s "$page" ] || { echo "no help page at $page"; exit 1; }
status=0
for target in $(grep -oE '(href|src)="[^"]*"' "$page" | sed -E 's/^(href|src)="//; s/"$//'); do
  case $target in
    http://* | https://* | mailto:*) ;;
    \#*) grep -q "id=\"${target#\#}\"" "$page" || { echo "no anchor for $target"; status=1; } ;;
    *) [ -e "$folder/${target%%#*}" ] || { echo "links to $target, which is not installed"; status=1; } ;;
  esac
done
exit $status
