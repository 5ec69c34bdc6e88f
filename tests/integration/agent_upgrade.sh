#!/usr/bin/env bash
# The upgrade download for real: Halvren.exe -console, run from a copy of the
# install folder, gets UPD orders from devgateway, which serves the package.
#   agent_upgrade.sh DEVGATEWAY WINE_RUN DIST UPDATER_STUB.exe WORK_FOLDER [https]
# The first order names a package that is not there (404: no "mon*.tmp" may
# stay); the second a good package holding a stand-in "Updater.exe", which the
# real miniunz.exe unpacks and the agent must start with the exact arguments.
# With https the gateway and the package come over TLS with a self-signed
# certificate, which IgnoreCertErrors 1 lets through after a refused first send.
set -u
devgateway=$1 wine_run=$2 dist=$3 stub=$4 work=$5 scheme=${6:-http}
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work/install"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
. "$(dirname "$0")/checks.sh"
winpath() { echo "Z:${1//\//\\}"; }

cp "$dist"/Halvren.exe "$dist"/corelib.dll "$dist"/zlibwapi.dll "$dist"/miniunz.exe "$work/install/"
# The package: the stand-in Updater and a file that shows the unpack.
python3 - "$work/package.zip" "$stub" <<'ZIP'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.write(sys.argv[2], "Updater.exe")
    z.writestr("readme.txt", "new version\r\n")
ZIP

# Over https the package comes from a server of its own: WinHTTP may reuse the
# gateway's connection, whose certificate was let through already, and the
# package's own refusal would go unseen.
package=/package.zip tls=() files=
: >"$work/files.out"
if [ "$scheme" = https ]; then
  tls=(--https)
  "$devgateway" --port 0 --port-file "$work/files.port" --plan /dev/null --https \
    --serve "/package.zip=$work/package.zip" --seconds 120 >"$work/files.out" 2>&1 &
  files=$!
  for _ in $(seq 100); do [ -s "$work/files.port" ] && break; sleep 0.1; done
  package=https://127.0.0.1:$(cat "$work/files.port")/package.zip
fi
printf 'POL\t0\t1\n!upd 4.99.01 /missing.zip\n---\n---\n---\n!upd 4.99.02 %s\n' "$package" >"$work/plan.txt"
"$devgateway" --port 0 --port-file "$work/port" --plan "$work/plan.txt" --serve "/package.zip=$work/package.zip" \
  "${tls[@]}" --seconds 120 >"$work/gateway.out" 2>&1 &
gw=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

reg delete 'HKLM\SOFTWARE\Halvren'
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d "$scheme://127.0.0.1:$port/fcgi-bin/agentgateway"
[ "$scheme" = https ] && reg add 'HKLM\SOFTWARE\Halvren\Settings' /v IgnoreCertErrors /t REG_DWORD /d 1
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Trace /t REG_DWORD /d 10
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Key' /t REG_SZ /d KEY-IT-1
reg add 'HKLM\SOFTWARE\Halvren\Agent' /v 'Agent Name' /t REG_SZ /d agent-it

prefix=${WINEPREFIX:-$(dirname "$dist")/wineprefix}
temps() { find "$prefix/drive_c" -maxdepth 6 -iname 'mon*.tmp' -type f 2>/dev/null | sort; }
before=$(temps)
export UPDATER_MARKER
UPDATER_MARKER=$(winpath "$work/marker.txt")
agentlog() { cat "$prefix"/drive_c/ProgramData/Halvren/logs/monintagent_*.log 2>/dev/null | tr -d '\r'; }
lines_before=$(agentlog | wc -l)

# The gateway answers every second after POL; the agent runs until its input closes.
sleep 25 | "$wine_run" --timeout 90 "$work/install/Halvren.exe" -console >"$work/agent.out" 2>"$work/agent.err"
kill -TERM $gw $files 2>/dev/null; wait $gw $files 2>/dev/null
log=$(agentlog | tail -n +$((lines_before + 1)) | grep -a '(Upgrade)')
echo "--- upgrade log"; echo "$log"; echo "--- gateway"; grep -hE '^(serve|request)' "$work/gateway.out" "$work/files.out"

check "the missing package got 404" grep -q 'request GET /missing.zip: not an exchange, status 404' "$work/gateway.out"
check "the agent logged the 404" grep -q "Download Failed. Server Response code: 404" <<<"$log"
check "the package was served" grep -q "serve GET /package.zip: " "$work/gateway.out" "$work/files.out"
if [ "$scheme" = https ]; then
  check "the refused certificate was sent again with relaxed checks" \
    grep -q "(Upgrade) Trying different security options..." <<<"$log"
fi
check "downloaded whole" grep -q "(Upgrade) Downloaded $(stat -c %s "$work/package.zip") bytes" <<<"$log"
check "unzip ended with 0" grep -q "(Upgrade) GetExitCodeProcess returned 0" <<<"$log"
check "the stand-in Updater ran" [ -s "$work/marker.txt" ]
marker=$(tr -d '\r' <"$work/marker.txt" 2>/dev/null)
echo "--- marker"; echo "$marker"
install=$(winpath "$work/install")
check "its command line: package Updater, unpack folder, install folder, version" \
  grep -qE "^command line: \"[A-Za-z]:\\\\.*\\\\~mon[0-9A-Fa-f]+\\.tmp\\\\Updater\\.exe\" \"[A-Za-z]:\\\\.*\\\\~mon[0-9A-Fa-f]+\\.tmp\" \"${install//\\/\\\\}\" \"4\\.99\\.02\"$" <<<"$marker"
check "it saw the unpacked files" grep -q "^unpacked: readme.txt" <<<"$marker"
check "no mon*.tmp archive left" [ "$(temps)" = "$before" ]
# Clean up the unpack folder the stand-in left (the real Updater leaves it too;
# the next agent's authorisation removes it).
find "$prefix/drive_c" -maxdepth 6 -iname '~mon*.tmp' -type d -newer "$work/plan.txt" -exec rm -rf {} + 2>/dev/null
exit $fail
