#!/usr/bin/env bash
# The log folder's protection, for real: Halvren.exe -console under Wine in a
# prefix of its own, against the native development gateway, with Trace 10.
#   log_folder.sh DEVGATEWAY WINE_RUN AGENT.exe WORK_FOLDER
# Wine maps a folder's access list to the Unix mode bits (nothing for others
# without an entry for everyone) and reports a linked folder as a reparse point,
# so both show from the Unix side:
#   1. fresh prefix: Halvren and logs are made with no bits for others;
#   2. both already there, open to everyone (owned by the agent's own account,
#      as Wine shows every file): closed again, the log goes on;
#   3. logs a link to another folder: nothing lands there, the agent works on.
set -u
devgateway=$1 wine_run=$2 agent=$3 work=$4
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
. "$(dirname "$0")/checks.sh"
own_prefix "$work"

# Making the prefix takes most of the test's time; one server serves all runs.
start_wineserver

data=$WINEPREFIX/drive_c/ProgramData
halvren=$data/Halvren
logs=$halvren/logs
[ -d "$data" ] || { echo "the prefix has no ProgramData folder" >&2; exit 1; }

run_agent() {  # name: one agent run of 8 seconds against a fresh devgateway
  local run=$work/$1 port
  mkdir -p "$run"
  "$devgateway" --port 0 --port-file "$run/port" --plan /dev/null --key KEY-IT-1 --seconds 120 \
    >"$run/gateway.out" 2>&1 &
  local gw=$!
  for _ in $(seq 100); do [ -s "$run/port" ] && break; sleep 0.1; done
  port=$(cat "$run/port")
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "http://127.0.0.1:$port/fcgi-bin/agentgateway"
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
  reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
  reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it
  sleep 8 | "$wine_run" --timeout 60 "$agent" -console >"$run/agent.out" 2>"$run/agent.err"
  kill -TERM $gw 2>/dev/null; wait $gw 2>/dev/null
  echo "--- agent ($1)"; cat "$run/agent.out"
  check "$1: the agent worked (authorised)" grep -qF "status 3: Authorization succeeded." "$run/agent.out"
}

no_bits_for_others() { [ $((8#$(stat -c %a "$1") & 7)) -eq 0 ]; }
agent_log_written() { grep -qs "Agent key: 'KEY-IT-1'" "$logs"/monintagent_*.log; }

check "fresh prefix: no Halvren folder yet" [ ! -e "$halvren" ]
run_agent fresh
for folder in "$halvren" "$logs"; do
  check "fresh: ${folder#$data/} has no bits for others ($(stat -c %a "$folder" 2>/dev/null))" no_bits_for_others "$folder"
done
check "fresh: the agent log was written" agent_log_written

rm -rf "$halvren"
mkdir -m 0777 -p "$logs" && chmod 0777 "$halvren"
run_agent open
for folder in "$halvren" "$logs"; do
  check "open: ${folder#$data/} closed again ($(stat -c %a "$folder"))" no_bits_for_others "$folder"
done
check "open: the agent log was written" agent_log_written

rm -rf "$logs"
mkdir -m 0777 "$work/target"
ln -s "$work/target" "$logs"
run_agent linked
check "linked: logs is still the link" [ -L "$logs" ]
check "linked: its target stays empty ($(ls -A "$work/target" | tr '\n' ' '))" [ -z "$(ls -A "$work/target")" ]
check "linked: its target's access unchanged ($(stat -c %a "$work/target"))" [ "$(stat -c %a "$work/target")" = 777 ]
exit $fail
