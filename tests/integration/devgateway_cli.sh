#!/usr/bin/env bash
# devgateway end to end over HTTP and HTTPS: authorisations, compressed and raw
# reports built by corelib, refusals, the reply plan, the JSON file and the
# ways it stops (exchange count, SIGTERM).
#   devgateway_cli.sh DEVGATEWAY GATEWAY_CLIENT WORKDIR
set -u
devgateway=$1 client=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
fail=0
pid=

ok() { echo "ok   $*"; }
bad() { echo "FAIL $*"; fail=1; }
expect() {  # description pattern file
  if grep -qE -- "$2" "$3"; then ok "$1"; else bad "$1: no line matching '$2' in $3:"; sed 's/^/    /' "$3"; fi
}

# Starts devgateway in the background (output in $dir/out) and reads the port
# from its first line, at most 20 s.
start() {  # dir args...
  local dir=$1; shift
  mkdir -p "$dir"
  timeout 60 "$devgateway" "$@" >"$dir/out" 2>"$dir/err" &
  pid=$!
  port=
  for _ in $(seq 200); do
    port=$(sed -n '1s#^devgateway listening on https\?://127\.0\.0\.1:\([0-9]*\)/.*#\1#p' "$dir/out" 2>/dev/null)
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  bad "devgateway did not start: $(cat "$dir/err")"
  return 1
}

# Waits at most 20 s for devgateway to end by itself; gives its exit code.
wait_end() {
  for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    bad "devgateway still running"
    kill "$pid"
    wait "$pid"
    return 124
  fi
  wait "$pid"
}

call() {  # dir name client-args... ; output in $dir/$name
  local dir=$1 name=$2; shift 2
  timeout 30 "$client" "${tls[@]}" "$port" /fcgi-bin/agentgateway "$@" >"$dir/$name" 2>&1
}

plan=$work/plan
printf '# first data reply\nPOL\t0\t120\nCUA\t1\t2\n\n!session\nBFS\t100000\n' >"$plan"

for scheme in http https; do
  dir=$work/$scheme
  extra=() tls=()
  if [ $scheme = https ]; then
    extra=(--https --cert-out "$dir/cert.pem")
    tls=(--ca "$dir/cert.pem")
  fi
  start "$dir" "${extra[@]}" --key AK-1 --name web01 --email ops@example.test --plan "$plan" \
    --json "$dir/exchanges.json" --max-exchanges 7 || continue
  expect "$scheme: listening line" "^devgateway listening on $scheme://127\.0\.0\.1:$port/fcgi-bin/agentgateway$" "$dir/out"

  call "$dir" wrong-key auth-key AK-2 web01
  expect "$scheme: wrong key refused" '^status 401$' "$dir/wrong-key"
  call "$dir" account auth-account ops@example.test d41d8cd98f00b204e9800998ecf8427e web01
  expect "$scheme: account with the empty password's digest" '^session devgw-' "$dir/account"
  call "$dir" auth auth-key AK-1 web01
  expect "$scheme: key authorisation" '^status 200$' "$dir/auth"
  session=$(sed -n 's/^session //p' "$dir/auth")

  call "$dir" compressed data "$session" compressed
  expect "$scheme: compressed report answered with the first plan group" '^body POL\\t0\\t120\\nCUA\\t1\\t2$' "$dir/compressed"
  call "$dir" bad-checksum data "$session" bad-checksum
  expect "$scheme: bad checksum refused" '^status 400$' "$dir/bad-checksum"
  call "$dir" raw data "$session" raw
  expect "$scheme: raw report answered with the second plan group" '^body BFS\\t100000$' "$dir/raw"
  call "$dir" stale data devgw-0000000000000000 raw
  expect "$scheme: unknown session refused" '^status 401$' "$dir/stale"

  wait_end; rc=$?
  [ $rc -eq 0 ] && ok "$scheme: stopped by itself with 0" || bad "$scheme: exit code $rc"
  out=$dir/out
  expect "$scheme: refused key logged" "^exchange 1: auth key, .*Mon-AKey='AK-2'.*status 401, error: wrong agent key$" "$out"
  expect "$scheme: account logged" "^exchange 2: auth account, .*Mon-Pass='d41d8cd98f00b204e9800998ecf8427e'.*status 200, session 'devgw-" "$out"
  expect "$scheme: compressed report logged" "^exchange 4: data, .*Mon-Compression='[1-9][0-9]*'.*records 2, status 200, reply 2 lines, planned$" "$out"
  expect "$scheme: CPU record printed" "^record: UDC \| UI32: '44' \(CPU\) \| UI32: '7' \| UI32: '107' \| UI32: '0' \| I64: .*STR: 'CPU load' \\\\r\\\\n    SUB UDC \| UI32: '0' \| D64: '40.000000' $" "$out"
  expect "$scheme: memory record printed" "^record: UDC \| UI32: '47' \(MEM\) \| UI32: '9' " "$out"
  expect "$scheme: checksum refusal logged" "^exchange 5: data, .*status 400, error: Mon-CheckSum [0-9]+ does not match" "$out"
  expect "$scheme: unknown session logged" "^exchange 7: data, .*status 401, error: unknown session 'devgw-0000000000000000'$" "$out"
  expect "$scheme: stop reason" '^devgateway stopped \(after 7 exchanges\), 0 plan groups unused$' "$out"
  n=$(grep -c '^record: ' "$out")
  [ "$n" -eq 4 ] && ok "$scheme: four record lines" || bad "$scheme: $n record lines"

  json=$dir/exchanges.json
  if command -v python3 >/dev/null; then
    if python3 - "$json" <<'EOF'; then ok "$scheme: JSON lines"; else bad "$scheme: JSON lines"; fi
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
ex = [r for r in rows if r["event"] == "exchange"]
rec = [r for r in rows if r["event"] == "record"]
assert [r["status"] for r in ex] == [401, 200, 200, 200, 400, 200, 401], ex
assert [(r["exchange"], r["record"], r["type"], r["testID"]) for r in rec] == \
    [(4, 0, 44, 7), (4, 1, 47, 9), (6, 0, 44, 7), (6, 1, 47, 9)], rec
assert "\r\n    SUB UDC" in rec[0]["text"], rec[0]
assert ex[3]["headers"]["Mon-Platform"] == "win64" and ex[3]["reply"] == "POL\t0\t120\nCUA\t1\t2", ex[3]
EOF
  else
    expect "$scheme: JSON record line" '^\{"event":"record","exchange":4,"record":0,"type":44,"testID":7,' "$json"
  fi
done

# Hangs delay the reply; oversized bodies stop at the HTTP layer; SIGTERM ends
# the gateway cleanly and cuts a hang short.
dir=$work/stop tls=()
printf '!hang 1\nPOL\t0\t60\n---\n!hang 300\n' >"$work/hang-plan"
if start "$dir" --plan "$work/hang-plan"; then
  call "$dir" auth auth-key any web01
  session=$(sed -n 's/^session //p' "$dir/auth")
  call "$dir" oversized data "$session" oversized
  expect "oversized body refused" '^status 413$' "$dir/oversized"
  expect "oversized body logged" '^request POST /fcgi-bin/agentgateway: not an exchange, status 413$' "$dir/out"
  t0=$(date +%s%N)
  call "$dir" hang data "$session" raw
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  expect "hang: the reply comes" '^body POL\\t0\\t60$' "$dir/hang"
  [ $ms -ge 1000 ] && ok "hang: after ${ms} ms" || bad "hang: reply after ${ms} ms"
  expect "hang: logged" "^exchange 2: data, .*status 200, reply 1 lines, planned, hang 1 s$" "$dir/out"
  call "$dir" long-hang data "$session" raw &
  caller=$!
  for _ in $(seq 100); do grep -q '^exchange 3: ' "$dir/out" && break; sleep 0.1; done
  t0=$(date +%s%N)
  kill -TERM "$pid"
  wait_end; rc=$?
  ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  wait "$caller"
  [ $rc -eq 0 ] && ok "SIGTERM: exit code 0" || bad "SIGTERM: exit code $rc"
  [ $ms -lt 5000 ] && ok "SIGTERM: stopped in ${ms} ms during a 300 s hang" || bad "SIGTERM: took ${ms} ms"
  expect "SIGTERM: stop reason" '^devgateway stopped \(SIGTERM\)' "$dir/out"
fi

# "!down S": answered, then connections are refused for S seconds, then
# accepted again on the same port with the sessions handed out before;
# "!reset": the whole body announced, part of it sent, the connection reset.
dir=$work/down-reset tls=()
printf 'POL\t0\t30\n!down 3\n\nPOL\t0\t10\n\n!reset\nPOL\t0\t30\nCUA\t1\t2\t-1\t-1\t-1\t-1\t-1\n' >"$work/down-plan"
if start "$dir" --plan "$work/down-plan" --seconds 40; then
  call "$dir" auth auth-key K agent
  session=$(sed -n 's/^session //p' "$dir/auth")
  call "$dir" down data "$session" raw
  expect "!down: the exchange itself is answered" '^body POL\\t0\\t30$' "$dir/down"
  for _ in $(seq 50); do grep -q '^devgateway down for 3 s$' "$dir/out" && break; sleep 0.1; done
  call "$dir" refused data "$session" raw
  expect "!down: refused meanwhile" '^error ' "$dir/refused"
  for _ in $(seq 100); do grep -q '^devgateway listening again on port' "$dir/out" && break; sleep 0.1; done
  call "$dir" again data "$session" raw
  expect "!down: accepted again, the old session still valid" '^body POL\\t0\\t10$' "$dir/again"
  # The reset reply read by hand: headers with the Content-Length, then less.
  if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    printf 'POST /fcgi-bin/agentgateway HTTP/1.1\r\nHost: 127.0.0.1\r\nMon-SessionID: %s\r\nMon-Compression: 0\r\nMon-CheckSum: 0\r\nContent-Length: 0\r\nConnection: close\r\n\r\n' "$session" >&3
    timeout 10 cat <&3 >"$dir/reset.raw" 2>/dev/null
    exec 3<&-
    announced=$(sed -n 's/^Content-Length: *\([0-9]*\).*/\1/ip' "$dir/reset.raw" | head -n 1)
    got=$(( $(wc -c <"$dir/reset.raw") - $(sed -n $'1,/^\r$/p' "$dir/reset.raw" | wc -c) ))
    if [ -n "$announced" ] && [ "$got" -lt "$announced" ]; then ok "!reset: $got of $announced bytes"
    else bad "!reset: got $got bytes of '${announced}' announced"; fi
  else
    bad "!reset: cannot connect"
  fi
  expect "!reset: logged" '^exchange 4: data, .*, reset$' "$dir/out"
  kill -TERM "$pid"; wait_end
fi

# A bad plan is refused before anything listens.
printf 'POL\t0\t5\n!stat 403\n' >"$work/bad-plan"
msg=$(timeout 10 "$devgateway" --plan "$work/bad-plan" 2>&1); rc=$?
if [ $rc -eq 2 ] && [[ $msg == *"plan line 2: unknown directive '!stat 403'"* ]]; then ok "bad plan refused"
else bad "bad plan: rc=$rc $msg"; fi

# --serve answers its paths with the file, read at each request; other GETs get 404.
dir=$work/serve
mkdir -p "$dir"
printf 'first' >"$dir/package.zip"
if start "$dir" --port 0 --serve "/pkg/halvren.zip=$dir/package.zip" --serve "/gone.zip=$dir/none"; then
  get() { python3 -c 'import sys, urllib.request, urllib.error
try:
    r = urllib.request.urlopen(sys.argv[1], timeout=10); print(r.status, r.read().decode())
except urllib.error.HTTPError as e:
    print(e.code)' "http://127.0.0.1:$port$1"; }
  [ "$(get /pkg/halvren.zip)" = "200 first" ] && ok "--serve: the file" || bad "--serve: $(get /pkg/halvren.zip)"
  printf 'second' >"$dir/package.zip"
  [ "$(get /pkg/halvren.zip)" = "200 second" ] && ok "--serve: read again" || bad "--serve: not read again"
  [ "$(get /gone.zip)" = "404" ] && ok "--serve: an unreadable file is 404" || bad "--serve: unreadable $(get /gone.zip)"
  [ "$(get /other.zip)" = "404" ] && ok "a GET nothing serves is 404" || bad "unserved GET: $(get /other.zip)"
  expect "--serve: logged" '^serve GET /pkg/halvren.zip: 6 bytes$' "$dir/out"
  kill -TERM "$pid"; wait_end
fi
msg=$(timeout 10 "$devgateway" --serve nopath 2>&1); rc=$?
if [ $rc -eq 2 ] && [[ $msg == *"--serve needs PATH=FILE"* ]]; then ok "bad --serve refused"
else bad "bad --serve: rc=$rc $msg"; fi

exit $fail
