#!/usr/bin/env bash
# Halvren.exe -console under Wine against the native development gateway.
#   agent_gateway.sh SCENARIO DEVGATEWAY WINE_RUN AGENT.exe WORK_FOLDER [PROGRAM.exe]
# Each scenario sets the agent's registry values, starts devgateway with a plan,
# runs the agent for a bounded time and checks what both sides saw.
set -u
scenario=$1 devgateway=$2 wine_run=$3 agent=$4 work=$5/$1 program=${6:-}
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
. "$(dirname "$0")/checks.sh"
has() { grep -qF -- "$1" "$2"; }

registry() {  # KEY_OR_EMAIL_MODE HOST [extra Settings name=value dword...]
  reg delete 'HKLM\SOFTWARE\Halvren'
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "$2"
  reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
  if [ "$1" = email ]; then
    reg add 'HKLM\SOFTWARE\Halvren\Agent' /v E-Mail /t REG_SZ /d ops@example.org
    # Blank: present for the start check, empty for the digest.
    reg add 'HKLM\SOFTWARE\Halvren\Agent' /v Password /t REG_SZ /d " "
  else
    reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
  fi
  reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it
  shift 2
  for v in "$@"; do reg add 'HKLM\SOFTWARE\Halvren\Settings' /v "${v%%=*}" /t REG_DWORD /d "${v#*=}"; done
}

gateway() {  # plan-text, devgateway options...
  printf '%b' "$1" >"$work/plan.txt"; shift
  "$devgateway" --port 0 --port-file "$work/port" --plan "$work/plan.txt" --json "$work/exchanges.jsonl" \
    --seconds 240 "$@" >"$work/gateway.out" 2>&1 &
  gw=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  port=$(cat "$work/port")
}

run_agent() {  # seconds until standard input closes
  local started=$(date +%s%N)
  sleep "$1" | "$wine_run" --timeout $(($1 + 60)) "$agent" -console >"$work/agent.out" 2>"$work/agent.err"
  agent_rc=$?
  agent_seconds=$(( ($(date +%s%N) - started) / 1000000000 ))
  kill -TERM $gw 2>/dev/null; wait $gw 2>/dev/null
  echo "--- agent"; cat "$work/agent.out"; echo "--- gateway"; grep -E '^(exchange|request)' "$work/gateway.out"
}

data_count() { grep -c '^exchange .*: data' "$work/gateway.out"; }

case "$scenario" in
  key)  # key authorisation, exact headers, a session held, exchanges every poll interval
    gateway 'POL\t0\t2\n' --key KEY-IT-1 --name agent-it
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 14
    check "agent ended cleanly" [ "$agent_rc" -eq 0 ]
    check "authorised" has "status 3: Authorization succeeded." "$work/agent.out"
    auth=$(grep -m1 '^exchange .*: auth' "$work/gateway.out")
    for h in "Content-Type='application/octet-stream'" "Mon-AKey='KEY-IT-1'" "Mon-AName='agent-it'" \
             "Mon-Platform='win64'" "Mon-Version='4.02.14'" "Mon-OSVersion='Microsoft Windows" \
             "Mon-Hostname='" "Mon-Builddate='Apr 21 2017 12:37:47'" \
             "User-Agent='Mozilla/5.0 (compatible; Halvren; "; do
      check "authorisation header $h" has "$h" <(echo "$auth")
    done
    check "no other Mon- header on authorisation" [ "$(grep -o "Mon-[A-Za-z]*=" <<<"$auth" | sort | tr -d '\n')" = \
      "Mon-AKey=Mon-AName=Mon-Builddate=Mon-Hostname=Mon-OSVersion=Mon-Platform=Mon-Version=" ]
    check "one authorisation only" [ "$(grep -c '^exchange .*: auth' "$work/gateway.out")" -eq 1 ]
    # After POL 2 the agent reports every 2 seconds: at least 4 exchanges in 14 s.
    check "exchanges every poll interval ($(data_count))" [ "$(data_count)" -ge 4 ]
    check "data requests carry the session" has "Mon-SessionID='devgw-" "$work/gateway.out"
    ;;
  email)  # account authorisation; an empty stored password sends the digest of the empty string
    gateway '' --email ops@example.org --password-digest d41d8cd98f00b204e9800998ecf8427e
    registry email "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 8
    check "authorised by e-mail" has "status 3: Authorization succeeded." "$work/agent.out"
    check "Mon-Pass is the empty digest" has "Mon-Pass='d41d8cd98f00b204e9800998ecf8427e'" "$work/gateway.out"
    ;;
  long-session)  # a Mon-SessionID of 128 characters is no session at all
    gateway "!auth\n!session $(printf 'S%.0s' $(seq 128))\n"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 8
    check "not authorised" bash -c "! grep -q 'status 3' '$work/agent.out'"
    check "reported as a server error" has "status 9: Server error 200 received" "$work/agent.out"
    check "no data exchange" [ "$(data_count)" -eq 0 ]
    ;;
  https-refused)  # a self-signed certificate fails unless the operator allowed it
    gateway '' --https
    registry key "https://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 8
    check "refused" has "status 9: Data sending failed on making request." "$work/agent.out"
    check "not authorised" bash -c "! grep -q 'status 3' '$work/agent.out'"
    ;;
  https-allowed)
    gateway '' --https
    registry key "https://127.0.0.1:$port/fcgi-bin/agentgateway" IgnoreCertErrors=1
    run_agent 10
    check "authorised over TLS" has "status 3: Authorization succeeded." "$work/agent.out"
    check "data exchange over TLS" [ "$(data_count)" -ge 1 ]
    ;;
  no-answer)  # a gateway that never answers is cut at 50 seconds
    gateway '!auth\n!hang 58\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 56
    check "timed out" has "status 9: Data sending timed out after 50 seconds." "$work/agent.out"
    ;;
  stop-while-hanging)  # the stop does not wait for a hanging exchange
    gateway '!auth\n!hang 40\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 4
    check "stopped in order" has "status 4: All monitors are stopped." "$work/agent.out"
    check "no time-out reported" bash -c "! grep -q 'timed out' '$work/agent.out'"
    check "ended within 20 s of the stop (took $agent_seconds s)" [ "$agent_seconds" -lt 24 ]
    ;;
  custom-api)  # credentials from nothing, a job list, code 5 re-registers; timestamps in UTC
    printf '<job><id>3</id><type>add</type><plugin><name>P</name></plugin><monitor><id>9</id><runnerFile>r.bat</runnerFile></monitor></job>\n' >"$work/jobs.xml"
    gateway '' --key KEY-IT-1 --api-key KEY-IT-1 --jobs "$work/jobs.xml" --api-fault "getJobs #1: code 5"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    reg add 'HKLM\SOFTWARE\Halvren\Settings' /v APIHost /t REG_SZ /d "http://127.0.0.1:$port/api"
    TZ=America/New_York run_agent 14
    grep '^api' "$work/gateway.out"
    actions=$(grep -o '^api [0-9]*: [a-zA-Z]*' "$work/gateway.out" | cut -d' ' -f3 | head -6 | paste -sd, -)
    check "requests in order ($actions)" [ "$actions" = "apikey,authToken,addAgent,getJobs,addAgent,getJobs" ]
    check "first getJobs answered code 5" grep -q '^api 4: getJobs, GET, status 200, code 5' "$work/gateway.out"
    check "the second getJobs carries the new agent ID" \
      bash -c "grep '\"action\":\"getJobs\"' '$work/exchanges.jsonl' | tail -1 | grep -q 'agentId=1002&'"
    check "timestamp in UTC" has "addAgent, POST, status 200, code 0, timestamp ok" "$work/gateway.out"
    check "job list received" has "status 3: Received 1 job(s) [1]" "$work/agent.out"
    check "no failure line" bash -c "! grep -q 'Failed getting' '$work/agent.out'"
    for v in APIKey SecretKey AuthToken AgentID; do
      check "registry holds $v" bash -c "'$wine_run' --timeout 60 reg query 'HKLM\SOFTWARE\Halvren\Agent' /v $v 2>/dev/null | grep -q $v"
    done
    ;;
  custom-hang)  # the console ends soon after its input closes while a job fetch hangs
    gateway '' --key KEY-IT-1 --api-fault "getJobs #1: hang 120"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    reg add 'HKLM\SOFTWARE\Halvren\Settings' /v APIHost /t REG_SZ /d "http://127.0.0.1:$port/api"
    run_agent 12
    check "the fetch was hanging" grep -q 'getJobs, GET, .*hang 120 s' "$work/gateway.out"
    check "stopped in order" has "status 4: All monitors are stopped." "$work/agent.out"
    check "no failure line" bash -c "! grep -q 'Failed getting' '$work/agent.out'"
    check "ended within 10 s of its input closing (took $agent_seconds s of 12)" [ "$agent_seconds" -lt 22 ]
    ;;
  custom-plugin)  # an add job downloads, unpacks and runs its plugin; a run job reports; a bad name is refused
    mkdir -p "$work/files"
    python3 - "$work/files/demo.zip" <<'ZIP'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("run.bat", "@echo off\r\necho cpu=5 mem=[1 2] 'disk free'=7\r\n")
    z.writestr("tools/setup.bat", "@echo off\r\necho set up\r\n")
ZIP
    gateway '' --key KEY-IT-1 --api-key KEY-IT-1 --jobs "$work/jobs.xml" --files "$work/files"
    url="http://127.0.0.1:$port/files/demo.zip"
    {
      printf '<job><id>3</id><type>add</type><interval>1</interval><plugin><name>demo</name><downloadUrl>%s</downloadUrl>' "$url"
      printf '<setupFile>tools\\setup.bat</setupFile></plugin><monitor><id>9</id><runnerFile>run.bat</runnerFile><paramsString>-x</paramsString></monitor></job>\n'
      printf '<job><id>4</id><type>run</type><plugin><name>demo</name><downloadUrl>%s</downloadUrl></plugin>' "$url"
      printf '<params><command>run.bat</command></params></job>\n'
      printf '<job><id>5</id><type>add</type><plugin><name>..</name></plugin><monitor><id>10</id><runnerFile>run.bat</runnerFile></monitor></job>\n'
    } >"$work/jobs.xml"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    reg add 'HKLM\SOFTWARE\Halvren\Settings' /v APIHost /t REG_SZ /d "http://127.0.0.1:$port/api"
    # A fresh install each run: the plugin folder lives in the prefix.
    prefix=${WINEPREFIX:-$(dirname "$agent")/../wineprefix}
    rm -rf "$prefix"/drive_c/users/*/AppData/Roaming/Halvren/Plugins/demo
    cmlog() { cat "$prefix"/drive_c/ProgramData/Halvren/logs/moncustmon_*.log 2>/dev/null; }
    fetched=$(cmlog | grep -ac 'DownloadPlugin(demo): Received')
    run_agent 25
    grep -A3 -E '^api [0-9]+: (addResult|deleteJob)' "$work/gateway.out"
    check "the archive was fetched and unpacked by the tool" [ "$(cmlog | grep -ac 'DownloadPlugin(demo): Received')" -gt "$fetched" ]
    check "the runner was unpacked" bash -c "ls '$prefix'/drive_c/users/*/AppData/Roaming/Halvren/Plugins/demo/run.bat >/dev/null"
    check "addResult carries the parsed pairs" has "decoded 'results=cpu:5;mem:[1 2];disk free:7;'" "$work/gateway.out"
    check "the run job's deletion carries its output" grep -q "decoded 'status=cpu=5 mem=\[1 2\]" "$work/gateway.out"
    check "a bad plugin name is an error result" has "decoded 'results=error:Invalid%20plugin%20name%3A%20%27%2E%2E%27'" "$work/gateway.out"
    check "no failure line" bash -c "! grep -q 'Failed sending' '$work/agent.out'"
    check "stopped in order" has "status 4: All monitors are stopped." "$work/agent.out"
    ;;
  custom-codes)  # addResult refused with 4 (renew, post again) and 7 (monitor removed); update and run jobs report
    {
      printf '<job><id>3</id><type>add</type><plugin><name>P</name></plugin><monitor><id>9</id><runnerFile>r.bat</runnerFile></monitor></job>\n'
      printf '<job><id>4</id><type>add</type><plugin><name>Q</name></plugin><monitor><id>10</id><runnerFile>r.bat</runnerFile></monitor></job>\n'
      printf '<job><id>5</id><type>update_plugin</type><plugin><name>never-installed</name><downloadUrl>http://127.0.0.1:1/x.zip</downloadUrl></plugin></job>\n'
      printf '<job><id>6</id><type>run</type><plugin><name></name></plugin><params><command>cmd.exe /c exit 3</command></params></job>\n'
    } >"$work/jobs.xml"
    gateway '' --key KEY-IT-1 --api-key KEY-IT-1 --jobs "$work/jobs.xml" \
      --api-fault "addResult #1: code 4" --api-fault "addResult #3: code 7"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    reg add 'HKLM\SOFTWARE\Halvren\Settings' /v APIHost /t REG_SZ /d "http://127.0.0.1:$port/api"
    run_agent 20
    grep -E '^api [0-9]+: (addResult|deleteJob|authToken)' "$work/gateway.out"
    check "code 4 renewed the token" has "status 3: Received New Auth token." "$work/agent.out"
    check "the refused result went again" [ "$(grep -cE '^api [0-9]+: addResult' "$work/gateway.out")" -ge 3 ]
    check "code 7 removed the monitor" has "Received invalid monitor id error. Removing job (monitorID: " "$work/agent.out"
    check "the update job was reported" grep -q "jobIds='5'" "$work/gateway.out"
    check "the run job was reported" grep -q "jobIds='6'" "$work/gateway.out"
    check "an error result says the script is missing" has "decoded 'results=error:Plugin%20script%20was%20not%20found'" "$work/gateway.out"
    check "stopped in order" has "status 4: All monitors are stopped." "$work/agent.out"
    ;;
  custom-off)  # no APIHost: no custom monitors, one line, no failures
    gateway '' --key KEY-IT-1
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 10
    check "said once" [ "$(grep -c 'Custom monitors are off: APIHost is not set.' "$work/agent.out")" -eq 1 ]
    check "no failure line" bash -c "! grep -q 'Failed getting' '$work/agent.out'"
    check "no API request" bash -c "! grep -q '^api' '$work/gateway.out'"
    ;;
  monitor-results)  # results of a monitor reach the gateway through the worker's cache
    gateway '' --key KEY-IT-1
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    "$wine_run" --timeout 90 "$program" >"$work/program.out" 2>"$work/program.err"
    program_rc=$?
    kill -TERM $gw 2>/dev/null; wait $gw 2>/dev/null
    cat "$work/program.out"; grep -E '^(exchange|record)' "$work/gateway.out"
    check "program passed" [ "$program_rc" -eq 0 ]
    check "gateway decoded test 41" has "| UI32: '999' | UI32: '41' | UI32: '7' " "$work/gateway.out"
    check "gateway decoded test 42" grep -q "UI32: '42' .*D64: '99.250000'" "$work/gateway.out"
    check "the body was compressed and checksummed" grep -q "Mon-CheckSum='[1-9][0-9]*' Mon-Compression='[1-9]" \
      "$work/gateway.out"
    ;;
  monitors)  # a CPU and a memory test from the first reply: a pass of each reaches the gateway
    gateway 'POL\t0\t2\nCUA\t101\t7\t-1\t-1\t-1\t-1\t-1\nMMA\t102\t7\t99999999\t-1\t-1\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 14
    cpu=$(grep -m1 '^record: .*(CPU) ' "$work/gateway.out")
    mem=$(grep -m1 '^record: .*(MEM) ' "$work/gateway.out")
    check "a CPU record reached the gateway" [ -n "$cpu" ]
    check "a memory record reached the gateway" [ -n "$mem" ]
    top() { sed 's/\\r\\n    SUB .*//' <<<"$1"; }  # the record without its nested records
    ui32s() { top "$1" | grep -o "UI32: '[0-9]*'" | cut -d"'" -f2 | paste -sd, -; }
    d64() { top "$1" | grep -o "D64: '[^']*'" | sed -n "$2p" | cut -d"'" -f2; }
    within() { awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "" && v >= lo && v <= hi) }'; }
    check "CPU record: type, test, lid, status 0 ($(ui32s "$cpu"))" [ "$(ui32s "$cpu")" = "44,101,7,0" ]
    check "CPU usage $(d64 "$cpu" 1) within 0..100" within "$(d64 "$cpu" 1)" 0 100
    check "kernel usage $(d64 "$cpu" 2) within 0..usage" within "$(d64 "$cpu" 2)" 0 "$(d64 "$cpu" 1)"
    check "CPU text" has "CPU usage is within acceptable limits" <(echo "$cpu")
    processors=$(grep -m1 -o 'mon_cpu: tid: 101, lid: 7, cpu_count: [0-9]*' "$work/agent.out" | grep -o '[0-9]*$')
    check "one nested record per processor (${processors:-?})" \
      [ "$(grep -o '    SUB ' <<<"$cpu" | wc -l)" = "${processors:-x}" ]
    check "memory record: type, test, lid, status 2 ($(ui32s "$mem"))" [ "$(ui32s "$mem")" = "47,102,7,2" ]
    total_mb=$(awk '/^MemTotal:/ { print $2 / 1024 }' /proc/meminfo)
    check "total physical $(d64 "$mem" 2) MB against MemTotal $total_mb MB" \
      within "$(d64 "$mem" 2)" "$(awk -v t="$total_mb" 'BEGIN { print t * 0.99 }')" \
      "$(awk -v t="$total_mb" 'BEGIN { print t * 1.01 }')"
    check "free physical $(d64 "$mem" 1) MB within 0..total" within "$(d64 "$mem" 1)" 0 "$(d64 "$mem" 2)"
    check "free virtual $(d64 "$mem" 7) MB within 0..total $(d64 "$mem" 8)" within "$(d64 "$mem" 7)" 0 "$(d64 "$mem" 8)"
    check "page file not measured locally" [ "$(d64 "$mem" 3),$(d64 "$mem" 4)" = "-1.000000,-1.000000" ]
    check "memory minimum fired" has "Physical memory free size: " <(echo "$mem")
    check "memory minimum shown" has "/ Min value: 99999999" <(echo "$mem")
    ;;
  disk-proc)  # drive and process tests measured for real; the inventories sent once, and again after RPL
    # services.exe is Wine's service manager: it runs as long as the prefix does.
    gateway 'POL\t0\t2\nDKA\t101\t5\tC\t0.001\nPRA\t102\t6\t-1\t-1\t-1\tservices.exe\nPRA\t103\t7\t-1\t-1\t-1\tHalvren.exe\n\nRPL\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 20
    records=$work/records.txt
    grep '^record: ' "$work/gateway.out" >"$records"
    echo "--- records"; cat "$records"
    # The D64 values of a printed record, one a line, nested records' included.
    d64s() { grep -o "D64: '[^']*'" | cut -d"'" -f2; }
    above_zero() { awk -v v="$1" 'BEGIN { exit !(v > 0) }'; }
    list_has() { grep -F "($1)" "$records" | grep -qF -- "$2"; }

    drive=$(grep -m1 -F "(DRIVE) | UI32: '101' | UI32: '5' | UI32: '0' " "$records")
    check "drive C within limits" has "STR: 'Drive: C free space is within acceptable limits.\\n'" <(echo "$drive")
    total=$(d64s <<<"$drive" | sed -n 2p)  # free, total
    check "drive C has a size (${total:-none} GB)" above_zero "${total:-0}"
    for t in 102:services.exe 103:Halvren.exe; do
      id=${t%%:*} name=${t#*:}
      proc=$(grep -m1 "(PROC) | UI32: '$id' | UI32: '[0-9]*' | UI32: '0' " "$records")
      wss=$(d64s <<<"$proc" | sed -n 2p)  # cpu, wss, pfs of the first instance
      check "$name running, working set ${wss:-none} MB" above_zero "${wss:-0}"
    done
    check "drive list names C" list_has DRIVELIST "C\\t"
    check "process list names both" bash -c "grep -F '(PROCLIST)' '$records' | grep -F 'services.exe\\t' | grep -qF 'Halvren.exe\\t'"
    # The drives do not change: the list goes once at the start and once after RPL.
    check "drive list sent twice ($(grep -cF '(DRIVELIST)' "$records"))" [ "$(grep -cF '(DRIVELIST)' "$records")" -eq 2 ]
    ;;
  many-tests)  # 20,000 CPU tests in one reply: the monitor keeps 10,000 and the exchanges go on
    tests=$(for id in $(seq 20000); do printf 'CUA\\t%d\\t1\\t-1\\t-1\\t-1\\t-1\\t-1\\n' "$id"; done)
    gateway "POL\t0\t2\n$tests"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway" Trace=0
    run_agent 30 >/dev/null
    check "test 10001 refused" has "status 10: mon_cpu: test 10001 refused: the monitor holds 10000 tests." \
      "$work/agent.out"
    check "test 10000 added" has "status 10: mon_cpu: test 10000 added." "$work/agent.out"
    highest=$(grep -o "(CPU) | UI32: '[0-9]*'" "$work/gateway.out" | grep -o "[0-9]*'$" | tr -d "'" |
      sort -n | tail -1)
    check "CPU results only up to test 10000 (highest ${highest:-none})" [ "${highest:-0}" -ge 1 -a "${highest:-0}" -le 10000 ]
    check "exchanges go on ($(data_count))" [ "$(data_count)" -ge 3 ]
    ;;
  blank-session | cr-session)  # a session id with a blank or a bare CR is no session
    [ "$scenario" = blank-session ] && value='a b' || value='s\\rX-Injected: 1'
    gateway "!auth\n!session $value\n"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 6
    check "not authorised" bash -c "! grep -q 'status 3' '$work/agent.out'"
    check "no data exchange" [ "$(data_count)" -eq 0 ]
    ;;
  zero-byte)  # a reply body ends at its first zero byte: "111111\0x" ends the session
    gateway 'POL\t0\t1\n\n111111\\0x\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 10
    auths=$(grep -c '^exchange .*: auth' "$work/gateway.out")
    check "the session ended and the agent authorised again ($auths authorisations)" [ "$auths" -ge 2 ]
    ;;
  http-proxy)  # a Proxy stored before the start: an HTTP test's request goes through it
    python3 "$(dirname "$0")/http_peers.py" --work "$work/peers" --lifetime 120 --proxy-log "$work/proxy.log" \
      >"$work/peers.out" 2>"$work/peers.err" &
    peers=$!
    trap 'kill -TERM $peers 2>/dev/null' EXIT
    for _ in $(seq 200); do grep -q '^http=' "$work/peers.out" 2>/dev/null && break; sleep 0.1; done
    read -r web _ proxy <<<"$(sed 's/[a-z]*=//g' "$work/peers.out")"
    # The host does not resolve: only the proxy reaches the web server.
    gateway "POL\t0\t2\nHPA\t201\t7\tpeer.halvren.invalid\t/text\t$web\tneedle\t\t\t\t20\t0\t0\t1\t1\t0\n"
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Proxy /t REG_SZ /d "127.0.0.1:$proxy"
    run_agent 26
    kill -TERM $peers 2>/dev/null; wait $peers 2>/dev/null; trap - EXIT
    echo "--- proxy"; cat "$work/proxy.log" 2>/dev/null
    check "the request went through the proxy" has "GET http://peer.halvren.invalid:$web/text" "$work/proxy.log"
    check "the HTTP result reached the gateway" grep -q "(HTTP) | UI32: '201' | UI32: '7' | UI32: '0' .*String found." \
      "$work/gateway.out"
    check "no adapter query failed" bash -c "! grep -q 'mon_net: FillNetAdapterList.' '$work/agent.out'"
    check "no adapter list sent (Wine lists none)" bash -c "! grep -qF '(NETLIST)' '$work/gateway.out'"
    check "the adapter list was found empty" has "mon_net: Adapter list is" "$work/agent.out"
    ;;
  event-log)  # an unreadable remote log gives an error record at every check; the local log nothing new
    gateway 'POL\t0\t2\nCHK\t0\t10\nLEA\t5\t9\thalvren-no-such-host\tApplication\t1,2\nLEA\t6\t9\tlocalhost\tApplication\t1,2\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    run_agent 36
    text=$(grep -m1 -o 'mon_evt: error openning event log: .*' "$work/agent.out" | sed 's/^mon_evt: error openning event log: //' | tr -d '\r')
    remote=$(grep -c 'mon_evt: checking testID:5, locationID:9' "$work/agent.out")
    local_checks=$(grep -c 'mon_evt: checking testID:6, locationID:9' "$work/agent.out")
    errors=$(grep -c "^record: .*(EVENT) | UI32: '5' | UI32: '9' | UI32: '2' .*STR: '$text'" "$work/gateway.out")
    check "the remote open failed with a text (${text:-none})" [ -n "$text" ]
    check "the remote test was checked ($remote times)" [ "$remote" -ge 2 ]
    check "an error record with that text for every check ($errors of $remote)" [ "$errors" -eq "$remote" ]
    check "no record of the local test" bash -c "! grep -q \"(EVENT) | UI32: '6' \" '$work/gateway.out'"
    check "no new events at every local check ($local_checks)" \
      [ "$local_checks" -ge 2 -a "$(grep -c 'mon_evt: no new events' "$work/agent.out")" -eq "$local_checks" ]
    ;;
  reset-body)  # a reply reset part-way through its body is reported and not executed
    gateway 'POL\t0\t2\n\n!reset\nPOL\t0\t30\nCUA\t101\t7\t-1\t-1\t-1\t-1\t-1\nCUA\t102\t7\t-1\t-1\t-1\t-1\t-1\n'
    registry key "http://127.0.0.1:$port/fcgi-bin/agentgateway"
    logs=${WINEPREFIX:-$(dirname "$wine_run")/../build/win64/wineprefix}/drive_c/ProgramData/Halvren/logs
    cat "$logs"/monintagent_*.log 2>/dev/null | wc -c >"$work/log-size"
    run_agent 14
    check "the reset reply was sent" has ', reset' "$work/gateway.out"
    # Within 120 s of the authorisation a failure reaches the log, not the listeners.
    cat "$logs"/monintagent_*.log 2>/dev/null | tail -c +$(( $(cat "$work/log-size") + 1 )) >"$work/agent.log"
    check "the cut reply logged, not executed" grep -qa "Reply cut after '[0-9]*' of '[0-9]*' bytes" "$work/agent.log"
    check "the batch counted as delivered: no outage seen" \
      bash -c "! grep -q 'Connection to server re-established' '$work/agent.out'"
    # Had "POL 0 30" of the cut body been run, no exchange would follow for 30 s.
    after=$(sed -n '/, reset$/,$p' "$work/gateway.out" | grep -c '^exchange .*: data')
    check "exchanges go on every 2 s after it ($((after - 1)))" [ "$after" -ge 3 ]
    check "no test of the cut body runs" bash -c "! grep -q '(CPU)' '$work/gateway.out'"
    ;;
  *) echo "unknown scenario $scenario" >&2; exit 2 ;;
esac
exit $fail
