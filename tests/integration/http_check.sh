#!/usr/bin/env bash
# The HTTP monitor's Windows test under Wine against the local peers.
#   http_check.sh CLIENT.exe WINE_RUN WORK_FOLDER [ARGS...]
set -u
client=$1 wine_run=$2 work=$3
shift 3
mkdir -p "$work"
# Wine's WinINet takes a default proxy from these; the tests choose their own.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

port=0
for a in "$@"; do [ "$a" = --port80 ] && port=80; done
# A file left by an earlier run must not be read as this run's ports.
rm -f "$work/peers.out"
python3 "$(dirname "$0")/http_peers.py" --work "$work" --lifetime 240 --http-port "$port" >"$work/peers.out" 2>"$work/peers.err" &
pid=$!
trap 'kill -TERM $pid 2>/dev/null' EXIT
for _ in $(seq 200); do
  grep -q '^http=' "$work/peers.out" 2>/dev/null && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
line=$(grep '^http=' "$work/peers.out") || { echo "peers did not start" >&2; cat "$work/peers.err" >&2; exit 1; }
read -r http https proxy <<<"$(echo "$line" | sed 's/[a-z]*=//g')"

"$wine_run" --timeout 200 "$client" --http-port="$http" --https-port="$https" --proxy-port="$proxy" "$@"
rc=$?

kill -TERM $pid
wait $pid
trap - EXIT
exit $rc
