# Sourced by the integration scripts. `check` prints one verdict line and
# keeps a failure in $fail, the script's exit code; the queries below run
# Wine through $wine_run (scripts/wine-run), which the script sets.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

fail=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; fail=1; fi
}
not() { ! "$@"; }
eventually() {  # seconds, then a command that must succeed by then
  local end=$(( $(date +%s) + $1 )); shift
  until "$@"; do [ "$(date +%s)" -ge "$end" ] && return 1; sleep 0.2; done
}

# own_prefix WORK: WORK made anew, WORK/prefix this script's Wine prefix (and
# server), no proxy in the way. On exit the gateway in $gw, when one was
# started, ends, then the prefix's server.
gw=
own_prefix() {
  rm -rf "$1" && mkdir -p "$1"
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
  export WINEPREFIX=$1/prefix
  trap leave_prefix EXIT
}
leave_prefix() {
  [ -n "$gw" ] && kill -TERM "$gw" 2>/dev/null && wait "$gw" 2>/dev/null
  stop_wineserver
}

w() { "$wine_run" --timeout "${T:-60}" "$@" 2>/dev/null | tr -d '\r'; }
reg() { "$wine_run" --timeout 60 reg "$@" /f >/dev/null 2>&1; }
query() { w reg query "$@"; }
key_exists() { "$wine_run" --timeout 60 reg query "$1" >/dev/null 2>&1; }
key_gone() { ! key_exists "$1"; }
value_of() {  # key value: the data of a value ("(Default)": the default value), as `reg query` shows it
  if [ "$2" = "(Default)" ]; then query "$1" /ve; else query "$1" /v "$2"; fi |
    awk -v name="$2" 'index($0, "    " name "    ") == 1 && !/REG_SZ +\(value not set\)$/ {
                        sub(/^ *.* +REG_[A-Z_]+ +/, ""); print; found = 1 }
                      END { exit !found }'
}
value_is() { [ "$(value_of "$1" "$2")" = "$3" ]; }
no_value() { ! value_of "$1" "$2" >/dev/null; }

state() { w sc query Halvren | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
in_state() { [ "$(state)" = "$1" ]; }
wait_state() { eventually "$2" in_state "$1"; }  # state seconds
