#!/usr/bin/env bash
# udcdump on hostile files: each exits 1 with one line naming offset and reason.
set -u
udcdump=$1 work=$2
mkdir -p "$work"
printf '\x20' >"$work/one-byte"
# A header that claims 4096 bytes in a 40-byte file.
printf '\x00\x10\x00\x00' >"$work/past-end"; head -c 36 /dev/zero >>"$work/past-end"
head -c 1024 /dev/urandom >"$work/random"
# A random record count that looks plausible: length 0x40, then noise.
{ printf '\x40\x00\x00\x00'; head -c 1020 /dev/urandom; } >"$work/random-length"

fail=0
check() {  # file args...
  local file=$1; shift
  out=$("$udcdump" "$@" "$work/$file" 2>&1); rc=$?
  lines=$(printf '%s\n' "$out" | wc -l)
  if [ $rc -ne 1 ] || [ "$lines" -ne 1 ] || ! [[ $out == "udcdump: byte "* ]]; then
    echo "FAIL $file $*: rc=$rc lines=$lines: $out"; fail=1
  else
    echo "ok   $file $*: $out"
  fi
}
check one-byte
check past-end
check random
check random-length
check random --uncompressed-size 5000
exit $fail
