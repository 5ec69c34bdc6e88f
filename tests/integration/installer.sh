#!/usr/bin/env bash
# The Windows Installer package under Wine, in a prefix of its own, against the
# development gateway:
#   installer.sh DEVGATEWAY WINE_RUN DIST BUILD_MSI WORK_FOLDER
# Builds the package from DIST (twice, and once as a newer version), installs it
# silently with the gateway's address and key, reinstalls and upgrades it without
# properties, and removes it. Wine's msiexec runs the package's own actions for
# real; what it does not do (honour MsiHiddenProperties in its log, show access
# lists) is checked on the package's tables and the folder's Unix side instead.
set -u
devgateway=$1 wine_run=$2 dist=$(realpath "$3") build_msi=$(realpath "$4") work=$(realpath -m "$5")
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
. "$(dirname "$0")/checks.sh"
own_prefix "$work"
msiexec() {  # msiexec's arguments; its exit code is the function's
  T=180 "$wine_run" --timeout 180 msiexec "$@" >/dev/null 2>&1
}
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | LC_ALL=C sort; }

key=KEY-MSI-7f3a91 name=agent-msi
settings='HKLM\SOFTWARE\Halvren\Settings' agent='HKLM\SOFTWARE\Halvren\Agent'
svc='HKLM\System\CurrentControlSet\Services\Halvren'
clsid='HKCR\CLSID\{5BDBCB07-9ECD-4F3A-A77E-8E491683648D}'
bridge='HKCR\CLSID\{1FEDCC5E-D7DD-4656-BD5D-E3B7C02DDA24}'
typelib='HKCR\TypeLib\{A1266868-32A7-42E8-93FD-3815748268AF}'
appid='HKCR\AppID\{CBD1FEEE-5109-4B9E-9466-50CC5AC5CD5C}'
inst=$WINEPREFIX/drive_c/Program\ Files/Halvren

echo "--- the package"
msi=$("$build_msi" "$dist" "$work/a" 4.02.14 | tail -n 1)
check "build-msi prints the package's path last" [ "$msi" = "$work/a/halvren-4.02.14-win64.msi" ]
again=$("$build_msi" "$dist" "$work/b" 4.02.14 | tail -n 1)
for t in File Component Directory Registry CustomAction InstallExecuteSequence; do
  check "built twice: the same $t table" [ "$(table "$msi" $t)" = "$(table "$again" $t)" ]
done
check "one file row per file of dist" [ "$(table "$msi" File | cut -f1)" = "$(cd "$dist" && ls -1 | LC_ALL=C sort)" ]
check "product version 4.2.14" grep -qx $'ProductVersion\t4.2.14' <(table "$msi" Property)
check "AGENTKEY is a hidden property" grep -qx $'MsiHiddenProperties\tAGENTKEY' <(table "$msi" Property)
hidden_targets() {  # the actions that carry property values hide their command lines (0x2000)
  table "$msi" CustomAction | awk -F'\t' '$4 ~ /\[(HOST|PROXY|AGENTKEY|AGENTNAME|IGNORECERTERRORS)\]/ {
    n++; if (int($2 / 8192) % 2 != 1) bad++ } END { exit !(n == 5 && bad == 0) }'
}
check "the value-writing actions hide their targets" hidden_targets
for bad in 4.2 4.256.1 4.2.65536 x.1.2 "4.02.14 "; do
  check "build-msi refuses version '$bad'" not "$build_msi" "$dist" "$work/bad" "$bad" 2>/dev/null
done
newer=$("$build_msi" "$dist" "$work/c" 4.02.15 | tail -n 1)

fresh_prefix "$WINEPREFIX" || exit 1
start_wineserver
cp "$msi" "$WINEPREFIX/drive_c/halvren.msi"
cp "$newer" "$WINEPREFIX/drive_c/halvren-newer.msi"
"$devgateway" --port 0 --port-file "$work/port" --plan /dev/null --key "$key" --name "$name" --seconds 550 \
  >"$work/gateway.out" 2>&1 &
gw=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
host="http://127.0.0.1:$(cat "$work/port")/fcgi-bin/agentgateway"

echo "--- a property out of range installs nothing"
# Wine's msiexec exits 0 after a failed launch condition (Windows: 1603), so
# what is checked is that nothing was installed or written.
msiexec /i 'C:\halvren.msi' /qn "HOST=$host" IGNORECERTERRORS=2
check "IGNORECERTERRORS=2 installs no folder" [ ! -e "$inst" ]
# (A double quote cannot be handed through Wine's command line to msiexec's parser.)
msiexec /i 'C:\halvren.msi' /qn 'HOST=http://h.example/x\' "AGENTKEY=$key"
check "... nor does a HOST ending with a backslash (reg.exe's quoting)" [ ! -e "$inst" ]
check "... and neither wrote a value" key_gone 'HKLM\SOFTWARE\Halvren'

echo "--- silent install"
started=$(date +%s)
msiexec /i 'C:\halvren.msi' /qn "HOST=$host" "AGENTKEY=$key" "AGENTNAME=$name" /l*v 'C:\install.log'
check "msiexec /i exits 0" [ $? -eq 0 ]
same_files() {
  [ "$(ls -1 "$inst" | LC_ALL=C sort)" = "$(ls -1 "$dist" | LC_ALL=C sort)" ] || return 1
  local f
  for f in "$dist"/*; do cmp -s "$f" "$inst/$(basename "$f")" || return 1; done
}
check "the install folder holds exactly dist's files, unchanged" same_files
check "install path" value_is 'HKLM\SOFTWARE\Halvren' '(Default)' 'C:\Program Files\Halvren\'
check "Host" value_is "$settings" Host "$host"
check "Agent Key" value_is "$agent" 'Agent Key' "$key"
check "Agent Name" value_is "$agent" 'Agent Name' "$name"
check "no Proxy when none is given" no_value "$settings" Proxy
check "no IgnoreCertErrors when none is given" no_value "$settings" IgnoreCertErrors
check "ImagePath quoted" value_is "$svc" ImagePath '"C:\Program Files\Halvren\Halvren.exe"'
check "Type 0x110" value_is "$svc" Type 0x110
check "Start automatic" value_is "$svc" Start 0x2
check "DependOnService RPCSS" value_is "$svc" DependOnService RPCSS
check "ObjectName LocalSystem" value_is "$svc" ObjectName LocalSystem
check "Description" value_is "$svc" Description "Internal monitoring tool."
check "the control object's LocalServer32" value_is "$clsid\\LocalServer32" '(Default)' '"C:\Program Files\Halvren\Halvren.exe"'
check "AppID LocalService" value_is "$appid" LocalService Halvren
check "GuiBridge.dll registered" value_is "$bridge\\InprocServer32" '(Default)' 'C:\Program Files\Halvren\GuiBridge.dll'
check "the service is RUNNING" wait_state RUNNING 30
authorised() { grep -Eq "^exchange [0-9]+: data.*status 200" "$work/gateway.out" && ! grep -q 'error:' "$work/gateway.out"; }
check "... and authorised with the key, sending data" eventually 30 authorised
check "... within 30 s of the install's start ($(( $(date +%s) - started )) s)" [ $(( $(date +%s) - started )) -le 30 ]

log=$WINEPREFIX/drive_c/install.log
check "the log records the properties (AGENTNAME)" grep -aq "$name" "$log"
# Wine's msiexec writes every property at its end and ignores MsiHiddenProperties
# (Windows leaves hidden ones out); no action of the package logs the key.
key_lines() { grep -a -- "$key" "$log" | grep -av "^Property([SC]): AGENTKEY = $key\$"; }
check "the key appears in no line but Wine's property dump" [ -z "$(key_lines)" ]

# Wine keeps no access list on the folder: its Windows access is made from the
# Unix mode (write for the owner only) and nothing is stored beside it.
not_writable() {
  python3 - "$inst" <<'PY'
import os, stat, sys
folder = sys.argv[1]
for path in [folder] + [os.path.join(folder, n) for n in os.listdir(folder)]:
    if os.stat(path).st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        sys.exit("writable by others: " + path)
    if any(a.startswith("user.wine") for a in os.listxattr(path)):
        sys.exit("own security attributes: " + path)
PY
}
check "the install folder and its files are writable by their owner only" not_writable

echo "--- the same package again, without properties"
msiexec /i 'C:\halvren.msi' /qn
check "msiexec /i exits 0" [ $? -eq 0 ]
check "Host kept" value_is "$settings" Host "$host"
check "Agent Key kept" value_is "$agent" 'Agent Key' "$key"
check "the service runs again" wait_state RUNNING 30

echo "--- a newer package, with the proxy and the certificate switch only"
msiexec /i 'C:\halvren-newer.msi' /qn PROXY=127.0.0.1:3128 IGNORECERTERRORS=1
check "msiexec /i exits 0" [ $? -eq 0 ]
check "Proxy written" value_is "$settings" Proxy 127.0.0.1:3128
check "IgnoreCertErrors written (a DWORD: reg shows 0x1)" value_is "$settings" IgnoreCertErrors 0x1
products() {
  query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -c 'DisplayName *REG_SZ *Halvren$'
}
check "one Halvren product is installed" [ "$(products)" = 1 ]
newer_installed() {
  query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -q 'DisplayVersion *REG_SZ *4\.2\.15$'
}
check "... the newer one" newer_installed
check "Host and Agent Key kept" [ "$(value_of "$settings" Host)|$(value_of "$agent" 'Agent Key')" = "$host|$key" ]
check "the service is installed and runs" wait_state RUNNING 30
check "the files are dist's" same_files

echo "--- removal"
msiexec /x 'C:\halvren-newer.msi' /qn
check "msiexec /x exits 0" [ $? -eq 0 ]
check "no service" key_gone "$svc"
for k in "$clsid" "$bridge" "$typelib" "$appid" 'HKCR\Halvren'; do check "gone: $k" key_gone "$k"; done
check "no install folder" [ ! -e "$inst" ]
check "no install path" no_value 'HKLM\SOFTWARE\Halvren' '(Default)'
check "Agent kept, with its key" value_is "$agent" 'Agent Key' "$key"
check "Settings kept, with Host" value_is "$settings" Host "$host"
check "no Halvren product left" [ "$(products)" = 0 ]

echo "--- another install folder, given once"
other=$WINEPREFIX/drive_c/Other\ Place/Halvren
msiexec /i 'C:\halvren.msi' /qn 'INSTALLDIR=C:\Other Place\Halvren\'
check "msiexec /i exits 0" [ $? -eq 0 ]
check "the files are there" [ -f "$other/Halvren.exe" ]
check "ImagePath quoted, of that folder" value_is "$svc" ImagePath '"C:\Other Place\Halvren\Halvren.exe"'
check "the service runs (a Host is stored)" wait_state RUNNING 30
msiexec /i 'C:\halvren.msi' /qn
check "a reinstall without INSTALLDIR stays there" value_is 'HKLM\SOFTWARE\Halvren' '(Default)' 'C:\Other Place\Halvren\'
check "... and puts nothing into Program Files" [ ! -e "$inst" ]
msiexec /x 'C:\halvren.msi' /qn
check "msiexec /x exits 0" [ $? -eq 0 ]
check "... removes that folder" [ ! -e "$other" ]
check "... and the service" key_gone "$svc"
exit $fail
