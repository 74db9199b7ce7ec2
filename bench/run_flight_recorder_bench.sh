#!/usr/bin/env bash
# The cost of a flight recording: eptl record --last LAST of the busy service
# workload for SECONDS (default 600, LAST 60), beside a plain eptl record of
# the same workload for as long, in the same run. Figures:
#   - the target's CPU (its own clocks, over the recording), both ways, and
#     the recorder's;
#   - the recorder's resident memory, sampled each second: its peak in the
#     first and in the last third of the recording (flat: about the same),
#     and at the save;
#   - the flight recording's ring on disk, sampled each second, against
#     --max-size;
#   - the time the capture at the end took to make, from the library's log;
#   - whether the capture's call tree reached its limit.
# Targets: CPU within +1% of a core of the plain recording, memory flat,
# disk never above --max-size, the capture under 2 s. The workload runs
# THREADS busy threads (1): with as many as the machine has cores, the
# target's CPU says how much the recorder left it, not what it costs it.
#
#   bench/run_flight_recorder_bench.sh [SECONDS] [LAST] [MAX_SIZE_MB] [THREADS]
set -euo pipefail
source "$(dirname "$0")/common.sh"
seconds=${1:-600}
last=${2:-60}
max_size=${3:-256}
threads=${4:-1}

bench_build eptl event_pipe_timeline_profiler
workload=$(bench_dotnet BenchWorkload)
work=$(mktemp -d "${TMPDIR:-/tmp}/flight-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
rss_kib() { awk '/^VmRSS/{print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
ring_kib() { du -sk "$work/TarnFlight" 2>/dev/null | cut -f1 || echo 0; }

# measure NAME FLAGS...: one recording of its own workload; sets cpu and
# recorder_cpu (% of a core), rss_early, rss_late (KiB), disk (KiB) and out.
measure() {
  local name=$1
  shift
  dotnet "$workload" service $((seconds + 60)) "$threads" >/dev/null &
  local program=$!
  sleep 3
  local before=$(cpu_ticks "$program") started=$(date +%s.%N)
  build/release/eptl record --pid "$program" --duration "$seconds" -o "$work/$name.dtt" "$@" >"$work/$name.out" 2>&1 &
  local recorder=$! n=0 recorder_ticks=0
  local -a rss=()
  disk=0
  while kill -0 "$recorder" 2>/dev/null; do
    rss+=("$(rss_kib "$recorder")")
    local t=$(cpu_ticks "$recorder")
    ((t > recorder_ticks)) && recorder_ticks=$t
    local d=$(ring_kib)
    ((d > disk)) && disk=$d
    sleep 1
    n=$((n + 1))
  done
  wait "$recorder"
  local after=$(cpu_ticks "$program") ended=$(date +%s.%N)
  kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  cpu=$(echo "scale=2; ($after - $before) * 100 / $ticks / ($ended - $started)" | bc)
  recorder_cpu=$(echo "scale=2; $recorder_ticks * 100 / $ticks / ($ended - $started)" | bc)
  # While it records: the save at the end (its call tree, the sections'
  # buffers) has a peak of its own.
  local recording=$((seconds - 2 < ${#rss[@]} ? seconds - 2 : ${#rss[@]}))
  local third=$((recording / 3))
  rss_early=$(printf '%s\n' "${rss[@]:0:$third}" | sort -n | tail -1)
  rss_late=$(printf '%s\n' "${rss[@]:$((2 * third)):$((recording - 2 * third))}" | sort -n | tail -1)
  rss_save=$(printf '%s\n' "${rss[@]:$recording}" | sort -n | tail -1)
  out=$(cat "$work/$name.out")
}

echo "$(bench_machine); ${seconds} s of the service workload on $threads threads; --last $last --max-size $max_size"
measure plain
plain_cpu=$cpu plain_recorder=$recorder_cpu plain_early=$rss_early plain_late=$rss_late plain_save=$rss_save
measure flight --last "$last" --max-size "$max_size"
capture_ms=$(grep -h "Flight recording captured" "$work"/TarnLogs/*.log | tail -1 | sed 's/.* in \([0-9]*\) ms/\1/')
full=$(grep -c "call tree reached its limit" <<<"$out" || true)

printf 'target CPU        flight %6s%% of a core | plain %6s%% | difference %+.2f points, ratio %s\n' \
  "$cpu" "$plain_cpu" "$(echo "$cpu - $plain_cpu" | bc)" "$(echo "scale=2; $cpu / $plain_cpu" | bc)"
printf 'recorder CPU      flight %6s%% of a core | plain %6s%% | ratio %s\n' "$recorder_cpu" "$plain_recorder" \
  "$(echo "scale=2; $recorder_cpu / $plain_recorder" | bc)"
printf 'recorder RSS      flight %6d MiB first third, %6d MiB last third (ratio %s) | plain %d MiB, %d MiB\n' \
  $((rss_early / 1024)) $((rss_late / 1024)) "$(echo "scale=2; $rss_late / $rss_early" | bc)" \
  $((plain_early / 1024)) $((plain_late / 1024))
# The save is over within a second or two: sampled only when it took longer.
[[ -n ${rss_save:-} ]] && printf 'recorder RSS      saving: flight %d MiB | plain %d MiB\n' $((rss_save / 1024)) \
  $((${plain_save:-0} / 1024))
printf 'ring on disk      at most %d MiB of --max-size %d MiB (ratio %s)\n' $((disk / 1024)) "$max_size" \
  "$(echo "scale=2; $disk / ($max_size * 1024)" | bc)"
printf 'capture           made in %s ms (target 2000 ms, ratio %s); call tree full: %s\n' "$capture_ms" \
  "$(echo "scale=2; $capture_ms / 2000" | bc)" "$([[ $full -gt 0 ]] && echo yes || echo no)"
"$(dirname "$0")/../build/release/eptl" inspect "$work/flight.dtt" | sed -n '4,5p'
