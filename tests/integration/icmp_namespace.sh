#!/usr/bin/env bash
# The ping monitor under Wine in a private network namespace, where every
# 127.x address answers and the echo can be switched off for the whole
# namespace. Wine's sockets are made by its server, so a wineserver of our own
# runs inside the namespace with a prefix of our own.
#   icmp_namespace.sh WINE_RUN ICMP_IT.exe AGENT.exe DEVGATEWAY WORK_FOLDER
# Exit 77 (skipped) where no namespace can be made (not root).
set -u
wine_run=$1 program=$2 agent=$3 devgateway=$4 work=$5

if [ -z "${HALVREN_IN_NETNS:-}" ]; then
  mkdir -p "$work"
  if ! unshare --net true 2>/dev/null; then
    echo "SKIP: no network namespace here (needs root)"
    exit 77
  fi
  exec unshare --net env HALVREN_IN_NETNS=1 bash "$0" "$@"
fi

. "$(dirname "$0")/checks.sh"
ip link set lo up || exit 1
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
# The prefix is kept between runs (made once, slowly); the server is ours alone.
export WINEPREFIX=$work/prefix
trap 'stop_wineserver' EXIT
start_wineserver
echo_off() { sysctl -qw net.ipv4.icmp_echo_ignore_all="$1"; }

tests() {  # name gtest-filter: the program passes all of them and ends cleanly
  local out=$work/$1.out
  "$wine_run" --timeout 120 "$program" --gtest_filter="$2" >"$out" 2>&1
  local rc=$?
  cat "$out"
  check "$1 (exit $rc)" [ "$rc" -eq 0 ]
  check "$1: every test passed" grep -q '^\[  PASSED  \]' "$out"
  check "$1: no fault" bash -c "! grep -q 'Unhandled' '$out'"
}

echo_off 0
tests answering 'IcmpIt.Answering*'
echo_off 1
tests silent 'IcmpIt.Silent*'

# The agent ends within 15 s of its input closing while a check of a silent
# address (10 echoes of 60 s) runs.
if [ -x "$devgateway" ]; then
  rm -f "$work/port" "$work/gateway.out"
  printf '%b' 'POL\t0\t2\nPGA\t1\t7\t127.0.0.99\t32\t10\t60000\t1\n' >"$work/plan.txt"
  "$devgateway" --port 0 --port-file "$work/port" --plan "$work/plan.txt" --seconds 120 >"$work/gateway.out" 2>&1 &
  gw=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  reg() { "$wine_run" --timeout 60 reg "$@" /f >/dev/null 2>&1; }
  reg delete 'HKLM\SOFTWARE\Halvren'
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "http://127.0.0.1:$(cat "$work/port")/fcgi-bin/agentgateway"
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
  reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
  reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it
  { sleep 12; date +%s%N >"$work/closed"; } |
    "$wine_run" --timeout 90 "$agent" -console >"$work/agent.out" 2>"$work/agent.err"
  ended=$(date +%s%N)
  kill -TERM "$gw" 2>/dev/null; wait "$gw" 2>/dev/null
  grep -E 'mon_icmp|status [48]:' "$work/agent.out" | head -20
  after=$(( (ended - $(cat "$work/closed")) / 1000000 ))
  check "a silent check was running" grep -qF "mon_icmp: checking testID:1, lid:7, host:'127.0.0.99'" "$work/agent.out"
  check "agent exited ${after} ms after its input closed" [ "$after" -lt 15000 ]
else
  echo "FAIL no devgateway at $devgateway: build the native-asan preset first"; fail=1
fi
echo_off 0
exit $fail
