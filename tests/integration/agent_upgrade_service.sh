#!/usr/bin/env bash
# The whole upgrade with the real Updater: the agent installed as a service in
# a prefix (and wineserver) of its own, C:\Program Files\Halvren.
#   agent_upgrade_service.sh DEVGATEWAY WINE_RUN DIST WORK_FOLDER
# 1. UPD names a package that is not there: 404, the service runs on.
# 2. UPD names the package (the dist folder as scripts/package zips it, plus a
#    marker file): the Updater installs it, the service runs again, and after
#    the new agent's authorisation no unpack folder, UpgradePath or archive stays.
# 3. A damaged package: the unzip fails, no Updater runs, the service runs on.
set -u
devgateway=$1 wine_run=$2 dist=$(realpath "$3") work=$(realpath -m "$4")
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
[ -f "$dist/Updater.exe" ] || { echo "no Updater.exe in $dist" >&2; exit 1; }
. "$(dirname "$0")/checks.sh"
own_prefix "$work"
auths() { grep -c '^exchange .*: auth' "$work/gateway.out"; }
upgrade_log() { cat "$logs"/monintagent_*.log 2>/dev/null | tr -d '\r' | grep -a '(Upgrade)'; }
leftovers() { find "$WINEPREFIX/drive_c" -maxdepth 6 \( -iname 'mon*.tmp' -o -iname '~mon*.tmp' \) 2>/dev/null; }

gateway() {  # plan text, then devgateway options
  [ -n "$gw" ] && { kill -TERM "$gw" 2>/dev/null; wait "$gw" 2>/dev/null; }
  printf '%b' "$1" >"$work/plan.txt"; shift
  rm -f "$work/port"
  "$devgateway" --port "${port:-0}" --port-file "$work/port" --plan "$work/plan.txt" --key KEY-IT-1 \
    --name agent-it --seconds 400 "$@" >>"$work/gateway.out" 2>&1 &
  gw=$!
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  port=$(cat "$work/port")
}

start_wineserver
inst="$WINEPREFIX/drive_c/Program Files/Halvren"
exe='C:\Program Files\Halvren\Halvren.exe'
logs=$WINEPREFIX/drive_c/ProgramData/Halvren/logs
mkdir -p "$inst" && cp "$dist"/* "$inst/"

# The packages: the dist folder plus a marker, and a damaged copy of it.
python3 - "$dist" "$work/package.zip" "$work/damaged.zip" <<'ZIP'
import os, sys, zipfile
dist, good, damaged = sys.argv[1:4]
with zipfile.ZipFile(good, "w", zipfile.ZIP_DEFLATED) as z:
    for n in sorted(os.listdir(dist)):
        z.write(os.path.join(dist, n), n)
    z.writestr("upgrade-marker.txt", "installed by the upgrade\r\n")
data = bytearray(open(good, "rb").read())
# Keep the directory at the end, spoil the first entry's data.
for i in range(200, 4200):
    data[i] ^= 0x5A
open(damaged, "wb").write(bytes(data))
ZIP
serve=(--serve "/package.zip=$work/package.zip" --serve "/damaged.zip=$work/damaged.zip")

gateway 'POL\t0\t1\n!upd 4.99.01 /missing.zip\n---\n---\n---\n!upd 4.99.02 /package.zip\n' "${serve[@]}"
reg add 'HKLM\SOFTWARE\Halvren' /ve /t REG_SZ /d 'C:\Program Files\Halvren'
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "http://127.0.0.1:$port/fcgi-bin/agentgateway"
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it
"$wine_run" --timeout 60 "$exe" -Service >"$work/install.out" 2>&1
w sc start Halvren >/dev/null
check "service RUNNING" wait_state RUNNING 30

echo "--- 1 and 2: a missing package, then the package"
check "the missing package got 404" eventually 60 grep -q 'request GET /missing.zip: not an exchange, status 404' "$work/gateway.out"
check "the marker was installed" eventually 120 test -f "$inst/upgrade-marker.txt"
check "service RUNNING after the Updater" wait_state RUNNING 60
before=$(auths)
check "the new agent authorised" eventually 60 bash -c "[ \$(grep -c '^exchange .*: auth' '$work/gateway.out') -gt $before ]"
sleep 3
check "no archive or unpack folder left ($(leftovers | tr '\n' ' '))" [ -z "$(leftovers)" ]
check "no UpgradePath" no_value 'HKLM\SOFTWARE\Halvren\Settings' UpgradePath
check "the Updater logged success" bash -c "cat '$logs'/monupdate_*.log | tr -d '\r' | grep -q 'Halvren sucessfully updated.'"

echo "--- 3: a damaged package"
updater_lines=$(cat "$logs"/monupdate_*.log 2>/dev/null | wc -l)
# A fresh gateway knows no session: the service starts again to authorise with it.
w sc stop Halvren >/dev/null
wait_state STOPPED 30
gateway 'POL\t0\t1\n!upd 4.99.03 /damaged.zip\n' "${serve[@]}"
w sc start Halvren >/dev/null
check "service RUNNING again" wait_state RUNNING 30
check "the damaged package was served" eventually 90 grep -q 'serve GET /damaged.zip' "$work/gateway.out"
check "its unzip failed" eventually 60 bash -c "cat '$logs'/monintagent_*.log | tr -d '\r' | grep -aq '(Upgrade) Extraction failed.'"
sleep 3
check "no Updater ran" [ "$(cat "$logs"/monupdate_*.log 2>/dev/null | wc -l)" -eq "$updater_lines" ]
check "service still RUNNING" wait_state RUNNING 5
check "nothing left of the attempt ($(leftovers | tr '\n' ' '))" [ -z "$(leftovers)" ]

echo "--- upgrade log"; upgrade_log
echo "--- gateway"; grep -E '^(serve|request|exchange .*auth)' "$work/gateway.out"
w sc stop Halvren >/dev/null; wait_state STOPPED 20
exit $fail
