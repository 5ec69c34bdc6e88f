#!/usr/bin/env bash
# scripts/package on the build's dist folder: it prints the MSI's path, then
# the zip's last, and the zip holds exactly dist's files, at its root, byte
# for byte.
#   package.sh WIN_BUILD WORK_FOLDER
set -u
build=$(realpath "$1") work=$(realpath -m "$2")
rm -rf "$work" && mkdir -p "$work"
. "$(dirname "$0")/checks.sh"
root=$(cd "$(dirname "$0")/../.." && pwd)

HALVREN_WIN_BUILD=$build "$root/scripts/package" "$work" >"$work/out" 2>"$work/err"
rc=$?
cat "$work/out" "$work/err"
zip=$(tail -n 1 "$work/out") msi=$(tail -n 2 "$work/out" | head -n 1)
check "exits 0" [ $rc -eq 0 ]
check "the zip's path last, in the folder given" \
  bash -c '[[ $1 =~ ^$2/halvren-[0-9]+\.[0-9]+\.[0-9]+-win64\.zip$ ]] && [ -f "$1" ]' _ "$zip" "$work"
check "the MSI beside it, its path before" [ "$msi" = "${zip%.zip}.msi" -a -f "$msi" ]
check "the zip holds dist's files, at its root, unchanged" python3 - "$zip" "$build/dist" <<'PY'
import os, sys, zipfile
archive, dist = sys.argv[1:3]
files = sorted(n for n in os.listdir(dist) if os.path.isfile(os.path.join(dist, n)))
with zipfile.ZipFile(archive) as z:
    if z.testzip() is not None: sys.exit("bad CRC")
    names = sorted(z.namelist())
    if names != files: sys.exit("entries %r, dist %r" % (names, files))
    for n in names:
        if z.read(n) != open(os.path.join(dist, n), "rb").read(): sys.exit(n + " differs")
PY
exit $fail
