#!/bin/sh
# The dependency tables of README.md and docs/install.md, made from
# scripts/debian-packages.txt so that they cannot drift from what `make` installs.
#   sh scripts/dependencies.sh            prints the table
#   sh scripts/dependencies.sh --update   rewrites the tables in both documents
#   sh scripts/dependencies.sh --check    fails, showing the difference, when either is stale
# A table sits between the lines "<!-- dependencies: begin -->" and "<!-- dependencies: end -->".
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/debian-packages.txt
documents="$root/README.md $root/docs/install.md"

table() {
  echo "| Debian package | Needed for | Why |"
  echo "|---|---|---|"
  awk '!/^#/ && NF {
         if (NF < 3 || $2 !~ /^(build|tests|run)(,(build|tests|run))*$/) {
           printf "%s: line %d: want \"package  build|tests|run[,...]  why\"\n", FILENAME, NR > "/dev/stderr"
           bad = 1; next
         }
         why = $3; for (i = 4; i <= NF; i++) why = why " " $i
         needed = $2; gsub(",", ", ", needed)
         printf "| `%s` | %s | %s |\n", $1, needed, why
       }
       END { exit bad }' "$list"
}

# The document with its table replaced by the current one, on standard output.
replaced() {
  new=$(table) || return 1
  NEW="$new" awk '
    /^<!-- dependencies: begin -->$/ { print; print ENVIRON["NEW"]; skip = 1; found = 1; next }
    /^<!-- dependencies: end -->$/ { skip = 0 }
    !skip { print }
    END { if (!found) { print FILENAME ": no dependencies table" > "/dev/stderr"; exit 1 } }' "$1"
}

case "${1:-}" in
  "") table ;;
  --update)
    for document in $documents; do
      replaced "$document" > "$document.new" && mv "$document.new" "$document"
    done ;;
  --check)
    status=0
    for document in $documents; do
      if ! replaced "$document" | diff -u "$document" - >&2; then
        echo "FAIL: $document does not show scripts/debian-packages.txt: run sh scripts/dependencies.sh --update" >&2
        status=1
      fi
    done
    exit $status ;;
  *) echo "usage: $0 [--update | --check]" >&2; exit 2 ;;
esac
