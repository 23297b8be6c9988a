#!/bin/bash
# The bash completions as a user meets them: Tab after a partial option, and after an option
# that takes an interface or a fixed word.
# Usage: completion.sh COMPLETION-DIR BINDIR
dir=$1 bin=$2 failures=0
source /usr/share/bash-completion/bash_completion || { echo "FAIL: bash-completion is not installed"; exit 1; }
PATH=$bin:$PATH

# Completes the words given (the last one partial) and prints the candidates, sorted.
complete_words() {
  local program=$1
  source "$dir/$program"
  # The line as typed: bash breaks words at "=" too, with no blank around it.
  COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE=$(echo "$*" | sed 's/ = /=/g'); COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$(complete -p "$program" | sed -E 's/.*-F ([^ ]+).*/\1/')" "$program" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
expect() {  # description, expected candidates (one line, space separated), words...
  local what=$1 want=$2; shift 2
  local got; got=$(complete_words "$@" | xargs)
  [ "$got" = "$want" ] || { echo "FAIL: $what: '$*' completed to '$got', want '$want'"; failures=$((failures + 1)); }
}
expect "discover options" "--no-settle --no-ssid --no-store" qip-discover --no-s
expect "discover interface option" "--interface" qip-discover --inter
expect "discover json" "--json" qip-discover --js
expect "discover probe options" "--probe --probe-rate" qip-discover --prob
expect "discover no file names after --probe-rate" "" qip-discover --probe-rate ""
expect "exporter options" "--listen" qip-exporter --li
expect "exporter probe options" "--probe --probe-rate" qip-exporter --prob
expect "exporter no file names after --probe" "" qip-exporter --probe ""
got=$(complete_words qip-exporter --interface l)
grep -qx lo <<<"$got" || { echo "FAIL: qip-exporter --interface l completed to '$got', without lo"; failures=$((failures + 1)); }
got=$(complete_words qip-discover --interface l)
grep -qx lo <<<"$got" || { echo "FAIL: --interface l completed to '$got', without lo"; failures=$((failures + 1)); }
# bash splits "--interface=l" at the "=" into three words.
got=$(complete_words qip-discover --interface = l)
grep -qx lo <<<"$got" || { echo "FAIL: --interface=l completed to '$got', without lo"; failures=$((failures + 1)); }
expect "discover no file names after --type" "" qip-discover --type ""
expect "sim option" "--malformed" qip-device-sim --mal
expect "sim fault option" "--lf-only" qip-device-sim --lf
expect "sim http options, each once" "--http-delay --http-fault --http-hang --http-port --http-split --http-status" \
  qip-device-sim --http-
expect "sim fault kind" "wrong-case" qip-device-sim --malformed w
expect "sim short and long" "--verbose --version" qip-device-sim --ver
[ "$failures" = 0 ] && echo "completions hold"
exit $((failures > 0))
