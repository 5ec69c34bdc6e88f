#!/usr/bin/env bash
# The agent as a real service and COM server under Wine, in a prefix of its
# own, installed into C:\Program Files\Halvren beside its zip tool:
#   agent_service.sh DEVGATEWAY WINE_RUN DIST CONTROL_CLIENT WORK_FOLDER
# Wine's sc has no "qc" and QueryServiceConfigW gives no dependencies, so the
# service's configuration is read from its registry key. Wine sends a STOP
# during START_PENDING and ends a service given a second STOP: every stop here
# waits for RUNNING and stops once.
set -u
devgateway=$1 wine_run=$2 dist=$(realpath "$3") client=$(realpath "$4") work=$(realpath -m "$5")
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
. "$(dirname "$0")/checks.sh"
own_prefix "$work"
started_pids=
trap 'for p in $started_pids; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; leave_prefix' EXIT
alive() { kill -0 "$1" 2>/dev/null; }
all_ok() { [ "$(grep -c '^ok' "$1")" -ge "$2" ] && ! grep -q FAIL "$1"; }
stop_seconds() {  # sc stop, then the seconds until STOPPED (99 when not within 20)
  local start=$(date +%s%N)
  w sc stop Halvren >/dev/null
  wait_state STOPPED 20 || { echo 99; return; }
  echo $(( ($(date +%s%N) - start) / 1000000000 ))
}

start_wineserver
inst="$WINEPREFIX/drive_c/Program Files/Halvren"
exe='C:\Program Files\Halvren\Halvren.exe'
mkdir -p "$inst" && cp "$dist"/* "$inst/"
logs=$WINEPREFIX/drive_c/ProgramData/Halvren/logs

"$devgateway" --port 0 --port-file "$work/port" --plan /dev/null --key KEY-IT-1 --name agent-it --seconds 500 \
  >"$work/gateway.out" 2>&1 &
gw=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
# What the installer writes: the install path, and the agent's settings.
reg add 'HKLM\SOFTWARE\Halvren' /ve /t REG_SZ /d 'C:\Program Files\Halvren'
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "http://127.0.0.1:$port/fcgi-bin/agentgateway"
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it

echo "--- install"
"$wine_run" --timeout 60 "$exe" -Service >"$work/install.out" 2>&1
check "-Service exits 0" [ $? -eq 0 ]
svc='HKLM\System\CurrentControlSet\Services\Halvren'
check "ImagePath quoted" value_is "$svc" ImagePath '"C:\Program Files\Halvren\Halvren.exe"'
check "Start automatic" value_is "$svc" Start 0x2
check "Type own process + interactive" value_is "$svc" Type 0x110
check "ObjectName LocalSystem" value_is "$svc" ObjectName LocalSystem
check "Description" value_is "$svc" Description "Internal monitoring tool."
check "DependOnService RPCSS" value_is "$svc" DependOnService RPCSS
check "DisplayName" value_is "$svc" DisplayName Halvren
clsid='HKCR\CLSID\{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}'
appid='HKCR\AppID\{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}'
check "LocalServer32 quoted" value_is "$clsid\\LocalServer32" '(Default)' '"C:\Program Files\Halvren\Halvren.exe"'
check "CLSID AppID" value_is "$clsid" AppID '{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}'
check "CLSID ProgID" value_is "$clsid\\ProgID" '(Default)' Halvren.1
check "CLSID VersionIndependentProgID" value_is "$clsid\\VersionIndependentProgID" '(Default)' Halvren
check "CLSID TypeLib" value_is "$clsid\\TypeLib" '(Default)' '{A1266868-32A7-42E8-93FD-3815748268AF}'
check "CLSID Programmable" key_exists "$clsid\\Programmable"
check "ProgID Halvren.1" value_is 'HKCR\Halvren.1\CLSID' '(Default)' '{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}'
check "ProgID Halvren CurVer" value_is 'HKCR\Halvren\CurVer' '(Default)' Halvren.1
check "AppID name" value_is "$appid" '(Default)' Halvren
check "AppID LocalService" value_is "$appid" LocalService Halvren
check "AppID by program name" value_is 'HKCR\AppID\Halvren.EXE' AppID '{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}'
evt='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Halvren'
check "EventMessageFile unquoted" value_is "$evt" EventMessageFile 'C:\Program Files\Halvren\Halvren.exe'
check "TypesSupported" value_is "$evt" TypesSupported 0x7
check "type library registered" key_exists 'HKCR\TypeLib\{A1266868-32A7-42E8-93FD-3815748268AF}\1.0\0\win64'
check "a registration builds no worker: no gateway request" [ "$(grep -c '^exchange' "$work/gateway.out")" -eq 0 ]
check "... and writes no dump" [ -z "$(ls "$logs"/monintagent_*.log 2>/dev/null)" ]

echo "--- start"
w sc start Halvren >/dev/null
check "sc start: RUNNING" wait_state RUNNING 30
authorised() {
  for _ in $(seq 150); do grep -q '^exchange .*: auth' "$work/gateway.out" && return 0; sleep 0.2; done
  return 1
}
check "the service authorises with the gateway" authorised

echo "--- COM"
cw() { T=90 w "$client" "$@"; }
cw identity | tee "$work/identity.out"
check "identity" all_ok "$work/identity.out" 2
cw validate >"$work/validate.out"; grep FAIL "$work/validate.out"
check "validation through the vtable and Invoke" all_ok "$work/validate.out" 20
cw handler | tee "$work/handler.out"
check "a handler calling back returns" all_ok "$work/handler.out" 3

# Two listeners and one that dies; every event reaches both, in order.
rm -f "$work"/ready.*
"$wine_run" --timeout 90 "$client" listen 12 60 'Z:'"${work//\//\\}"'\ready.a' >"$work/listen.a" 2>/dev/null &
la=$!
"$wine_run" --timeout 90 "$client" listen 12 60 'Z:'"${work//\//\\}"'\ready.b' >"$work/listen.b" 2>/dev/null &
lb=$!
"$wine_run" --timeout 90 "$client" die 'Z:'"${work//\//\\}"'\ready.c' >/dev/null 2>&1
for _ in $(seq 200); do [ -e "$work/ready.a" ] && [ -e "$work/ready.b" ] && break; sleep 0.1; done
cw trigger 12 KEY-IT-1 agent-it >/dev/null
wait $la; ra=$?
wait $lb; rb=$?
expected=$(for i in $(seq 0 11); do [ $((i % 2)) -eq 0 ] && echo "event 6 New Proxy Server will be used for HTTP connections." || echo "event 7 Registration info will be set after server approval."; done)
in_order() { [ "$1" -eq 0 ] && [ "$(tr -d '\r' <"$2" | grep '^event [67] ')" = "$expected" ]; }
check "client A gets every event, in order" in_order $ra "$work/listen.a"
check "client B gets every event, in order" in_order $rb "$work/listen.b"
check "the dead client's sink was unadvised" eventually 5 grep -qs "event sink is gone; unadvised" "$logs"/monintagent_*.log

echo "--- cscript"
mkdir -p "$WINEPREFIX/drive_c/t"
cat >"$WINEPREFIX/drive_c/t/register.vbs" <<'VBS'
On Error Resume Next
Set o = CreateObject("Halvren")
o.Register String(257, "k"), 5
WScript.Echo Hex(Err.Number) & " " & Err.Description
Err.Clear
k = "KEY-IT-1" : n = "agent-it"
o.Register k, n
WScript.Echo "byref " & Hex(Err.Number)
Err.Clear
p = o.CollectLogs()
WScript.Echo "collect " & Hex(Err.Number) & " " & p
VBS
w cscript //nologo 'C:\t\register.vbs' >"$work/cscript.out"; cat "$work/cscript.out"
check "Register of 257 characters" grep -qx "80004005 The length of the Agent Key cannot be 0 or more than 256 symbols." "$work/cscript.out"
check "Register with variables (by reference)" grep -qx "byref 0" "$work/cscript.out"
zip=$(sed -n 's/^collect 0 C:\\ProgramData\\Halvren\\logs\\\(monlogs_[0-9_]*\.zip\)$/\1/p' "$work/cscript.out")
holds_agent_log() {
  [ -n "$zip" ] || return 1
  python3 - "$logs/$zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    names = z.namelist()
    sys.exit(0 if any(n.startswith("monintagent_") and "/" not in n for n in names) else 1)
PY
}
check "CollectLogs returns a zip holding the agent log" holds_agent_log
check "... and no collect folder is left" [ -z "$(find "$logs" -maxdepth 1 -type d -name 'monlogs_*')" ]

echo "--- reinstall over the running service"
"$wine_run" --timeout 120 "$exe" -Service >"$work/reinstall.out" 2>&1
check "-Service over the RUNNING service exits 0" [ $? -eq 0 ]
check "... and the service is still installed" value_is "$svc" Start 0x2
w net start Halvren >/dev/null
check "... and net start runs it again" wait_state RUNNING 30

echo "--- stop with a sink that never returns, and the front-end rule"
mkdir -p "$WINEPREFIX/drive_c/other"
cp "$client" "$inst/Controller.exe"
cp "$client" "$WINEPREFIX/drive_c/other/Controller.exe"
"$wine_run" --timeout 120 'C:\Program Files\Halvren\Controller.exe' sleep 100 >/dev/null 2>&1 &
inside=$!
"$wine_run" --timeout 120 'C:\other\Controller.exe' sleep 100 >/dev/null 2>&1 &
outside=$!
started_pids="$inside $outside"
rm -f "$work/ready.block"
"$wine_run" --timeout 120 "$client" block 'Z:'"${work//\//\\}"'\ready.block' >/dev/null 2>&1 &
blocker=$!
started_pids="$started_pids $blocker"
for _ in $(seq 200); do [ -e "$work/ready.block" ] && break; sleep 0.1; done
sleep 2
cw trigger 1 KEY-IT-1 agent-it >/dev/null  # the blocker is now inside its event
secs=$(stop_seconds)
check "sc stop reaches STOPPED within 11 s with a sink blocked ($secs s)" [ "$secs" -le 11 ]
check "the stop's lines" eventually 5 grep -qs "Stopping service... Install path: 'C:\\\\Program Files\\\\Halvren'" "$logs"/monintagent_*.log
sleep 1
check "the install folder's Controller.exe was ended" not alive "$inside"
check "another folder's Controller.exe runs on" alive "$outside"
kill "$blocker" "$outside" 2>/dev/null; wait "$blocker" "$outside" "$inside" 2>/dev/null
started_pids=

echo "--- start and stop at once, 10 rounds"
quick=0
for i in $(seq 10); do
  w sc start Halvren >/dev/null
  secs=$(stop_seconds)
  [ "$secs" -le 11 ] || { echo "round $i: $secs s"; quick=1; }
done
check "10 immediate stops each end within 11 s" [ $quick -eq 0 ]

echo "--- RegServer over the installed service"
"$wine_run" --timeout 120 "$exe" -RegServer >/dev/null 2>&1
check "-RegServer exits 0" [ $? -eq 0 ]
check "... removes the service" key_gone "$svc"
no_local_service() { ! query "$appid" /v LocalService | grep -q LocalService; }
check "... and LocalService" no_local_service
check "... keeps the class" key_exists "$clsid\\LocalServer32"

echo "--- the manifest: Windows 10 when Wine plays it"
reg add 'HKCU\Software\Wine\AppDefaults\Halvren.exe' /v Version /t REG_SZ /d win10
sleep 4 | "$wine_run" --timeout 60 "$exe" -console >"$work/console.out" 2>&1
check "the dump's OS Version reads Windows 10" eventually 5 grep -qs "OS Version: 'Microsoft Windows 10" "$logs"/monintagent_*.log

echo "--- the plain local server"
ours_running() {  # a Halvren.exe of this prefix is running
  local p
  for p in $(pgrep -f 'Halvren\.exe'); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
cw identity >"$work/local.out"
check "COM starts the program as a local server" all_ok "$work/local.out" 2
check "... which ends soon after its last client" eventually 15 not ours_running

echo "--- per-user registration"
uclsid='HKCU\Software\Classes\CLSID\{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}'
"$wine_run" --timeout 120 "$exe" -RegServerPerUser >/dev/null 2>&1
check "-RegServerPerUser exits 0" [ $? -eq 0 ]
check "... registers the class for the user" value_is "$uclsid\\LocalServer32" '(Default)' '"C:\Program Files\Halvren\Halvren.exe"'
"$wine_run" --timeout 120 "$exe" -UnregServerPerUser >/dev/null 2>&1
check "-UnregServerPerUser exits 0" [ $? -eq 0 ]
check "... and removes it" key_gone "$uclsid"

echo "--- UnregServer"
"$wine_run" --timeout 120 "$exe" -UnregServer >/dev/null 2>&1
check "-UnregServer exits 0" [ $? -eq 0 ]
for k in "$svc" "$clsid" 'HKCR\Halvren' 'HKCR\Halvren.1' "$appid" 'HKCR\AppID\Halvren.EXE' \
         'HKCR\TypeLib\{A1266868-32A7-42E8-93FD-3815748268AF}' "$evt"; do
  check "gone: $k" key_gone "$k"
done
for k in 'HKCR\CLSID' 'HKCR\AppID' 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'; do
  check "kept: $k" key_exists "$k"
done
exit $fail
