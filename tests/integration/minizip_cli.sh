#!/usr/bin/env bash
# minizip, natively, read back with Python's zipfile: bare names, deflated
# entries, the bytes unchanged; -o replaces an archive; a missing input gives a
# non-zero exit and leaves no (new) archive.
#   minizip_cli.sh MINIZIP WORK_FOLDER
set -u
minizip=$(realpath "$1") work=$2
rm -rf "$work" && mkdir -p "$work/in/sub"
. "$(dirname "$0")/checks.sh"
cd "$work" || exit 1
head -c 300000 /dev/urandom >in/random.bin
yes "a log line that repeats" | head -n 20000 >in/sub/agent.log
: >in/empty.log

read_back() {  # archive, then name=source pairs: every entry deflated and equal
  python3 - "$@" <<'PY'
import sys, zipfile
archive, pairs = sys.argv[1], sys.argv[2:]
with zipfile.ZipFile(archive) as z:
    if z.testzip() is not None: sys.exit("bad CRC")
    infos = z.infolist()
    names = [i.filename for i in infos]
    want = [p.split("=", 1)[0] for p in pairs]
    if names != want: sys.exit("names %r, expected %r" % (names, want))
    for info, pair in zip(infos, pairs):
        if info.compress_type != zipfile.ZIP_DEFLATED: sys.exit("%s not deflated" % info.filename)
        if z.read(info) != open(pair.split("=", 1)[1], "rb").read(): sys.exit("%s differs" % info.filename)
PY
}

"$minizip" -oj out.zip in/random.bin in/sub/agent.log in/empty.log
check "packs three files (exit 0)" [ $? -eq 0 ]
check "bare names, deflated, bytes equal" read_back out.zip random.bin=in/random.bin agent.log=in/sub/agent.log \
  empty.log=in/empty.log
check "no temporary file left" [ ! -e out.zip.tmp ]

"$minizip" -oj out.zip in/sub/agent.log
check "-o replaces the archive" read_back out.zip agent.log=in/sub/agent.log

before=$(sha256sum out.zip)
"$minizip" -oj out.zip in/random.bin in/missing.log 2>/dev/null
check "a missing input fails" [ $? -ne 0 ]
check "... and the old archive is untouched" [ "$(sha256sum out.zip)" = "$before" ]
"$minizip" -oj new.zip in/missing.log 2>/dev/null
check "a missing only input fails" [ $? -ne 0 ]
check "... with no archive and no temporary file" [ ! -e new.zip ] && [ ! -e new.zip.tmp ]

"$minizip" -j out.zip in/random.bin 2>/dev/null
check "without -o an existing archive is refused" [ $? -ne 0 ]

"$minizip" -o paths.zip in/sub/agent.log ../"$(basename "$work")"/in/empty.log
check "without -j the path is kept, never climbing" read_back paths.zip in/sub/agent.log=in/sub/agent.log \
  "$(basename "$work")/in/empty.log=in/empty.log"
exit $fail
