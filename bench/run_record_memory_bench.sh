#!/usr/bin/env bash
# Memory of a long live recording: eptl record of the busy service workload
# for SECONDS (default 300), its peak resident memory (anonymous and mapped
# from files) sampled every 100 ms beside the snapshot's size and its call
# tree's, which stays mapped while it grows. Target: peak RSS at most the
# call tree's size plus 128 MB. With a second eptl (another build), both
# record the same workload one after the other, in the same run.
#
#   bench/run_record_memory_bench.sh [SECONDS] [EPTL_BASELINE]
set -euo pipefail
source "$(dirname "$0")/common.sh"
seconds=${1:-300}
baseline=${2:-}

bench_build eptl event_pipe_timeline_profiler
workload=$(bench_dotnet BenchWorkload)
work=$(mktemp -d "${TMPDIR:-/tmp}/memory-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

mib() { echo "scale=1; $1 / 1024" | bc; }

# measure NAME EPTL: one recording; prints its figures.
measure() {
  local name=$1 eptl=$2
  dotnet "$workload" service $((seconds + 30)) 3 >/dev/null &
  local program=$!
  sleep 2
  local started=$(date +%s.%N)
  "$eptl" record --pid "$program" --duration "$seconds" -o "$work/$name.dtt" >"$work/$name.out" 2>&1 &
  local recorder=$! anon=0 file=0 total=0
  while kill -0 "$recorder" 2>/dev/null; do
    read -r a f < <(awk '/^RssAnon/{a=$2} /^RssFile/{f=$2} END{print a+0, f+0}' "/proc/$recorder/status" 2>/dev/null ||
                    echo "0 0")
    ((a > anon)) && anon=$a
    ((f > file)) && file=$f
    ((a + f > total)) && total=$((a + f))
    sleep 0.1
  done
  wait "$recorder"
  local took=$(echo "$(date +%s.%N) - $started" | bc)
  kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  local size=$(du -ck --apparent-size "$work/$name".dtt* | tail -1 | cut -f1)
  local tree=$("$eptl" sections "$work/$name.dtt" | awk '$1 == 2160 {print int($3 / 1024)}')
  printf '%-9s snapshot %8s MiB, call tree %8s MiB | peak RSS %8s MiB (anonymous %7s, files %8s) | ' \
    "$name" "$(mib "$size")" "$(mib "$tree")" "$(mib "$total")" "$(mib "$anon")" "$(mib "$file")"
  printf 'RSS / (call tree + 128 MiB) = %s | save and release %.1f s\n' \
    "$(echo "scale=2; $total / ($tree + 131072)" | bc)" "$(echo "$took - $seconds" | bc)"
  rm -f "$work/$name".dtt*
}

echo "$(bench_machine); ${seconds} s recordings"
measure this build/release/eptl
[[ -n $baseline ]] && measure baseline "$baseline"
exit 0
