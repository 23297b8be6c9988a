#!/bin/bash
# docs/monitoring.md as Prometheus' own tools read it: each block marked
#   <!-- monitoring-test: shipped FILE -->  is packaging/prometheus/FILE, which passes
#                                          `promtool check rules`; with all of them
#                                          monitoring-rules.test.yml passes `promtool test rules`
#   <!-- monitoring-test: config -->       passes `promtool check config`; one that loads
#                                          the rules evaluates them every 15 s
#   <!-- monitoring-test: merge -->        added to Debian's /etc/prometheus/prometheus.yml as
#                                          the document says, passes `promtool check config`
#   <!-- monitoring-test: alertmanager --> passes `amtool check-config`
# (the blocks marked targets, alerting, federate and agent are run by the test-bed tests).
# Usage: monitoring-docs.sh SOURCE-DIR
source_dir=$1 failures=0 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
shipped=$source_dir/packaging/prometheus
# Each block goes to NN.KIND, the shipped ones to NN.shipped with the file's name in NN.name.
awk -v out="$work" '
  /^<!-- monitoring-test: [a-z]+( [a-z.-]+)? -->$/ {
    kind = $3; n++; file = sprintf("%s/%02d.%s", out, n, kind); state = 1
    if (NF == 5) print $4 > sprintf("%s/%02d.name", out, n)
    next }
  state == 1 && /^$/ { next }
  state >= 1 && /^    / { state = 2; print substr($0, 5) > file; next }
  state == 2 && /^$/ { print "" > file; next }
  { state = 0 }' "$source_dir/docs/monitoring.md"
# A block ends with the blank line that follows it, which the file has not.
for block in "$work"/*.*; do sed -i -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$block"; done

names=()
for block in "$work"/*.shipped; do
  [ -f "$block" ] || { fail "no block marked shipped"; break; }
  name=$(cat "${block%.shipped}.name")
  names+=("$name")
  out=$(diff -u "$shipped/$name" "$block") || fail "the block of $name differs from $shipped/$name:"$'\n'"$out"
done
for name in qip-alerts.yml qip-recording.yml; do
  printf '%s\n' "${names[@]}" | grep -qxF "$name" || fail "docs/monitoring.md does not show $name"
  cp "$shipped/$name" "$work/"
  out=$(promtool check rules "$work/$name" 2>&1) || fail "promtool check rules $name:"$'\n'"$out"
done
cp "$source_dir/tests/exporter/monitoring-rules.test.yml" "$work/"
out=$(cd "$work" && promtool test rules monitoring-rules.test.yml 2>&1) || fail "promtool test rules:"$'\n'"$out"

# The shipped rule files are named by their installed path.
installed() { sed "s|/usr/share/qipfinder/prometheus/|$work/|" "$1"; }
configs=("$work"/*.config)
[ -f "${configs[0]}" ] || fail "no config block"
for config in "${configs[@]}"; do
  installed "$config" >"$work/prometheus.yml"
  out=$(promtool check config "$work/prometheus.yml" 2>&1) || fail "promtool check config ($config):"$'\n'"$out"
  # The alert timing the document adds up holds only with 15 s evaluations; Prometheus'
  # default is a minute.
  if grep -q '^rule_files:' "$config" && ! grep -qx '  evaluation_interval: 15s' "$config"; then
    fail "a configuration that loads the rules sets no evaluation_interval: 15s (the alert timing assumes it):"$'\n'"$(cat "$config")"
  fi
done

# Debian's prometheus.yml has an empty rule_files: and ends with its scrape_configs; the
# rule files go under the one, the job after the other.
merge=("$work"/*.merge)
if [ -f "${merge[0]}" ] && [ -f /etc/prometheus/prometheus.yml ]; then
  installed "${merge[0]}" | awk '/^rule_files:/ { s = 1; next } /^scrape_configs:/ { s = 2; next }
                                 s == 1 { print > "'"$work"'/rules.add" } s == 2 { print > "'"$work"'/jobs.add" }'
  grep -qx 'rule_files:' /etc/prometheus/prometheus.yml || fail "Debian's prometheus.yml has no empty rule_files: line"
  { sed "/^rule_files:/r $work/rules.add" /etc/prometheus/prometheus.yml; cat "$work/jobs.add"; } >"$work/merged.yml"
  out=$(promtool check config "$work/merged.yml" 2>&1) || fail "promtool check config (merged into Debian's):"$'\n'"$out"
  grep -q 'qip-alerts.yml' <<<"$out" || fail "the merged configuration loads no rules:"$'\n'"$out"
else
  fail "no merge block, or no /etc/prometheus/prometheus.yml"
fi

alertmanager=("$work"/*.alertmanager)
if [ -f "${alertmanager[0]}" ]; then
  out=$(amtool check-config "${alertmanager[0]}" 2>&1) || fail "amtool check-config:"$'\n'"$out"
else
  fail "no alertmanager block"
fi
[ "$failures" = 0 ] && echo "shipped rules shown as they are, check and pass their tests; ${#configs[@]} configurations, the merge and Alertmanager's check"
exit $((failures > 0))
