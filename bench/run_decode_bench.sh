#!/usr/bin/env bash
# Decode + dispatch benchmark: records a large, sampling-heavy trace (at
# least 300 MB, kept in bench/data/ and not committed), then reads it with our
# decoder and with TraceEvent in the same run and prints both and the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
min_bytes=$((300 * 1000 * 1000))
trace=bench/data/stress.nettrace

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target decode_bench
dotnet build -c Release tests/dotnet/Workload/Workload.csproj -o tests/dotnet/Workload/bin/out >/dev/null
dotnet build -c Release tests/dotnet/TraceEventBench/TraceEventBench.csproj \
  -o tests/dotnet/TraceEventBench/bin/out >/dev/null

mkdir -p bench/data
seconds=40
while [[ ! -f $trace || $(stat -c %s "$trace") -lt $min_bytes ]]; do
  echo "recording $trace: 32 threads under CPU sampling for ${seconds}s"
  rm -f "$trace"
  DOTNET_EnableEventPipe=1 DOTNET_EventPipeOutputPath="$trace" DOTNET_EventPipeOutputStreaming=1 \
  DOTNET_EventPipeConfig="Microsoft-Windows-DotNETRuntime:0x4001c0f9:5,Microsoft-DotNETCore-SampleProfiler:0:4,Tarnwell-Bench:0xffffffffffffffff:5" \
    dotnet tests/dotnet/Workload/bin/out/Workload.dll stress "$seconds" 32
  seconds=$((seconds * 2))
done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
build/release/bench/decode_bench "$trace" dotnet tests/dotnet/TraceEventBench/bin/out/TraceEventBench.dll "$trace" 3
