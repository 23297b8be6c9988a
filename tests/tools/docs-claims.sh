#!/bin/bash
# What README.md and docs/ say that can be checked without running a test bed:
# - the seconds per fuzzing harness README gives for CI are those .ci/run passes;
# - every Markdown table is whole (a paragraph inside one pushes its last rows out of it);
# - every link to a section of the same page leads to a heading there, and not to the
#   section the link stands in;
# - every figure named after `process-figures --only` is one its usage line offers.
# Usage: docs-claims.sh SOURCE-DIR [PROCESS-FIGURES]
src=$1 figures=${2:-} failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
docs=("$src/README.md" "$src"/docs/*.md)

ci=$(grep -oE 'make fuzz FUZZ_SECONDS=[0-9]+' "$src/.ci/run" | grep -oE '[0-9]+$')
readme=$(tr '\n' ' ' <"$src/README.md" | grep -oE 'then `make fuzz` with +[0-9]+ s per harness' | grep -oE '[0-9]+')
[ -n "$ci" ] && [ "$readme" = "$ci" ] ||
  fail "README says CI fuzzes '${readme:-?}' s a harness; .ci/run passes FUZZ_SECONDS=${ci:-?}"

# Outside code blocks (fenced, or indented four spaces after a blank line): a row that starts
# a table must be followed by the delimiter row; and an in-page link's target must be a
# heading's anchor (lower case, punctuation dropped, blanks as hyphens) other than its own
# section's.
for doc in "${docs[@]}"; do
  out=$(awk '
    function slug(text) {
      text = tolower(text); gsub(/[^a-z0-9 _-]/, "", text); gsub(/ /, "-", text); return text }
    /^```/ { fenced = !fenced; previous = ""; next }
    fenced { next }
    /^    / && (previous == "" || code) { code = 1; next }
    { code = 0 }
    /^#+ / { heading = $0; sub(/^#+ /, "", heading); section = slug(heading); anchors[section] = 1 }
    {
      line[NR] = $0; sectionOf[NR] = section
      if ($0 ~ /^\|/ && previous !~ /^\|/) starts[NR] = 1
      previous = $0
    }
    END {
      for (n in starts) {
        if (line[n + 1] !~ /^\|[-:| ]+\|$/) printf "line %d: a table row outside a table (a paragraph inside the table above?): %s\n", n, substr(line[n], 1, 60)
      }
      for (n in line) {
        rest = line[n]
        while (match(rest, /\]\(#[^)]+\)/)) {
          target = substr(rest, RSTART + 3, RLENGTH - 4); rest = substr(rest, RSTART + RLENGTH)
          if (!(target in anchors)) printf "line %d: a link to #%s, which no heading of the page makes\n", n, target
          else if (target == sectionOf[n]) printf "line %d: a link to #%s, the section it stands in\n", n, target
        }
      }
    }' "$doc")
  [ -z "$out" ] || fail "${doc#"$src"/}:"$'\n'"$out"
done

if [ -n "$figures" ] && [ -x "$figures" ]; then
  usage=$("$figures" --help 2>&1 | grep -oE -- '--only [a-z,-]+' | cut -d' ' -f2 | tr ',' '\n')
  [ -n "$usage" ] || fail "process-figures --help names no figure"
  for name in $(cat "${docs[@]}" | grep -oE -- 'process-figures --only [a-z,-]+' | cut -d' ' -f3 | tr ',' '\n' | sort -u); do
    grep -qx -- "$name" <<<"$usage" || fail "the documents run process-figures --only $name, which its usage line lacks"
  done
else
  echo "process-figures not built: its usage line not checked"
fi
[ "$failures" = 0 ] && echo "${#docs[@]} documents: CI's fuzzing time, tables, in-page links and figure names as the programs have them"
exit $((failures > 0))
