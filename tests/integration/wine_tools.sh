#!/usr/bin/env bash
# The scripts' Wine handling with neither `wine` nor `wineserver` on PATH (as
# Debian's wine64 installs them): a program that outlives wine-run's time
# limit leaves no process of the prefix behind, and the persistent server of
# start_wineserver is still there 10 s after the last program.
#   wine_tools.sh WORK_FOLDER
set -u
work=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
# PATH without any folder that holds a wine loader or server.
clean=
IFS=: read -r -a dirs <<<"$PATH"
for d in "${dirs[@]}"; do
  [ -e "$d/wine" ] || [ -e "$d/wine64" ] || [ -e "$d/wineserver" ] || clean=${clean:+$clean:}$d
done
export PATH=$clean
. "$here/tests/integration/checks.sh"
own_prefix "$work"
prefix_pids() {  # the Wine processes of this prefix: id and command line
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in */wine*) ;; *) continue ;; esac
    grep -qz "^WINEPREFIX=$WINEPREFIX\$" "$p/environ" 2>/dev/null && echo "${p#/proc/} $(tr '\0' ' ' <"$p/cmdline")"
  done
}
server_pid() { prefix_pids | awk '$2 ~ /wineserver/ {print $1}'; }

check "no wine or wineserver on PATH" test -z "$(command -v wine wine64 wineserver)"
check "find_wine finds both by full path" bash -c '. "$1/scripts/lib.sh"; find_wine && [ -x "$WINE_LOADER" ] && [ -x "$WINESERVER" ]' _ "$here"

start_wineserver
before=$(prefix_pids | awk '{print $1}' | sort)
server=$(server_pid)
check "start_wineserver left a server running" test -n "$server"

started=$(date +%s)
"$here/scripts/wine-run" --timeout 5 cmd /c ping -n 60 127.0.0.1 >/dev/null 2>"$work/timeout.err"
rc=$?
check "the program was cut at its limit (rc $rc)" test $rc -eq 124 -o $rc -eq 137
check "wine-run said so" grep -q 'exceeded 5 s' "$work/timeout.err"
check "within the limit and the kill grace ($(( $(date +%s) - started )) s)" test $(( $(date +%s) - started )) -le 20
sleep 1
after=$(prefix_pids | awk '{print $1}' | sort)
left=$(comm -13 <(echo "$before") <(echo "$after"))
check "no process of the program left: ${left:-none} $(prefix_pids | grep -i ping)" test -z "$left"

sleep 10
check "the persistent server is still there 10 s later" test "$(server_pid)" = "$server"
check "and serves the next program" "$here/scripts/wine-run" --timeout 60 cmd /c exit

stop_wineserver
for _ in $(seq 50); do [ -z "$(prefix_pids)" ] && break; sleep 0.2; done
check "stop_wineserver ends the server and its services: $(prefix_pids | tr '\n' ';')" test -z "$(prefix_pids)"

# A missing server stops a script with a clear message.
out=$(PATH=$clean bash -c '. "$1/scripts/lib.sh"; find_wine() { WINE_LOADER=/x WINESERVER=; return 1; }; require_wine; echo went-on' _ "$here" 2>&1)
check "require_wine without a server stops the script" test "${out#*went-on}" = "$out"
check "and names what is missing" grep -q 'no wineserver' <<<"$out"
exit $fail
