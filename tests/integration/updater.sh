#!/usr/bin/env bash
# Updater.exe for real under Wine, in a prefix and wineserver of its own (it
# ends every "Halvren.exe" and deletes the service):
#   updater.sh WINE_RUN DIST COM_DLL PLAIN_DLL PLANTED_PROGRAM WORK_FOLDER
# The agent runs as a service from C:\Program Files\Halvren; C:\upd holds the
# new version (the shipped files and a few test files) and the Updater itself,
# with a regsvr32.exe planted beside it.
set -u
wine_run=$1 dist=$(realpath "$2") com_dll=$(realpath "$3") plain_dll=$(realpath "$4") planted=$(realpath "$5")
work=$(realpath -m "$6")
. "$(dirname "$0")/checks.sh"
own_prefix "$work"
same() { cmp -s "$1" "$2"; }
lines_in() { [ -f "$1" ] && grep -c . "$1" || echo 0; }
has_attribute() {  # letter windows-path: attrib lists it
  w attrib "$2" | cut -c1-12 | grep -q "$1"
}
updater() {  # arguments...; sets rc
  T=300 "$wine_run" --timeout 300 'C:\upd\Updater.exe' "$@" >/dev/null 2>&1
  rc=$?
}

start_wineserver
c=$WINEPREFIX/drive_c
inst="$c/Program Files/Halvren" upd=$c/upd markers=$c/markers logs=$c/ProgramData/Halvren/logs
menu="$c/ProgramData/Microsoft/Windows/Start Menu/Programs/Halvren"
new_help="$menu/Help"$'\xc2\xa0'".url"
mkdir -p "$inst" "$upd/sub" "$markers" "$logs" "$menu"
log() { cat "$logs"/monupdate_*.log 2>/dev/null | tr -d '\r'; }

echo "--- too few arguments"
cp "$dist/Updater.exe" "$upd/"
rm -rf "$c/ProgramData/Halvren"
updater a b
check "without a log folder: exit code 255" [ "$rc" -eq 255 ]
check "... and the folder is not made" [ ! -e "$c/ProgramData/Halvren" ]
mkdir -p "$logs"
updater a b
check "exit code 255 (-1)" [ "$rc" -eq 255 ]
check "one line, the command line" [ "$(log | wc -l)" -eq 1 ]
log >"$work/arguments.log"
check "... that line" grep -qE "^[0-9]{2}:[0-9]{2}:[0-9]{2} \([0-9]+\): Starting update\.\.\. Command line: '\"C:\\\\upd\\\\Updater\.exe\" a b'\$" "$work/arguments.log"
rm -f "$logs"/monupdate_*.log

echo "--- the agent installed and running"
cp "$dist"/* "$inst/"
echo old >"$inst/readonly.txt"
reg add 'HKLM\SOFTWARE\Halvren\Settings' /v Host /t REG_SZ /d 'http://127.0.0.1:9/fcgi-bin/agentgateway'
w attrib +r 'C:\Program Files\Halvren\readonly.txt' >/dev/null
w attrib +h 'C:\Program Files\Halvren\readonly.txt' >/dev/null
check "installed file read-only" has_attribute R 'C:\Program Files\Halvren\readonly.txt'
check "... and hidden" has_attribute H 'C:\Program Files\Halvren\readonly.txt'
T=90 w 'C:\Program Files\Halvren\Halvren.exe' -Service >/dev/null
w sc start Halvren >/dev/null
check "service RUNNING before" wait_state RUNNING 60

echo "--- the update folder"
cp "$dist"/* "$upd/"
cp "$com_dll" "$upd/com.dll"
cp "$com_dll" "$upd/UPPER.DLL"
cp "$plain_dll" "$upd/plain.dll"
cp "$planted" "$upd/regsvr32.exe"
echo new >"$upd/readonly.txt"
echo deep >"$upd/sub/file.txt"
w attrib +r 'C:\upd\readonly.txt' >/dev/null
reg add 'HKLM\Software\vendor.example\Corvane' /v Proxy /t REG_SZ /d 'proxy.example:8080'
reg add 'HKLM\Software\vendor.example\Corvane\Agent' /v 'Agent Name' /t REG_SZ /d 'old-name'
echo '[InternetShortcut]' >"$menu/Help.url"

echo "--- update"
updater 'C:\upd' 'C:\Program Files\Halvren' 4.02.15
log >"$work/first.log"
check "exit code 0" [ "$rc" -eq 0 ]
check "last line: updated" [ "$(tail -n 1 "$work/first.log" | cut -d' ' -f3-)" = "Halvren sucessfully updated." ]
check "the running service was stopped" grep -q "Service stopped. Deleting..." "$work/first.log"
check "service RUNNING after" wait_state RUNNING 60
for f in Halvren.exe corelib.dll com.dll UPPER.DLL plain.dll readonly.txt sub/file.txt; do
  check "$f in place" same "$upd/$f" "$inst/$f"
done
check "one registration, of com.dll" [ "$(cat "$markers/registered.txt" 2>/dev/null | tr -d '\r')" = 'C:\Program Files\Halvren\com.dll' ]
check "no DLL loaded into the Updater" not grep -qi 'updater.exe' "$markers/loads.txt"
check "the loads were regsvr32's" grep -qi 'regsvr32.exe' "$markers/loads.txt"
check "... the system's, not the planted one" [ ! -e "$markers/planted.txt" ]
check "settings carried over" value_is 'HKLM\Software\Halvren' Proxy 'proxy.example:8080'
check "... with their sub-keys" value_is 'HKLM\Software\Halvren\Agent' 'Agent Name' 'old-name'
check "previous vendor key deleted" not key_exists 'HKLM\Software\vendor.example'
check "old help entry deleted" [ ! -e "$menu/Help.url" ]
check "new help entry: URL" grep -q '^URL=https://www.halvren.example/support' "$new_help"
check "new help entry: icon" grep -qF 'IconFile=C:\Program Files\Halvren\Controller.exe' "$new_help"
check "new help entry: icon index 5" grep -q '^IconIndex=5' "$new_help"
check "uninstall link" bash -c "tr -d '\\000' <\"$menu/Uninstall.lnk\" | grep -qF 'Uninstall.exe'"

echo "--- a second run leaves the start menu alone"
printf '[InternetShortcut]\r\nURL=mine\r\n' >"$new_help"
rm -f "$menu/Uninstall.lnk"
echo '[InternetShortcut]' >"$menu/Help.url"
rm -f "$logs"/monupdate_*.log
updater 'C:\upd' 'C:\Program Files\Halvren' 4.02.15
log >"$work/second.log"
check "exit code 0" [ "$rc" -eq 0 ]
check "new help entry untouched" grep -q '^URL=mine' "$new_help"
check "no uninstall link written" [ ! -e "$menu/Uninstall.lnk" ]
check "old help entry deleted" [ ! -e "$menu/Help.url" ]
check "no start-menu update logged" not grep -q "Updating start menu items..." "$work/second.log"
check "service RUNNING" wait_state RUNNING 60

w sc stop Halvren >/dev/null
wait_state STOPPED 30
[ $fail -eq 0 ] && echo "updater: all passed" || { echo "--- first log"; cat "$work/first.log"; }
exit $fail
