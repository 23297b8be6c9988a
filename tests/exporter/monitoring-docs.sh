#!/bin/bash
# docs/monitoring.md as Prometheus' own tools read it: each block marked
#   <!-- monitoring-test: config -->   passes `promtool check config`
#   <!-- monitoring-test: rules -->    passes `promtool check rules`, and with it
#                                      monitoring-rules.test.yml passes `promtool test rules`
# Usage: monitoring-docs.sh SOURCE-DIR
source_dir=$1 failures=0 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
awk -v out="$work" '
  /^<!-- monitoring-test: [a-z]+ -->$/ { kind = $3; n++; file = sprintf("%s/%02d.%s", out, n, kind); state = 1; next }
  state == 1 && /^$/ { next }
  state >= 1 && /^    / { state = 2; print substr($0, 5) > file; next }
  state == 2 && /^$/ { print "" > file; next }
  { state = 0 }' "$source_dir/docs/monitoring.md"
rules=("$work"/*.rules) configs=("$work"/*.config)
[ ${#rules[@]} = 1 ] && [ -f "${rules[0]}" ] || fail "want one rules block, found ${#rules[@]}"
[ -f "${configs[0]}" ] || fail "no config block"
cp "${rules[0]}" "$work/qip-rules.yml"
out=$(promtool check rules "$work/qip-rules.yml" 2>&1) || fail "promtool check rules:"$'\n'"$out"
cp "$source_dir/tests/exporter/monitoring-rules.test.yml" "$work/"
out=$(cd "$work" && promtool test rules monitoring-rules.test.yml 2>&1) || fail "promtool test rules:"$'\n'"$out"
for config in "${configs[@]}"; do
  # The rule file named in it is the one just checked.
  sed "s|/etc/prometheus/qip-rules.yml|$work/qip-rules.yml|" "$config" >"$work/prometheus.yml"
  out=$(promtool check config "$work/prometheus.yml" 2>&1) || fail "promtool check config ($config):"$'\n'"$out"
done
[ "$failures" = 0 ] && echo "rules check and pass their tests; ${#configs[@]} configurations check"
exit $((failures > 0))
