#!/usr/bin/env bash
# Port 0 on an HTTP test line means 80: the Windows test under Wine inside a
# network namespace of its own (root only), where the web server may listen on
# 127.0.0.1:80. Wine's sockets are made by its server, so the server runs in
# the namespace too, on a prefix of this test's own (a copy of the build's).
#   http_port80.sh CLIENT.exe WINE_RUN WORK_FOLDER
set -u
client=$1 wine_run=$2 work=$3
if [ "$(id -u)" -ne 0 ] || ! unshare --net true 2>/dev/null; then
  echo "needs root and network namespaces; skipped"
  exit 0
fi
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
build_prefix=$(dirname "$(dirname "$(dirname "$client")")")/wineprefix
[ -f "$build_prefix/system.reg" ] && cp -a "$build_prefix" "$work/prefix"
export WINEPREFIX=$work/prefix
unshare --net bash -c '
  set -u
  ip link set lo up
  "$0/http_check.sh" "$1" "$2" "$3/run" --port80 --gtest_filter=HttpCheckIt.PortZeroIsEighty
  rc=$?
  timeout 60 /usr/lib/wine/wineserver -w 2>/dev/null
  exit $rc
' "$here" "$client" "$wine_run" "$work"
rc=$?
rm -rf "$work/prefix"  # a copy of several hundred MB
exit $rc
