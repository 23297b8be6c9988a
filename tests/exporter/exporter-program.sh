#!/bin/bash
# qip-exporter as a service manager runs it, in a network namespace of its own (loopback
# only): the page at / and /metrics (HEAD, POST), IPv6 loopback, usage errors, a port
# already taken, the journal's line format, a flood of malformed datagrams that must not
# become a flood of lines, and SIGTERM/SIGINT.
# Usage: exporter-program.sh BINDIR
if [ -z "${QIP_EXPORTER_ISOLATED:-}" ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: needs a network namespace of its own (root)"
    [ "${CI:-}" = true ] && exit 1
    exit 77
  fi
  QIP_EXPORTER_ISOLATED=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up
bin=$1 failures=0 dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
listen=127.0.0.1:19376

# Standard error is "the journal's stream" when JOURNAL_STREAM names it.
exec 3>"$dir/err"
JOURNAL_STREAM=$(stat -c '%d:%i' "$dir/err") "$bin/qip-exporter" --listen "$listen" 2>&3 & pid=$!
exec 3>&-
for _ in $(seq 150); do curl -sf "http://$listen/metrics" >/dev/null && break; sleep 0.1; done

root=$(curl -s -i "http://$listen/")
grep -q '^HTTP/1.1 200' <<<"$root" && grep -qi '^Content-Type: text/html' <<<"$root" &&
  grep -q 'href="metrics"' <<<"$root" || fail "/ is no page linking to /metrics: $root"
metrics=$(curl -s -i "http://$listen/metrics")
grep -q '^# TYPE qip_device_info gauge' <<<"$metrics" && grep -q '^qip_exporter_build_info{version=' <<<"$metrics" ||
  fail "/metrics: $metrics"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://$listen/nothing")" = 404 ] || fail "/nothing is not 404"
head=$(curl -s -I "http://$listen/metrics")
grep -q '^HTTP/1.1 200' <<<"$head" && grep -qi '^Content-Type: text/plain; version=0.0.4' <<<"$head" ||
  fail "HEAD /metrics: $head"
[ "$(curl -s --head "http://$listen/metrics" -o /dev/null -w '%{size_download}')" = 0 ] ||
  fail "HEAD /metrics has a body"
post=$(curl -s -i -d 'x=1' "http://$listen/metrics")
grep -q '^HTTP/1.1 405' <<<"$post" && grep -qi '^Allow: GET, HEAD' <<<"$post" || fail "POST /metrics: $post"

# --help says what the manual says: probe names are looked up every cycle, not once.
help=$("$bin/qip-exporter" --help)
grep -q 'looked up in the background every cycle' <<<"$help" && ! grep -q 'looked up once' <<<"$help" || fail "--help on --probe: $help"

# Usage errors found only against the system end like every other.
for args in "--interface nosuch" "--listen [::1]:80x"; do
  # shellcheck disable=SC2086
  out=$(timeout 15 "$bin/qip-exporter" $args 2>&1); status=$?
  [ "$status" = 2 ] && [ "$(tail -n 1 <<<"$out")" = "Try 'qip-exporter --help'." ] ||
    fail "qip-exporter $args gave status $status: $out"
done

# Another exporter on the same port: a clear error and a non-zero exit, at once.
second=$(timeout 15 "$bin/qip-exporter" --listen "$listen" --no-ssid 2>&1); status=$?
[ "$status" = 1 ] && grep -q "cannot listen on $listen: Address already in use" <<<"$second" ||
  fail "a taken port gave status $status: $second"

# Malformed datagrams, many: told a few times at most.
for i in $(seq 300); do printf 'no zero byte' >/dev/udp/127.0.0.1/19375; done
sleep 0.5
kill -TERM "$pid"; wait "$pid"; status=$?
[ "$status" = 0 ] || fail "SIGTERM gave status $status"
log=$(cat "$dir/err")
lines=$(grep -c 'not terminated' <<<"$log")
[ "$lines" -ge 1 ] && [ "$lines" -le 2 ] ||
  fail "$lines lines for 300 malformed datagrams:"$'\n'"$log"
grep -q '^<6>serving http://127.0.0.1:19376/metrics' <<<"$log" && grep -q '^<6>stopping on SIGTERM' <<<"$log" &&
  ! grep -qv '^<[0-7]>' <<<"$log" || fail "not every line carries a journal priority:"$'\n'"$log"

# A client certificate required: one signed by the client CA gets in, none gets 403.
(cd "$dir" && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key \
   -out ca.crt -days 2 -subj /CN=ca && for name in server client; do
   openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $name.key -out $name.csr \
     -subj /CN=$name && printf 'subjectAltName=IP:127.0.0.1\n' >ext &&
   openssl x509 -req -in $name.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile ext \
     -out $name.crt || exit 1; done) >/dev/null 2>&1 || fail "openssl could not make the certificates"
printf 'tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_ca_file: ca.crt\n' >"$dir/web.yml"
"$bin/qip-exporter" --listen 127.0.0.1:19377 --no-ssid --web-config "$dir/web.yml" 2>"$dir/err3" & pid=$!
tls=(curl -s -o /dev/null -w '%{http_code}' --cacert "$dir/ca.crt" https://127.0.0.1:19377/metrics)
for _ in $(seq 150); do [ "$("${tls[@]}")" = 403 ] && break; sleep 0.1; done
[ "$("${tls[@]}" --cert "$dir/client.crt" --key "$dir/client.key")" = 200 ] && [ "$("${tls[@]}")" = 403 ] ||
  fail "client certificates: $("${tls[@]}" --cert "$dir/client.crt" --key "$dir/client.key"), $("${tls[@]}") $(cat "$dir/err3")"
kill -TERM "$pid"; wait "$pid"
# A file that is missing, or names a key that does not fit: status 1 at once, never plain HTTP.
cp "$dir/client.key" "$dir/server.key"
for file in "$dir/missing.yml" "$dir/web.yml"; do
  out=$(timeout 15 "$bin/qip-exporter" --listen 127.0.0.1:19377 --no-ssid --web-config "$file" 2>&1); status=$?
  [ "$status" = 1 ] && grep -q "web config $file: " <<<"$out" || fail "--web-config $file gave status $status: $out"
done

# SIGINT ends it too; on a terminal (no journal) lines name the program. On IPv6 loopback.
listen='[::1]:19376'
"$bin/qip-exporter" --listen "$listen" --no-ssid 2>"$dir/err2" & pid=$!
for _ in $(seq 150); do curl -sf "http://$listen/metrics" >/dev/null && break; sleep 0.1; done
curl -sf "http://$listen/metrics" | grep -q '^qip_exporter_build_info' || fail "nothing served on $listen"
kill -INT "$pid"; wait "$pid"; status=$?
[ "$status" = 0 ] && grep -q '^qip-exporter: stopping on SIGINT' "$dir/err2" ||
  fail "SIGINT gave status $status: $(cat "$dir/err2")"

[ "$failures" = 0 ] && echo "qip-exporter serves (IPv6 too), refuses a taken port, logs for the journal, stops on signals"
exit $((failures > 0))
