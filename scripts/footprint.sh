# Footprint figures of Wine processes from /proc (sourced by scripts/bench and
# scripts/soak). A Windows program under Wine is one Linux process.

# The Wine processes whose environment has NAME=VALUE: ids, one a line.
wine_pids_with() {  # NAME=VALUE
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in */wine*) ;; *) continue ;; esac
    grep -qz "^$1\$" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
}

# The prefix's server: the wineserver process with WINEPREFIX=PREFIX.
wineserver_pid() {  # PREFIX
  local p
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in */wineserver*) ;; *) continue ;; esac
    grep -qz "^WINEPREFIX=$1\$" "$p/environ" 2>/dev/null && { echo "${p#/proc/}"; return; }
  done
}

# Private memory in KiB: Private_Clean + Private_Dirty of smaps_rollup.
private_kib() {  # PID
  awk '/^Private_(Clean|Dirty):/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup" 2>/dev/null
}

# Anonymous memory in KiB (heap, stacks, written pages), from smaps_rollup:
# what a leak grows. Unlike the private figure it does not move when other
# processes map the same libraries (their clean pages then count as shared).
anonymous_kib() {  # PID
  awk '/^Anonymous:/ { print $2 }' "/proc/$1/smaps_rollup" 2>/dev/null
}

# The process's own processor time in clock ticks (user + system), from stat.
cpu_ticks() {  # PID
  # The command name in parentheses may hold spaces: count fields after it.
  sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13 }'
}

thread_count() {  # PID
  awk '/^Threads:/ { print $2 }' "/proc/$1/status" 2>/dev/null
}

# The COUNT largest private mappings: KiB, then the mapping's name.
largest_mappings() {  # PID COUNT
  awk '
    /^[0-9a-f]+-[0-9a-f]+ / { if (name != "") print kib, name; name = ($6 == "" ? "[anon]" : $6); kib = 0; next }
    /^Private_(Clean|Dirty):/ { kib += $2 }
    END { if (name != "") print kib, name }' "/proc/$1/smaps" 2>/dev/null |
    awk '{ k[$2] += $1; n[$2]++ } END { for (m in k) printf "%d %s (%d mappings)\n", k[m], m, n[m] }' |
    sort -rn | head -n "$2"
}

# Private KiB by where it is mapped from: "libraries" (Wine's DLLs and the
# Unix libraries they pull in, under /usr), "program" (files elsewhere: the
# deliverables) and "anonymous" (heap and thread stacks; under Wine every
# thread also keeps about 1 MiB of its own resident, whatever its stack size).
private_by_origin() {  # PID
  awk '
    /^[0-9a-f]+-[0-9a-f]+ / { kind = ($6 == "" || $6 ~ /^\[/) ? "anonymous" : ($6 ~ /^\/usr\// ? "libraries" : "program"); next }
    /^Private_(Clean|Dirty):/ { k[kind] += $2 }
    END { printf "libraries %d\nprogram %d\nanonymous %d\n", k["libraries"], k["program"], k["anonymous"] }' \
    "/proc/$1/smaps" 2>/dev/null
}

median() {  # numbers on standard input
  sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# Runs a Windows program whose standard input stays open until end_fed ends
# the `sleep` feeding it (by its id); the program then reads the end of its
# input. Sets FED_FEEDER and FED_RUNNER.
run_fed() {  # wine-run arguments...
  local pidfile
  pidfile=$(mktemp)
  { sleep 100000 & echo $! >"$pidfile"; wait; } | scripts/wine-run "$@" &
  FED_RUNNER=$!
  for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
  FED_FEEDER=$(cat "$pidfile")
  rm -f "$pidfile"
}
end_fed() {  # FEEDER RUNNER
  kill "$1" 2>/dev/null
  wait "$2" 2>/dev/null
}
