# Shared helpers of the scripts (sourced).

# Debian packages the build, the tests and the demo need.
HALVREN_PACKAGES=(cmake ninja-build g++ googletest libbenchmark-dev zlib1g-dev libcpp-httplib-dev
  libssl-dev pkgconf g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev libwine-dev wine64
  snmpd snmp clang libclang-rt-14-dev)
# Test peers: web servers, TLS and a proxy for the HTTP monitor, zip archives read
# back, network namespaces.
HALVREN_PACKAGES+=(python3 openssl iproute2)

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

# Debian's wine64 puts no wineserver on PATH: call it by its full path.
WINESERVER=/usr/lib/wine/wineserver
[ -x "$WINESERVER" ] || WINESERVER=wineserver

# One wineserver for the whole run keeps later program starts fast. A program
# of ours holds it open: a command interpreter waiting for a line from a
# `sleep` of ours. stop_wineserver ends that sleep, by its id; the interpreter
# then reads the end of its input and ends, and the server ends its services
# and itself in order, as after any last program. No process of another
# prefix or run is touched.
start_wineserver() {
  local wine_run pidfile
  wine_run="$(dirname "${BASH_SOURCE[0]}")/wine-run"
  export WINEPREFIX=${WINEPREFIX:-$PWD/build/win64/wineprefix}
  mkdir -p "$(dirname "$WINEPREFIX")"
  "$wine_run" --timeout 300 cmd /c exit >/dev/null 2>&1  # makes the prefix
  # Let that program's server end first, so that the holder starts the next:
  # Wine's own services (services.exe, winedevice.exe, ...) start with the
  # first program of a server and inherit its output, and on /dev/null they
  # hold no test's output pipe open.
  timeout 60 "$WINESERVER" -w 2>/dev/null
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
  timeout 60 "$WINESERVER" -w 2>/dev/null
  return 0
}
