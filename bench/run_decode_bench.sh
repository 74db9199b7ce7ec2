#!/usr/bin/env bash
# Decode + dispatch benchmark: records a large, sampling-heavy trace (at
# least 300 MB, kept in bench/data/ and not committed), then reads it with our
# decoder and with TraceEvent in the same run and prints both and the ratio.
set -euo pipefail
source "$(dirname "$0")/common.sh"
min_bytes=$((300 * 1000 * 1000))
trace=bench/data/stress.nettrace

bench_build decode_bench
workload=$(bench_dotnet BenchWorkload)
traceevent=$(bench_dotnet TraceEventBench)

mkdir -p bench/data
seconds=40
while [[ ! -f $trace || $(stat -c %s "$trace") -lt $min_bytes ]]; do
  echo "recording $trace: 32 threads under CPU sampling for ${seconds}s"
  rm -f "$trace"
  DOTNET_EnableEventPipe=1 DOTNET_EventPipeOutputPath="$trace" DOTNET_EventPipeOutputStreaming=1 \
  DOTNET_EventPipeConfig="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5,Microsoft-DotNETCore-SampleProfiler:0:4,Tarnwell-Bench:0xffffffffffffffff:5" \
    dotnet "$workload" stress "$seconds" 32
  seconds=$((seconds * 2))
done

bench_machine
build/release/bench/decode_bench "$trace" dotnet "$traceevent" "$trace" 3
