#!/usr/bin/env bash
# The SNMP benchmark's peers: snmpd on 127.0.0.1:161 in a network namespace
# of its own; our GETs beside snmpget's, then (under Wine) 200 SPA tests.
#   snmp_bench.sh NATIVE_BENCH WIN_BENCH.exe WINE_RUN WORK
set -u
native=$1 win=$2 wine_run=$3 work=$4
if [ -z "${HALVREN_SNMP_NETNS:-}" ]; then exec unshare --net env HALVREN_SNMP_NETNS=1 "$0" "$@"; fi
ip link set lo up || exit 1
rm -rf "$work"; mkdir -p "$work"; work=$(cd "$work" && pwd)
printf 'agentaddress udp:127.0.0.1:161\nrocommunity public 127.0.0.1\nsysContact ops@example.test\n' >"$work/snmpd.conf"
snmpd -f -C -c "$work/snmpd.conf" -Lf "$work/snmpd.log" -p "$work/snmpd.pid" --persistentDir="$work/persist" &
snmpd_pid=$!
trap 'kill $snmpd_pid 2>/dev/null; wait $snmpd_pid 2>/dev/null' EXIT
for _ in $(seq 100); do snmpget -v 2c -c public -t 0.2 -r 0 127.0.0.1 1.3.6.1.2.1.1.7.0 >/dev/null 2>&1 && break; sleep 0.1; done
n=300
ours=$("$native" gets 127.0.0.1 $n) || { echo "our GETs failed" >&2; exit 1; }
start=$(date +%s.%N)
for _ in $(seq $n); do snmpget -v 2c -c public 127.0.0.1 1.3.6.1.2.1.1.7.0 1.3.6.1.2.1.1.4.0 >/dev/null || exit 1; done
end=$(date +%s.%N)
awk -v n=$n -v s="$start" -v e="$end" -v ours="$ours" 'BEGIN {
  theirs = n / (e - s)
  printf "gets: %.1f GETs/s (CSnmpClient) against %.1f GETs/s (snmpget, one process a GET): ratio %.2f\n", ours, theirs, ours / theirs
}'
export WINEPREFIX=$work/wineprefix
# shellcheck source=/dev/null
. "$(dirname "$0")/../scripts/lib.sh"
start_wineserver
"$wine_run" --timeout 120 "$win" monitor 200
rc=$?
stop_wineserver
exit $rc
