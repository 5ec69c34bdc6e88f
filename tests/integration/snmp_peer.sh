#!/usr/bin/env bash
# The SNMP tests against real agents, natively or under Wine, in a network
# namespace of their own (ports 161 and 162 on loopback only).
#   snmp_peer.sh native|wine PROGRAM WINE_RUN WORK_FOLDER
set -u
mode=$1 program=$2 wine_run=$3 work=$4
if [ -z "${HALVREN_SNMP_NETNS:-}" ]; then
  if ! command -v snmpd >/dev/null || ! command -v snmpinform >/dev/null; then
    echo "snmpd and snmp are not installed" >&2; exit 1
  fi
  exec unshare --net env HALVREN_SNMP_NETNS=1 "$0" "$@"
fi
ip link set lo up || exit 1
rm -rf "$work"; mkdir -p "$work/sync"
here=$(cd "$(dirname "$0")" && pwd)

cat >"$work/full.conf" <<CONF
agentaddress udp:127.0.0.1:161
rocommunity public 127.0.0.1
sysContact ops@example.test
sysLocation lab
sysName halvren-test
sysServices 72
CONF
cat >"$work/system.conf" <<CONF
agentaddress udp:127.0.0.2:161
view systemonly included .1.3.6.1.2.1.1
rocommunity public 127.0.0.1 -V systemonly
sysServices 72
CONF
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
for c in full system; do
  snmpd -f -C -c "$work/$c.conf" -Lf "$work/snmpd-$c.log" -p "$work/snmpd-$c.pid" \
    --persistentDir="$work/persist-$c" &
  pids+=($!)
done
for _ in $(seq 100); do
  snmpget -v 2c -c public -t 0.2 -r 0 127.0.0.1 1.3.6.1.2.1.1.7.0 >/dev/null 2>&1 && break
  sleep 0.1
done

# Sends a trap and an inform, three of each, once the test's listener runs.
sender() {
  for _ in $(seq 600); do [ -f "$work/sync/listening" ] && break; sleep 0.1; done
  [ -f "$work/sync/listening" ] || return 1
  local rc=0
  for _ in 1 2 3; do
    snmptrap -v 2c -c public 127.0.0.1:162 '' 1.3.6.1.6.3.1.1.5.1 1.3.6.1.2.1.1.5.0 s halvren-test || rc=1
    timeout 20 snmpinform -v 2c -c public -t 2 -r 3 127.0.0.1:162 '' 1.3.6.1.6.3.1.1.5.1 \
      1.3.6.1.2.1.1.5.0 s halvren-test || { echo "snmpinform was not answered" >&2; rc=1; }
  done
  return $rc
}
sender &
sender_pid=$!
pids+=($sender_pid)

if [ "$mode" = wine ]; then
  # Wine's sockets are made by its server: one of this namespace, with a prefix of its own.
  export WINEPREFIX=$work/wineprefix
  export SNMP_SYNC_DIR="Z:$(echo "$work/sync" | tr / '\\')"
  export SNMP_TRAP_PORT=162
  # shellcheck source=/dev/null
  . "$here/../../scripts/lib.sh"
  start_wineserver
  "$wine_run" --timeout 200 "$program" --gtest_brief=1
  rc=$?
  stop_wineserver
else
  export SNMP_SYNC_DIR=$work/sync SNMP_TRAP_PORT=162
  timeout 200 "$program" --gtest_brief=1
  rc=$?
fi
wait "$sender_pid" || { echo "the trap sender failed" >&2; [ $rc -eq 0 ] && rc=1; }
exit $rc
