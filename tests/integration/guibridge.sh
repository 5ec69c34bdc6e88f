#!/usr/bin/env bash
# GuiBridge.dll under Wine, in a prefix of its own, installed beside the agent:
#   guibridge.sh WINE_RUN DIST CLIENT WORK_FOLDER
# regsvr32 and its keys, the type library, cscript with the agent absent, as a
# local server and as a service, and the compiled client (events, the
# stand-in agent in process, the agent's end).
set -u
wine_run=$1 dist=$(realpath "$2") client=$(realpath "$3") work=$(realpath -m "$4")
. "$(dirname "$0")/checks.sh"
own_prefix "$work"
bg=
trap '[ -n "$bg" ] && kill "$bg" 2>/dev/null && wait "$bg" 2>/dev/null; leave_prefix' EXIT
client_ok() {  # the client's output file: no FAIL, and its exit code was 0
  cat "$1"; ! grep -q '^FAIL' "$1" && grep -q '^ok' "$1"
}

start_wineserver
inst="$WINEPREFIX/drive_c/Program Files/Halvren"
dll='C:\Program Files\Halvren\GuiBridge.dll'
exe='C:\Program Files\Halvren\Halvren.exe'
mkdir -p "$inst" "$WINEPREFIX/drive_c/t" && cp "$dist"/* "$inst/" && cp "$client" "$WINEPREFIX/drive_c/t/client.exe"
runclient() { "$wine_run" --timeout 120 'C:\t\client.exe' "$@" 2>/dev/null | tr -d '\r'; }
reg add 'HKLM\SOFTWARE\Halvren' /ve /t REG_SZ /d 'C:\Program Files\Halvren'
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "http://127.0.0.1:9/fcgi-bin/agentgateway"

echo "--- regsvr32"
"$wine_run" --timeout 60 regsvr32 /s "$dll" >/dev/null 2>&1
check "regsvr32 exits 0" [ $? -eq 0 ]
clsid='HKCR\CLSID\{1FEDCC5E-D7DD-4656-BD5D-E3B7C02DDA24}'
appid='{0FA01E62-0618-4CB7-8A39-F333E919182D}'
while IFS='|' read -r key value expected; do
  check "$key $value = $expected" value_is "$key" "$value" "$expected"
done <<EOF_KEYS
HKCR\\AppID\\$appid|(Default)|GuiBridge
HKCR\\AppID\\GuiBridge.DLL|AppID|$appid
HKCR\\Halvren.IEConnecter.1|(Default)|IEConnecter Class
HKCR\\Halvren.IEConnecter.1\\CLSID|(Default)|{1FEDCC5E-D7DD-4656-BD5D-E3B7C02DDA24}
HKCR\\Halvren.IEConnecter|(Default)|IEConnecter Class
HKCR\\Halvren.IEConnecter\\CLSID|(Default)|{1FEDCC5E-D7DD-4656-BD5D-E3B7C02DDA24}
HKCR\\Halvren.IEConnecter\\CurVer|(Default)|Halvren.IEConnecter.1
$clsid|(Default)|IEConnecter Class
$clsid|AppID|$appid
$clsid\\ProgID|(Default)|Halvren.IEConnecter.1
$clsid\\VersionIndependentProgID|(Default)|Halvren.IEConnecter
$clsid\\InprocServer32|(Default)|$dll
$clsid\\InprocServer32|ThreadingModel|Free
$clsid\\TypeLib|(Default)|{74E61E86-D70A-464B-89A4-AA16465FB483}
EOF_KEYS
check "$clsid\\Programmable exists" key_exists "$clsid\\Programmable"
check "no safe-for-scripting categories" key_gone "$clsid\\Implemented Categories"

echo "--- type library"
runclient typelib >"$work/typelib.out"
check "type library read back" client_ok "$work/typelib.out"

cat >"$WINEPREFIX/drive_c/t/calls.vbs" <<'VBS'
On Error Resume Next
Sub Show(what)
  WScript.Echo what & " " & Hex(Err.Number) & " " & Err.Description
  Err.Clear
End Sub
Set o = CreateObject("Halvren.IEConnecter")
Show "create"
s = o.GetStatus() : Show "status"
o.Register 12, "n" : Show "intkey"
o.Register String(257, "k"), "n" : Show "longkey"
o.Register "KEY-BR-1", "" : Show "emptyname"
k = "KEY-BR-1" : n = "bridge-it"
o.Register k, n : Show "byref"
WScript.Echo "key " & o.GetRegisteredAgentKey() & " name " & o.GetRegisteredName()
Err.Clear
p = "proxy.example:3128"
o.SetProxy p : Show "setproxy"
WScript.Echo "proxy " & o.GetProxy()
Err.Clear
o.StartWork : Show "startwork"
o.StopWork : Show "stopwork"
o.GetCurrentTestsList 1 : Show "tests"
o.GetRegisteredEMail : Show "email"
o.UnRegister : Show "unregister"
o.IsTraceOn : Show "traceon"
o.SetTrace True : Show "settrace"
o.GetTracePath : Show "tracepath"
o.CollectLogs : Show "collect"
VBS
calls() { T=90 w cscript //nologo 'C:\t\calls.vbs' >"$work/$1.out"; cat "$work/$1.out"; }

echo "--- cscript, no agent registered"
calls absent
check "creation succeeds" grep -qx "create 0 " "$work/absent.out"
check "every method gives E_FAIL" [ "$(grep -c '^[a-z]* 80004005 $' "$work/absent.out")" -eq 15 ]

echo "--- in process, a stand-in agent"
runclient inproc "$exe" >"$work/inproc.out"
check "in-process checks" client_ok "$work/inproc.out"

expect_agent() {  # the cscript output against the agent
  local out=$work/$1.out
  check "$1: GetStatus" grep -qx "status 0 " "$out"
  check "$1: integer key" grep -qx "intkey 80004005 The Agent Key should be a text." "$out"
  check "$1: 257-character key" grep -qx "longkey 80004005 The length of the Agent Key cannot be 0 or more than 256 symbols." "$out"
  check "$1: empty name" grep -qx "emptyname 80004005 The length of the Agent Name cannot be 0 or more than 256 symbols." "$out"
  check "$1: Register with variables" grep -qx "byref 0 " "$out"
  check "$1: key and name read back" grep -qx "key KEY-BR-1 name bridge-it" "$out"
  check "$1: proxy round trip" grep -qx "proxy proxy.example:3128" "$out"
}

echo "--- cscript, the agent as a local server"
"$wine_run" --timeout 60 "$exe" -RegServer >/dev/null 2>&1
check "-RegServer exits 0" [ $? -eq 0 ]
calls local
expect_agent local
# The local server quits a moment after cscript's last release; Wine ignores
# suspended class objects, so an activation in that moment reaches the ending
# process. Let it end first.
sleep 3
runclient events >"$work/events.out"
check "compiled client: vtable results and events" client_ok "$work/events.out"
# The local server ends a moment after its last client.
sleep 3

echo "--- cscript, the agent as a service"
"$wine_run" --timeout 60 "$exe" -Service >/dev/null 2>&1
check "-Service exits 0" [ $? -eq 0 ]
w sc start Halvren >/dev/null
check "service RUNNING" wait_state RUNNING 30
calls service
expect_agent service
rm -f "$work/connected"
runclient disconnect 'C:\t\connected' >"$work/disconnect.out" &
bg=$!
for _ in $(seq 300); do [ -e "$WINEPREFIX/drive_c/t/connected" ] && break; sleep 0.1; done
w sc stop Halvren >/dev/null
wait_state STOPPED 30
wait "$bg"; bg=
check "after the service stopped: the disconnection HRESULT" client_ok "$work/disconnect.out"

echo "--- regsvr32 /u"
"$wine_run" --timeout 60 regsvr32 /s /u "$dll" >/dev/null 2>&1
check "regsvr32 /u exits 0" [ $? -eq 0 ]
for key in "HKCR\\AppID\\$appid" 'HKCR\AppID\GuiBridge.DLL' 'HKCR\Halvren.IEConnecter.1' 'HKCR\Halvren.IEConnecter' \
  "$clsid" 'HKCR\TypeLib\{74E61E86-D70A-464B-89A4-AA16465FB483}' 'HKCR\Interface\{AAE62E30-C452-475A-B06D-BB9C443C39DA}'; do
  check "$key gone" key_gone "$key"
done
for key in 'HKCR\AppID' 'HKCR\CLSID' 'HKCR\AppID\{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}' \
  'HKCR\CLSID\{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}' 'HKCR\Halvren' 'HKCR\TypeLib\{A1266868-32A7-42E8-93FD-3815748268AF}'; do
  check "$key intact" key_exists "$key"
done

"$wine_run" --timeout 60 "$exe" -UnregServer >/dev/null 2>&1
exit $fail
