# Shared helpers of the scripts (sourced).

# Debian packages the build, the tests and the demo need.
HALVREN_PACKAGES=(cmake ninja-build g++ googletest libbenchmark-dev zlib1g-dev libcpp-httplib-dev
  libssl-dev pkgconf g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev libwine-dev wine64
  snmpd snmp clang libclang-rt-14-dev)
# Test peers: web servers, TLS and a proxy for the HTTP monitor, zip archives read
# back, network namespaces.
HALVREN_PACKAGES+=(python3 openssl iproute2)
# The Windows Installer package: wixl builds it, msitools patches and reads its tables.
HALVREN_PACKAGES+=(wixl msitools)

ensure_packages() {
  local missing=()
  for p in "${HALVREN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "==> installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Wine's loader and server. Debian's wine64 puts neither `wine` nor
# `wineserver` on PATH: its own folder comes first, then PATH. find_wine sets
# WINE_LOADER and WINESERVER to full paths and returns 1 when either is missing;
# require_wine says so and ends the script.
find_wine() {
  local loader server
  for loader in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
    [ -n "$loader" ] && [ -x "$loader" ] && break
    loader=
  done
  for server in /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null)"; do
    [ -n "$server" ] && [ -x "$server" ] && break
    server=
  done
  WINE_LOADER=$loader WINESERVER=$server
  [ -n "$loader" ] && [ -n "$server" ]
}

require_wine() {
  find_wine && return 0
  [ -n "$WINE_LOADER" ] || echo "error: no Wine loader (/usr/lib/wine/wine64, or wine64/wine on PATH); install wine64" >&2
  [ -n "$WINESERVER" ] || echo "error: no wineserver (/usr/lib/wine/wineserver, or on PATH); install wine64" >&2
  exit 1
}

# Set at once where Wine is installed; scripts that need it call require_wine
# (before installing the packages it may not be there yet).
find_wine

# A fresh prefix at PREFIX: a copy of one prefix initialised once per run
# (`wineboot -i` takes tens of seconds; a copy well under one). The template is
# $HALVREN_WIN_BUILD/wineprefix-template; scripts/test removes it at its start.
fresh_prefix() {  # PREFIX
  local target=$1 here build template
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  build=${HALVREN_WIN_BUILD:-$here/build/win64}
  template=$build/wineprefix-template
  require_wine
  mkdir -p "$build" "$(dirname "$target")"
  (
    flock 9
    if [ ! -f "$template/system.reg" ]; then
      rm -rf "$template"
      WINEPREFIX=$template WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        timeout 300 "$WINE_LOADER" wineboot -i >/dev/null 2>&1
      # The registry is written when the template's server ends.
      WINEPREFIX=$template timeout 60 "$WINESERVER" -w
      [ -f "$template/system.reg" ] || { echo "error: wineboot made no prefix at $template" >&2; exit 1; }
    fi
  ) 9>"$build/wineprefix-template.lock" || return 1
  rm -rf "$target"
  cp -a "$template" "$target"
}

# One wineserver for the whole run keeps later program starts fast. A program
# of ours holds it open: a command interpreter waiting for a line from a
# `sleep` of ours. stop_wineserver ends that sleep, by its id; the interpreter
# then reads the end of its input and ends, and the server ends its services
# and itself in order, as after any last program. No process of another
# prefix or run is touched.
start_wineserver() {
  local wine_run pidfile
  require_wine
  wine_run="$(dirname "${BASH_SOURCE[0]}")/wine-run"
  export WINEPREFIX=${WINEPREFIX:-$PWD/build/win64/wineprefix}
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine_run" --timeout 300 cmd /c exit >/dev/null 2>&1  # makes the prefix
  # Let that program's server end first, so that the holder starts the next:
  # Wine's own services (services.exe, winedevice.exe, ...) start with the
  # first program of a server and inherit its output, and on /dev/null they
  # hold no test's output pipe open.
  timeout 60 "$WINESERVER" -w
  pidfile=$(mktemp)
  { sleep 7200 & echo $! >"$pidfile"; wait; } |
    "$wine_run" --timeout 7200 cmd /c "set /p line=" >/dev/null 2>&1 &
  WINESERVER_HOLDER=$!
  for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
  WINESERVER_FEEDER=$(cat "$pidfile")
  rm -f "$pidfile"
  "$wine_run" --timeout 120 cmd /c exit >/dev/null 2>&1
}

stop_wineserver() {
  [ -n "${WINESERVER_HOLDER:-}" ] || return 0
  kill "$WINESERVER_FEEDER" 2>/dev/null
  wait "$WINESERVER_HOLDER" 2>/dev/null
  WINESERVER_HOLDER=
  timeout 60 "$WINESERVER" -w
  return 0
}
