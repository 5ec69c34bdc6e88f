#!/usr/bin/env bash
# The WinHTTP exchange under Wine against the native stand-in gateway.
#   winhttp_exchange.sh SERVER CLIENT.exe WINE_RUN WORK_FOLDER
set -u
server=$1 client=$2 wine_run=$3 work=$4
if [ ! -x "$server" ]; then
  echo "no stand-in gateway at $server: build the native-asan preset first" >&2
  exit 1
fi
mkdir -p "$work"
# Wine's WinHTTP takes its default proxy from these; the test talks to 127.0.0.1 directly.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

"$server" --lifetime=240 >"$work/server.out" 2>"$work/server.err" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null' EXIT
for _ in $(seq 200); do
  grep -q '^http=' "$work/server.out" 2>/dev/null && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
line=$(grep '^http=' "$work/server.out") || { echo "stand-in gateway did not start" >&2; cat "$work/server.err" >&2; exit 1; }
http=${line#http=}; http=${http%% *}
https=${line##*https=}

"$wine_run" --timeout 180 "$client" --http-port="$http" --https-port="$https"
rc=$?

kill -TERM $pid
wait $pid
server_rc=$?
trap - EXIT
if [ $server_rc -ne 0 ]; then
  echo "stand-in gateway ended with $server_rc" >&2
  cat "$work/server.err" >&2
  [ $rc -eq 0 ] && rc=1
fi
exit $rc
