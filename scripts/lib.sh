# Shared helpers of the scripts (sourced).

# Debian packages the build, the tests and the demo need.
HALVREN_PACKAGES=(cmake ninja-build g++ googletest libbenchmark-dev zlib1g-dev libcpp-httplib-dev
  libssl-dev pkgconf g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev libwine-dev wine64
  snmpd snmp clang libclang-rt-14-dev)

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

# One wineserver for the whole run keeps later program starts fast.
start_wineserver() {
  export WINEPREFIX=${WINEPREFIX:-$PWD/build/win64/wineprefix}
  mkdir -p "$(dirname "$WINEPREFIX")"
  scripts/wine-run --timeout 300 cmd /c exit >/dev/null 2>&1  # makes the prefix
  # Let that server end first: `wineserver -p` does nothing while one runs.
  timeout 60 wineserver -w 2>/dev/null
  wineserver -p 2>/dev/null
  # Wine's own services (services.exe, winedevice.exe, ...) start with the first
  # program of a server and inherit its output. Start them here, on /dev/null:
  # started by a test, they would hold its output pipe open and ctest would wait
  # for them until the test times out.
  scripts/wine-run --timeout 120 cmd /c exit >/dev/null 2>&1
}

stop_wineserver() {
  wineserver -k 2>/dev/null
  return 0
}
