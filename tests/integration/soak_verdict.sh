#!/usr/bin/env bash
# scripts/soak-verdict over small made-up record logs: a clean run, a gap, a
# resend after a failed exchange (allowed), a duplicate after a good one
# (refused), memory 9 % up (within) and 11 % up (not).
#   soak_verdict.sh VERDICT WORK_FOLDER
set -u
verdict=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
fail=0
case_() {  # name expected-exit expected-line, then the log on standard input
  local name=$1 want=$2 line=$3
  cat >"$work/$name.log"
  "$verdict" "$work/$name.log" 10 >"$work/$name.out"
  local rc=$?
  if [ $rc -eq "$want" ] && grep -qF -- "$line" "$work/$name.out"; then echo "ok   $name"
  else echo "FAIL $name (exit $rc, want $want and '$line'):"; sed 's/^/    /' "$work/$name.out"; fail=1; fi
}
base() {  # records of test 1 every 10 s from 100 to 160 over exchanges 1 and 2, memory 1000
  printf 'exchange 1 normal 200 0\nexchange 2 normal 200 0\n'
  for t in 100 110 120; do echo "record 1 1 $t"; done
  for t in 130 140 150 160; do echo "record 2 1 $t"; done
  printf 'mark before\nmem normal 1000\nmark after\nmem after %s\n' "${1:-1000}"
}
base | case_ clean 0 "(a) ok"
{ base | grep -v ' 140$'; } | case_ gap 1 "gap: test 1 from 130 to 150"
{ base; printf 'exchange 3 500s 500 0\nrecord 3 1 170\nexchange 4 normal 200 0\nrecord 4 1 170\n'; } |
  case_ resend 0 "(b) ok"
{ base; printf 'exchange 3 hang 200 60\nrecord 3 1 170\nexchange 4 normal 200 0\nrecord 4 1 170\n'; } |
  case_ resend-after-hang 0 "(b) ok"
{ base; printf 'exchange 3 reset 200 0\nrecord 3 1 170\nexchange 4 normal 200 0\nrecord 4 1 170\n'; } |
  case_ duplicate 1 "duplicate: test 1 at 170 in exchanges 3 and 4"
base 1090 | case_ memory-9 0 "(c) ok: memory 1000 KiB before, 1090 after (+9.0 %)"
base 1110 | case_ memory-11 1 "(c) MISSED: memory 1000 KiB before, 1110 after (+11.0 %)"
exit $fail
