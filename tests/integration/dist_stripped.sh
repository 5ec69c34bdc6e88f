#!/usr/bin/env bash
# The shipped files carry no DWARF sections, and each names its kept debug
# file, by a link whose CRC matches that file.
#   dist_stripped.sh OBJDUMP OBJCOPY DIST_DIR DEBUG_DIR FILE...
set -u
objdump=$1 objcopy=$2 dist=$3 debug=$4
shift 4
fail=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

crc32() {  # the CRC-32 of a file, as 8 hex digits: gzip's trailer holds it
  gzip -c <"$1" | tail -c 8 | head -c 4 | od -An -tx4 --endian=little | tr -d ' \n'
}

for f in "$@"; do
  file=$dist/$f
  sections=$("$objdump" -h "$file") || { echo "FAIL $f: objdump"; fail=1; continue; }
  if grep -q ' \.debug_' <<<"$sections"; then
    echo "FAIL $f: debug sections left:"; grep ' \.debug_' <<<"$sections"; fail=1
  fi
  if ! grep -q ' \.gnu_debuglink ' <<<"$sections"; then
    echo "FAIL $f: no .gnu_debuglink"; fail=1; continue
  fi
  "$objcopy" --dump-section .gnu_debuglink="$work/link" "$file" "$work/copy" || { fail=1; continue; }
  name=$(tr '\0' '\n' <"$work/link" | head -n 1)
  size=$(stat -c %s "$work/link")
  stored=$(tail -c 4 "$work/link" | od -An -tx4 --endian=little | tr -d ' \n')
  kept=$debug/$name
  if [ "$size" -lt 8 ] || [ -z "$name" ] || [ ! -f "$kept" ]; then
    echo "FAIL $f: debug link '$name' names no file in $debug"; fail=1; continue
  fi
  actual=$(crc32 "$kept")
  if [ "$stored" != "$actual" ]; then
    echo "FAIL $f: $name has CRC $actual, the link says $stored"; fail=1; continue
  fi
  echo "ok $f -> $name (crc $actual)"
done
exit $fail
