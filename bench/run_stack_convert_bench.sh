#!/usr/bin/env bash
# Conversion of recordings like a profiler's own, whole process, ours beside
# TraceEvent's TraceLog on the same file in the same run:
#   - stack-heavy: a busy service (3 threads, deep varied stacks, exceptions,
#     allocations, CPU sampling), at least 150 MB;
#   - small: a little web program (about 10 MB), where fixed costs show.
# eptl runs on one thread and on every core; with an eptl of another build as
# the argument, that build too (the baseline a change is measured against).
# The recordings are made once and kept in bench/data/ (not committed).
#
#   bench/run_stack_convert_bench.sh [BASELINE_EPTL]
set -euo pipefail
source "$(dirname "$0")/common.sh"
heavy=bench/data/service.nettrace
small=bench/data/web.nettrace
baseline=${1:-}

bench_build convert_bench eptl
workload=$(bench_dotnet BenchWorkload)
tracelog=$(bench_dotnet TraceLogBench)

# What the profiler's runtime session asks for, plus the rundown.
providers="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5,Microsoft-DotNETCore-SampleProfiler:0:4"
providers+=",Microsoft-AspNetCore-Server-Kestrel:0xffffffffffffffff:5,System.Threading.Tasks.TplEventSource:0x23:4"
providers+=",Microsoft-Windows-DotNETRuntimeRundown:0:5"

# record FILE MIN_BYTES SECONDS MODE ARGS...: doubles the time until the
# recording is large enough.
record() {
  local file=$1 min_bytes=$2 seconds=$3 mode=$4
  shift 4
  mkdir -p "$(dirname "$file")"
  while [[ ! -f $file || $(stat -c %s "$file") -lt $min_bytes ]]; do
    echo "recording $file: $mode for ${seconds}s"
    rm -f "$file"
    DOTNET_EnableEventPipe=1 DOTNET_EventPipeOutputPath="$file" DOTNET_EventPipeOutputStreaming=1 \
    DOTNET_EventPipeRundown=1 DOTNET_EventPipeConfig="$providers" \
      dotnet "$workload" "$mode" "$seconds" "$@" >/dev/null
    seconds=$((seconds * 2))
  done
}
record "$heavy" $((150 * 1000 * 1000)) 5 service 3
record "$small" $((8 * 1000 * 1000)) 2 web

bench_machine
for trace in "$heavy" "$small"; do
  target=12
  [[ $trace == "$small" ]] && target=5
  build/release/bench/convert_bench "$trace" build/release/eptl "$tracelog" bench/data/convert "$target" 5 \
    ${baseline:+"$baseline"}
  echo
done
